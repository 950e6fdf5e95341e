#include "runtime/ggml/tensor_container.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <utility>

#include "ggml-alloc.h"
#include "runtime/ggml/logging.h"

namespace ggml_runtime {

namespace {

// OLVAN_SPEECH_LOG_PLACEMENT: on when set and beginning with "1"; read once.
bool placement_logging_enabled() {
  static const bool enabled = [] {
    const char* value = std::getenv("OLVAN_SPEECH_LOG_PLACEMENT");
    return value != nullptr && value[0] == '1';
  }();
  return enabled;
}

const char* buft_name_or_unknown(ggml_backend_buffer_type_t buft) {
  const char* name = buft != nullptr ? ggml_backend_buft_name(buft) : nullptr;
  return name != nullptr ? name : "<unknown>";
}

ggml_context* new_no_alloc_context(size_t bytes) {
  ggml_init_params params = {bytes, nullptr, true};
  ggml_context* ctx = ggml_init(params);
  if (ctx == nullptr) throw std::runtime_error(format("failed to create ggml context"));
  return ctx;
}

size_t round_up(size_t value, size_t alignment) { return (value + alignment - 1) / alignment * alignment; }

}  // namespace

// ---------------------------------------------------------------------------
// TensorBag

void TensorBag::add_tensor(ggml_bf_tensor tensor) { tensors.push_back(tensor); }

ggml_bf_tensor TensorBag::get_tensor(size_t index) const {
  GGML_ASSERT(index < tensors.size());
  return tensors[index];
}

void TensorBag::set_first_tensor(ggml_bf_tensor tensor) {
  if (tensors.empty()) {
    tensors.push_back(tensor);
  } else {
    tensors[0] = tensor;
  }
}

// ---------------------------------------------------------------------------
// TensorContainer

TensorContainer::TensorContainer(BufferTypeList buft_list, ArenaSizes arena_sizes)
    : arena_sizes_(std::move(arena_sizes)), buft_list_(std::move(buft_list)) {}

TensorContainer::~TensorContainer() {
  tensors_by_name_.clear();
  while (!buffers_.empty()) buffers_.pop_back();  // last created first
  ctx_by_buft_.clear();
  while (!ctxs_.empty()) ctxs_.pop_back();
  temp_ctx_.reset();
}

ggml_context* TensorContainer::get_temp_ctx() {
  if (!temp_ctx_) temp_ctx_.reset(new_no_alloc_context(arena_sizes_.temp_ctx_bytes));
  return temp_ctx_.get();
}

void TensorContainer::free_temp_ctx() { temp_ctx_.reset(); }

ggml_bf_context TensorContainer::get_ctx_of_buffer_type(ggml_backend_buffer_type_t buft) {
  auto found = ctx_by_buft_.find(buft);
  if (found != ctx_by_buft_.end()) return found->second;
  auto sized = arena_sizes_.ctx_bytes_by_buft.find(buft);
  const size_t bytes =
      sized != arena_sizes_.ctx_bytes_by_buft.end() ? sized->second : arena_sizes_.default_ctx_bytes;
  ctxs_.emplace_back(new_no_alloc_context(bytes));
  ggml_bf_context entry{ctxs_.back().get(), buft};
  ctx_by_buft_.emplace(buft, entry);
  return entry;
}

ggml_bf_tensor TensorContainer::create_tensor_1d(std::string name, ggml_type type, int64_t ne0) {
  if (tensors_by_name_.count(name) != 0) throw std::runtime_error("duplicate tensor name declared: " + name);
  return m_create_tensor(ggml_new_tensor_1d(get_temp_ctx(), type, ne0), name);
}

ggml_bf_tensor TensorContainer::create_tensor_2d(std::string name, ggml_type type, int64_t ne0, int64_t ne1) {
  if (tensors_by_name_.count(name) != 0) throw std::runtime_error("duplicate tensor name declared: " + name);
  return m_create_tensor(ggml_new_tensor_2d(get_temp_ctx(), type, ne0, ne1), name);
}

ggml_bf_tensor TensorContainer::create_tensor_3d(std::string name, ggml_type type, int64_t ne0, int64_t ne1,
                                                 int64_t ne2) {
  if (tensors_by_name_.count(name) != 0) throw std::runtime_error("duplicate tensor name declared: " + name);
  return m_create_tensor(ggml_new_tensor_3d(get_temp_ctx(), type, ne0, ne1, ne2), name);
}

ggml_bf_tensor TensorContainer::create_tensor_4d(std::string name, ggml_type type, int64_t ne0, int64_t ne1,
                                                 int64_t ne2, int64_t ne3) {
  if (tensors_by_name_.count(name) != 0) throw std::runtime_error("duplicate tensor name declared: " + name);
  return m_create_tensor(ggml_new_tensor_4d(get_temp_ctx(), type, ne0, ne1, ne2, ne3), name);
}

ggml_bf_tensor TensorContainer::m_create_tensor(ggml_tensor* templ, std::string& name) {
  const BufferTypeList& buft_list = buft_list_;
  GGML_ASSERT(!buft_list.empty());
  // Checked again here for callers that come straight in: a duplicate must
  // not leave an orphan tensor in a context.
  if (tensors_by_name_.count(name) != 0) throw std::runtime_error("duplicate tensor name declared: " + name);

  // The first pair whose buffer type is its device's default one, else the last pair.
  ggml_backend_buffer_type_t buft = buft_list_.back().second;
  for (const auto& [device, candidate] : buft_list_) {
    if (device != nullptr && candidate == ggml_backend_dev_buffer_type(device)) {
      buft = candidate;
      break;
    }
  }

  if (placement_logging_enabled()) {
    log_internal(GGML_LOG_LEVEL_INFO, __FILE__, __LINE__, "m_create_tensor",
                 "placement: %-48s type=%-7s -> %s\n", name.c_str(), ggml_type_name(templ->type),
                 buft_name_or_unknown(buft));
  }

  ggml_tensor* tensor = ggml_dup_tensor(get_ctx_of_buffer_type(buft).ctx, templ);
  ggml_set_name(tensor, name.c_str());
  ggml_bf_tensor entry{tensor, buft};
  tensors_by_name_.emplace(name, entry);
  return entry;
}

ggml_bf_tensor TensorContainer::get_tensor_by_name(const std::string& name) const {
  auto found = tensors_by_name_.find(name);
  if (found == tensors_by_name_.end()) throw std::runtime_error(format("tensor %s not found", name.c_str()));
  return found->second;
}

bool TensorContainer::has_tensor_by_name(const std::string& name) const {
  return tensors_by_name_.count(name) != 0;
}

void TensorContainer::cache_tensor(std::string name, ggml_bf_tensor tensor) {
  if (tensors_by_name_.count(name) != 0) throw std::runtime_error("duplicate tensor name cached: " + name);
  tensors_by_name_.emplace(std::move(name), tensor);
}

ggml_bf_tensor TensorContainer::import_tensor(std::string name, ggml_tensor* tensor) {
  if (tensor == nullptr || tensor->buffer == nullptr || tensor->data == nullptr) {
    throw std::invalid_argument("cannot import an unallocated tensor: " + name);
  }
  ggml_backend_buffer_type_t buft = ggml_backend_buffer_get_type(tensor->buffer);
  const bool listed = std::any_of(buft_list_.begin(), buft_list_.end(),
                                  [buft](const auto& pair) { return pair.second == buft; });
  if (!listed) throw std::invalid_argument("imported tensor uses an unregistered buffer type: " + name);
  if (tensors_by_name_.count(name) != 0) throw std::runtime_error("duplicate tensor name imported: " + name);
  ggml_bf_tensor entry{tensor, buft};
  tensors_by_name_.emplace(std::move(name), entry);
  return entry;
}

void TensorContainer::allocate_tensors_on_backend_buffers() {
  if (arena_sizes_.named_only) {
    allocate_named_only();
  } else {
    allocate_all();
  }
}

void TensorContainer::allocate_all() {
  for (const auto& owned : ctxs_) {
    ggml_context* ctx = owned.get();
    ggml_backend_buffer_type_t buft = nullptr;
    for (const auto& [key, entry] : ctx_by_buft_) {
      if (entry.ctx == ctx) buft = key;
    }
    // A context whose tensors all have storage already (or that holds none)
    // needs no buffer; ggml reports that case as a null buffer too.
    bool needs_memory = false;
    for (ggml_tensor* t = ggml_get_first_tensor(ctx); t != nullptr; t = ggml_get_next_tensor(ctx, t)) {
      if (t->data == nullptr && t->view_src == nullptr && ggml_backend_buft_get_alloc_size(buft, t) > 0) {
        needs_memory = true;
      }
    }
    if (!needs_memory) continue;
    ggml_backend_buffer_t buffer = ggml_backend_alloc_ctx_tensors_from_buft(ctx, buft);
    if (buffer == nullptr) {
      throw std::runtime_error(std::string("failed to allocate backend buffer for buffer type ") +
                               buft_name_or_unknown(buft) + " (out of device memory?)");
    }
    buffers_.emplace_back(buffer);
  }
}

void TensorContainer::allocate_named_only() {
  // Registered tensors without storage and without a view source, grouped by
  // buffer type in name order.
  std::vector<std::pair<ggml_backend_buffer_type_t, std::vector<ggml_tensor*>>> groups;
  for (const auto& [name, entry] : tensors_by_name_) {
    ggml_tensor* t = entry.tensor;
    if (t == nullptr || t->data != nullptr || t->view_src != nullptr) continue;
    auto group =
        std::find_if(groups.begin(), groups.end(), [&](const auto& g) { return g.first == entry.buft; });
    if (group == groups.end()) {
      groups.emplace_back(entry.buft, std::vector<ggml_tensor*>{});
      group = groups.end() - 1;
    }
    // One tensor registered under two names is placed once.
    if (std::find(group->second.begin(), group->second.end(), t) == group->second.end()) {
      group->second.push_back(t);
    }
  }

  for (const auto& [buft, members] : groups) {
    const size_t alignment = ggml_backend_buft_get_alignment(buft);
    size_t total = 0;
    for (ggml_tensor* t : members) total += round_up(ggml_backend_buft_get_alloc_size(buft, t), alignment);
    if (total == 0) continue;
    ggml_backend_buffer_t buffer = ggml_backend_buft_alloc_buffer(buft, total);
    if (buffer == nullptr) {
      throw std::runtime_error(std::string("failed to allocate named-tensor buffer for buffer type ") +
                               buft_name_or_unknown(buft) + " (out of device memory?)");
    }
    buffers_.emplace_back(buffer);
    ggml_tallocr allocator = ggml_tallocr_new(buffer);
    for (ggml_tensor* t : members) {
      if (ggml_tallocr_alloc(&allocator, t) != GGML_STATUS_SUCCESS) {
        throw std::runtime_error(std::string("failed to place named tensor ") + t->name);
      }
    }
  }
}

TensorContainer::ArenaUsage TensorContainer::measure() const {
  ArenaUsage usage;
  usage.temp_ctx_bytes = temp_ctx_ ? ggml_used_mem(temp_ctx_.get()) : 0;
  for (const auto& [buft, entry] : ctx_by_buft_) usage.ctx_bytes_by_buft[buft] = ggml_used_mem(entry.ctx);
  return usage;
}

size_t TensorContainer::total_backend_buffer_bytes() const {
  size_t total = 0;
  for (const auto& buffer : buffers_) total += ggml_backend_buffer_get_size(buffer.get());
  return total;
}

void TensorContainer::dump_largest_tensors(size_t n) const {
  std::vector<std::pair<size_t, const ggml_tensor*>> sized;
  size_t total = 0;
  for (const auto& owned : ctxs_) {
    for (ggml_tensor* t = ggml_get_first_tensor(owned.get()); t != nullptr;
         t = ggml_get_next_tensor(owned.get(), t)) {
      const size_t bytes = ggml_nbytes(t);
      sized.emplace_back(bytes, t);
      total += bytes;
    }
  }
  std::sort(sized.begin(), sized.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  std::fprintf(stderr, "[memstats]   %zu tensors, %.2f MB total; largest:\n", sized.size(),
               static_cast<double>(total) / 1048576.0);
  const size_t shown = std::min(n, sized.size());
  for (size_t i = 0; i < shown; ++i) {
    const ggml_tensor* t = sized[i].second;
    std::fprintf(stderr, "[memstats]     %8.2f MB  %-12s %-40s [%ld,%ld,%ld,%ld]\n",
                 static_cast<double>(sized[i].first) / 1048576.0, ggml_op_name(t->op), t->name,
                 static_cast<long>(t->ne[0]), static_cast<long>(t->ne[1]), static_cast<long>(t->ne[2]),
                 static_cast<long>(t->ne[3]));
  }
}

}  // namespace ggml_runtime
