#include "runtime/ggml/session.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <unordered_set>
#include <utility>

#include "runtime/ggml/logging.h"

namespace ggml_runtime {

namespace {

constexpr uint64_t kFnvBasis = 0xcbf29ce484222325ULL;
constexpr uint64_t kFnvPrime = 0x100000001b3ULL;

constexpr int kNodeErrorLimit = 62259;    // first count above 95 % of kSchedGraphSize
constexpr int kNodeWarningLimit = 52428;  // 80 % of kSchedGraphSize, rounded down
constexpr double kArenaGrowth = 1.05;
constexpr size_t kArenaHeadroom = 65536;        // bytes
constexpr size_t kArenaRounding = 4096;         // bytes
constexpr size_t kMissingArenaBytes = 4194304;  // bytes, for a buffer type the measuring pass did not see
constexpr int kBackendThreads = 4;
constexpr size_t kListedTensors = 12;

// Diagnostic switches: on when the variable is set at all; read once per process.
bool env_is_set(const char* name) { return std::getenv(name) != nullptr; }

bool memstats_enabled() {
  static const bool enabled = env_is_set("OLVAN_SPEECH_MEMSTATS");
  return enabled;
}

bool timing_enabled() {
  static const bool enabled = env_is_set("OLVAN_SPEECH_TIMING");
  return enabled;
}

bool schedule_capture_enabled() {
  static const bool enabled = env_is_set("OLVAN_SPEECH_SCHEDULE_CAPTURE");
  return enabled;
}

inline uint64_t fold_word(uint64_t h, uint64_t word) { return (h ^ word) * kFnvPrime; }

double ms_between(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
  return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(b - a).count()) / 1e6;
}

// 105 % of x plus 64 KiB, rounded up to a multiple of 4096.
size_t arena_size_for(size_t used) {
  const size_t grown = static_cast<size_t>(std::floor(static_cast<double>(used) * kArenaGrowth));
  return (grown + kArenaHeadroom + kArenaRounding - 1) & ~(kArenaRounding - 1);
}

// The first tensor along the view-source chain that has a backend buffer.
const ggml_tensor* storage_of(const ggml_tensor* tensor) {
  for (const ggml_tensor* t = tensor; t != nullptr; t = t->view_src) {
    if (t->buffer != nullptr) return t;
  }
  return nullptr;
}

// The first session backend on the storage's device that supports its buffer type.
ggml_backend_t transfer_backend(const std::vector<ggml_backend_t>& backends, const ggml_tensor* storage) {
  ggml_backend_buffer_type_t buft = ggml_backend_buffer_get_type(storage->buffer);
  ggml_backend_dev_t device = ggml_backend_buft_get_device(buft);
  for (ggml_backend_t backend : backends) {
    if (ggml_backend_get_device(backend) == device && ggml_backend_supports_buft(backend, buft))
      return backend;
  }
  return nullptr;
}

bool is_gpu_backend(ggml_backend_t backend) {
  ggml_backend_dev_t device = backend != nullptr ? ggml_backend_get_device(backend) : nullptr;
  if (device == nullptr) return false;
  const enum ggml_backend_dev_type type = ggml_backend_dev_type(device);
  return type == GGML_BACKEND_DEVICE_TYPE_GPU || type == GGML_BACKEND_DEVICE_TYPE_IGPU;
}

// Node and leaf counts of the graph that expanding `outputs` gives, counted
// the way ggml's graph expansion counts them (tensors reached through their
// sources; an operation or a parameter is a node, anything else a leaf).
struct GraphCounts {
  size_t nodes = 0;
  size_t leafs = 0;
};

GraphCounts count_graph(const TensorBag& outputs) {
  GraphCounts counts;
  std::unordered_set<const ggml_tensor*> seen;
  std::vector<const ggml_tensor*> pending;
  for (const ggml_bf_tensor& out : outputs.tensors) {
    if (out.tensor != nullptr) pending.push_back(out.tensor);
  }
  while (!pending.empty()) {
    const ggml_tensor* t = pending.back();
    pending.pop_back();
    if (!seen.insert(t).second) continue;
    if (t->op == GGML_OP_NONE && (t->flags & GGML_TENSOR_FLAG_PARAM) == 0) {
      ++counts.leafs;
    } else {
      ++counts.nodes;
    }
    for (const ggml_tensor* src : t->src) {
      if (src != nullptr && seen.count(src) == 0) pending.push_back(src);
    }
  }
  return counts;
}

// Checks shared by declaring and uploading: element type and extents.
void check_input_type_and_extents(const Session::Input& input) {
  if (input.dtype < 0 || input.dtype >= GGML_TYPE_COUNT || ggml_blck_size(input.dtype) <= 0) {
    throw std::runtime_error(format("Session::Input '%s': unsupported element type %d", input.name.c_str(),
                                    static_cast<int>(input.dtype)));
  }
  for (size_t i = 0; i < input.shape.size(); ++i) {
    if (input.shape[i] < 1) {
      throw std::runtime_error(format("Session::Input '%s': extent %zu is %lld (need >= 1)",
                                      input.name.c_str(), i, static_cast<long long>(input.shape[i])));
    }
  }
  const int64_t block = ggml_blck_size(input.dtype);
  if (!input.shape.empty() && input.shape[0] % block != 0) {
    throw std::runtime_error(
        format("Session::Input '%s': extent 0 (%lld) is not a multiple of the block size %lld of %s",
               input.name.c_str(), static_cast<long long>(input.shape[0]), static_cast<long long>(block),
               ggml_type_name(input.dtype)));
  }
  // ggml counts elements and bytes in 64 bits without checking; a count that
  // wrapped would size the tensor's storage far below what its extents cover.
  const int64_t limit = INT64_MAX;
  int64_t elements = 1;
  bool fits = true;
  for (int64_t extent : input.shape) {
    if (elements > limit / extent) fits = false;
    if (fits) elements *= extent;
  }
  if (fits && elements / block > limit / static_cast<int64_t>(ggml_type_size(input.dtype))) fits = false;
  if (!fits) {
    std::string extents;
    for (int64_t extent : input.shape) extents += (extents.empty() ? "" : ", ") + std::to_string(extent);
    throw std::overflow_error(
        format("Session::Input '%s': extents [%s] hold more bytes than 64-bit sizes can count",
               input.name.c_str(), extents.c_str()));
  }
}

// Bytes of an input's declared data: ggml's row size of extent 0 times the
// other extents (right for block-quantised types too).
size_t input_bytes(const Session::Input& input) {
  if (input.shape.empty()) return 0;
  size_t bytes = ggml_row_size(input.dtype, input.shape[0]);
  for (size_t i = 1; i < input.shape.size(); ++i) bytes *= static_cast<size_t>(input.shape[i]);
  return bytes;
}

// Points `tensor` (an input of the run container) at the binding's storage,
// after checking the binding against the input record.
void bind_device_input(const Session::Input& input, ggml_bf_tensor declared) {
  const DeviceTensor* device = input.device;
  if (input.upload) {
    throw std::runtime_error(
        format("Session::Input '%s': device input cannot be persistent or uploaded", input.name.c_str()));
  }
  if (device->tensor == nullptr || device->buft == nullptr || device->tensor->buffer == nullptr ||
      device->tensor->data == nullptr || device->tensor->type != input.dtype) {
    throw std::runtime_error(
        format("Session::Input '%s': invalid device tensor or dtype mismatch", input.name.c_str()));
  }
  const size_t need = input_bytes(input);
  const size_t have = ggml_nbytes(device->tensor);
  if (have < device->offset || have - device->offset < need) {
    throw std::runtime_error(format("Session::Input '%s': device range [%zu, %zu) exceeds source size %zu",
                                    input.name.c_str(), device->offset, device->offset + need, have));
  }
  if (declared.buft != device->buft) {
    throw std::runtime_error(format(
        "Session::Input '%s': device buffer type does not match session placement", input.name.c_str()));
  }
  declared.tensor->buffer = device->tensor->buffer;
  declared.tensor->data = static_cast<char*>(device->tensor->data) + device->offset;
}

void throw_if_bad_device_handle(const Session::Input& input) {
  const DeviceTensor* device = input.device;
  if (device->tensor == nullptr || device->buft == nullptr || device->tensor->buffer == nullptr ||
      device->tensor->data == nullptr) {
    throw std::runtime_error(format("Session::Input '%s': invalid device tensor handle", input.name.c_str()));
  }
}

// Resets the scheduler when the run leaves, after waiting for anything it
// issued, so that no copy into a caller's buffer outlives the run.
struct SchedResetGuard {
  ggml_backend_sched_t sched = nullptr;
  bool issued = false;
  ~SchedResetGuard() {
    if (sched == nullptr) return;
    if (issued) ggml_backend_sched_synchronize(sched);
    ggml_backend_sched_reset(sched);
  }
};

const char* output_name_of(const Session::CachedRun& entry) {
  if (entry.outputs.tensor_count() > 0 && entry.outputs.tensors[0].tensor != nullptr) {
    return entry.outputs.tensors[0].tensor->name;
  }
  return "?";
}

}  // namespace

#define SESSION_LOG(level, function, ...) log_internal(level, __FILE__, __LINE__, function, __VA_ARGS__)

// ---------------------------------------------------------------------------
// Graph object

ggml_cgraph* expand_graph_into(TensorBag& inputs, TensorBag& outputs, size_t graph_size,
                               std::vector<uint8_t>& mem) {
  const size_t len = ggml_graph_overhead_custom(graph_size, false) + 4096;
  if (mem.capacity() < len) mem.reserve(std::max(len, 2 * mem.capacity()));
  mem.assign(len, 0);
  ggml_init_params params = {len, mem.data(), true};
  ggml_context* ctx = ggml_init(params);
  if (ctx == nullptr) throw std::runtime_error(format("failed to create ggml context"));
  ggml_cgraph* graph = ggml_new_graph_custom(ctx, graph_size, false);
  for (ggml_bf_tensor& in : inputs.tensors) {
    if (in.tensor != nullptr) ggml_set_input(in.tensor);
  }
  for (ggml_bf_tensor& out : outputs.tensors) {
    if (out.tensor == nullptr) continue;
    for (ggml_tensor* t = out.tensor; t != nullptr; t = t->view_src) ggml_set_output(t);
    ggml_build_forward_expand(graph, out.tensor);
  }
  ggml_free(ctx);
  return graph;
}

// ---------------------------------------------------------------------------
// Construction, set-up, weights

bool Session::InputSignature::operator==(const InputSignature& other) const {
  return name == other.name && type == other.type && std::equal(ne, ne + 4, other.ne) &&
         persistent == other.persistent && device_bound == other.device_bound &&
         device_address == other.device_address;
}

Session::Session(BackendManager& manager_in, Module* root_in, GGUFLoader* loader_in)
    : params(manager_in.params), loader(loader_in), manager(&manager_in), root(root_in) {}

Session::~Session() {
  sched_buffer_sizes.clear();
  lru_keys.clear();
  graph_cache.clear();
  graph_scratch.clear();
  sched.reset();
  backends.clear();
  buft_list.clear();
  state_specs.clear();
  weight_load_hook = nullptr;
  state_container.reset();
  model_container.reset();
}

void Session::clear_graph_cache() {
  graph_cache.clear();
  lru_keys.clear();
}

void Session::remove_cached(uint64_t key) {
  auto pos = std::find(lru_keys.begin(), lru_keys.end(), key);
  if (pos != lru_keys.end()) lru_keys.erase(pos);
  graph_cache.erase(key);
}

void Session::setup() {
  std::lock_guard<std::mutex> lock(manager->mutex);
  ready_ = false;
  if (root == nullptr) throw std::invalid_argument("Session::setup: root module is null");
  // Cached graphs refer to the weights of an earlier set-up; they go first.
  clear_graph_cache();
  state_specs.clear();

  buft_list = manager->get_buft_list();
  backends = manager->get_backends();
  model_container = std::make_unique<TensorContainer>(buft_list, TensorContainer::ArenaSizes{});
  state_container = std::make_unique<TensorContainer>(buft_list, TensorContainer::ArenaSizes{});

  root->define_tensors(this);
  model_container->free_temp_ctx();
  state_container->free_temp_ctx();
  model_container->allocate_tensors_on_backend_buffers();
  root->set_data(this);
  init_schedule();
  if (loader != nullptr) loader->release_file_resources();
  if (memstats_enabled()) {
    std::fprintf(stderr, "[memstats] model-container device=%.2f MB\n",
                 static_cast<double>(model_container->total_backend_buffer_bytes()) / 1048576.0);
  }
  ready_ = true;
}

void Session::init_schedule() {
  ggml_backend_sched_t created = ggml_backend_sched_new(
      backends.data(), nullptr, static_cast<int>(backends.size()), kSchedGraphSize, false, false);
  if (created == nullptr) throw std::runtime_error(format("failed to create the backend scheduler"));
  sched.reset(created);
  clear_graph_cache();
  sched_buffer_sizes.clear();
  generation = 0;
  if (memstats_enabled())
    std::fprintf(stderr, "[memstats] session-init sched_graph_size=%zu\n", kSchedGraphSize);
}

void Session::load_weight(const std::string& name) {
  if (!model_container) throw std::logic_error("load_weight must be called during Session::setup");
  if (loader == nullptr) throw std::logic_error("load_weight(" + name + "): the session has no model loader");

  ggml_bf_tensor target = model_container->get_tensor_by_name(name);
  const ggml_type stored = loader->get_tensor_type(name);
  if (weight_load_hook) weight_load_hook(name, target, loader);

  // The hook may have replaced the tensor: the copy, its type and its size
  // follow the replacement.
  ggml_tensor* tensor = target.tensor;
  if (tensor == nullptr) throw std::runtime_error("load_weight(" + name + "): no target tensor");
  const ggml_type in_memory = tensor->type;
  const size_t n = ggml_nbytes(tensor);

  const bool same_type = stored == in_memory;
  const bool to_f16 = stored == GGML_TYPE_F32 && in_memory == GGML_TYPE_F16;
  if (!same_type && !to_f16) {
    throw std::runtime_error("load_weight(" + name + "): cannot load on-disk dtype " +
                             std::to_string(static_cast<int>(stored)) + " into in-memory dtype " +
                             std::to_string(static_cast<int>(in_memory)) +
                             " (only same-dtype copy or F32->F16 convert supported)");
  }

  // The stored tensor must hold exactly what the declared one needs. Sizes,
  // not extents, are compared: byte-identical layouts load.
  const std::vector<int64_t> stored_ne = loader->get_tensor_ne(name);
  size_t stored_bytes = 0;
  if (!stored_ne.empty()) {
    stored_bytes = ggml_row_size(stored, stored_ne[0]);
    for (size_t i = 1; i < stored_ne.size(); ++i) stored_bytes *= static_cast<size_t>(stored_ne[i]);
  }
  const size_t need = same_type ? n : 2 * n;
  if (stored_bytes != need) {
    throw std::runtime_error(
        format("load_weight(%s): stored tensor has %zu bytes, declared tensor needs %zu bytes", name.c_str(),
               stored_bytes, need));
  }
  if (n == 0) return;
  if (storage_of(tensor) == nullptr || tensor->data == nullptr) {
    throw std::runtime_error("load_weight(" + name + "): target tensor has no backend storage");
  }

  if (same_type) {
    const uint8_t* data = loader->get_tensor_file_data(name, n);
    ggml_backend_tensor_set(tensor, data, 0, n);
    return;
  }
  const uint8_t* data = loader->get_tensor_file_data(name, 2 * n);
  const size_t count = n / 2;
  std::vector<ggml_fp16_t> converted(count);
  ggml_fp32_to_fp16_row(reinterpret_cast<const float*>(data), converted.data(), static_cast<int64_t>(count));
  ggml_backend_tensor_set(tensor, converted.data(), 0, n);
}

ggml_bf_tensor Session::import_model_tensor(const std::string& name, ggml_tensor* tensor) {
  if (!model_container) throw std::logic_error("import_model_tensor must be called during Session::setup");
  return model_container->import_tensor(name, tensor);
}

// ---------------------------------------------------------------------------
// Inputs and outputs

TensorBag Session::declare_inputs(const std::vector<Input>& inputs, TensorContainer* run_container) {
  TensorBag bag;
  for (const Input& input : inputs) {
    if (input.persistent) {
      if (input.device != nullptr) {
        throw std::runtime_error(
            format("Session::Input '%s': persistent and device bindings are mutually exclusive",
                   input.name.c_str()));
      }
      bag.add_tensor(model_container->get_tensor_by_name(input.name));
      continue;
    }
    const size_t rank = input.shape.size();
    if (rank < 1 || rank > 4) {
      throw std::runtime_error(
          format("Session::Input '%s': shape rank %zu unsupported (need 1..4)", input.name.c_str(), rank));
    }
    check_input_type_and_extents(input);
    const std::vector<int64_t>& s = input.shape;
    ggml_bf_tensor declared;
    switch (rank) {
      case 1:
        declared = run_container->create_tensor_1d(input.name, input.dtype, s[0]);
        break;
      case 2:
        declared = run_container->create_tensor_2d(input.name, input.dtype, s[0], s[1]);
        break;
      case 3:
        declared = run_container->create_tensor_3d(input.name, input.dtype, s[0], s[1], s[2]);
        break;
      default:
        declared = run_container->create_tensor_4d(input.name, input.dtype, s[0], s[1], s[2], s[3]);
        break;
    }
    if (input.device != nullptr) bind_device_input(input, declared);
    bag.add_tensor(declared);
  }
  return bag;
}

bool Session::upload_inputs(const std::vector<Input>& inputs, TensorContainer* run_container) {
  bool async_issued = false;
  for (const Input& input : inputs) {
    if (input.device != nullptr) {
      // Re-bound on every run: the cached graph must not keep pointing at a
      // buffer that was freed since it was built.
      if (!input.persistent) bind_device_input(input, run_container->get_tensor_by_name(input.name));
      continue;
    }
    if (!input.upload) continue;
    if (input.data == nullptr) {
      throw std::runtime_error(format("Session::Input '%s': host data is null", input.name.c_str()));
    }
    ggml_tensor* tensor = input.persistent ? model_container->get_tensor_by_name(input.name).tensor
                                           : run_container->get_tensor_by_name(input.name).tensor;
    check_input_type_and_extents(input);
    const size_t size = input_bytes(input);
    if (size != ggml_nbytes(tensor)) {
      throw std::runtime_error(format("Session::Input '%s': host size %zu != declared tensor size %zu",
                                      input.name.c_str(), size, ggml_nbytes(tensor)));
    }
    const ggml_tensor* storage = storage_of(tensor);
    if (storage == nullptr || tensor->data == nullptr) {
      throw std::runtime_error(
          format("Session::Input '%s': tensor has no backend storage", input.name.c_str()));
    }
    if (size == 0) continue;
    ggml_backend_t backend = transfer_backend(backends, storage);
    if (backend != nullptr && !input.sync_upload) {
      ggml_backend_tensor_set_async(backend, tensor, input.data, 0, size);
      async_issued = true;
    } else {
      ggml_backend_tensor_set(tensor, input.data, 0, size);
    }
  }
  return async_issued;
}

bool Session::read_outputs(std::vector<Output>& outputs, TensorBag graph_outputs,
                           TensorContainer* run_container) {
  bool host_copy = false;
  for (Output& output : outputs) {
    const bool by_index = output.index >= 0 && output.name.empty();
    const bool by_name = output.index < 0 && !output.name.empty();
    if (!by_index && !by_name) {
      throw std::runtime_error("Session::Output: exactly one of `index` (>=0) or `name` must be set");
    }
    ggml_bf_tensor result;
    if (by_index) {
      if (static_cast<size_t>(output.index) >= graph_outputs.tensor_count()) {
        throw std::runtime_error(format("Session::Output index %d out of range (graph has %zu outputs)",
                                        output.index, graph_outputs.tensor_count()));
      }
      result = graph_outputs.get_tensor(static_cast<size_t>(output.index));
    } else {
      result = run_container->get_tensor_by_name(output.name);
    }
    ggml_tensor* tensor = result.tensor;
    if (tensor == nullptr) throw std::runtime_error("Session::Output: the selected output has no tensor");
    const size_t n = ggml_nbytes(tensor);

    if (output.device != nullptr) *output.device = DeviceTensor{tensor, result.buft, 0};
    if (output.device == nullptr && output.data == nullptr) {
      throw std::runtime_error("Session::Output requires a host buffer or a device tensor destination");
    }
    if (output.data != nullptr) {
      if (output.size < n) {
        throw std::runtime_error(
            format("Session::Output buffer too small for tensor (have %zu, need %zu)", output.size, n));
      }
      const ggml_tensor* storage = storage_of(tensor);
      if (storage == nullptr || tensor->data == nullptr) {
        throw std::runtime_error(format("Session::Output: tensor %s has no backend storage", tensor->name));
      }
      if (n > 0) {
        ggml_backend_t backend = transfer_backend(backends, storage);
        if (backend != nullptr) {
          ggml_backend_tensor_get_async(backend, tensor, output.data, 0, n);
        } else {
          ggml_backend_tensor_get(tensor, output.data, 0, n);
        }
      }
      host_copy = true;
    }
    for (int i = 0; i < 4; ++i) output.ne[i] = tensor->ne[i];
  }
  return host_copy;
}

// ---------------------------------------------------------------------------
// Graph key and signature

uint64_t Session::graph_key(const std::vector<Input>& inputs) const {
  uint64_t h = kFnvBasis;
  for (const Input& input : inputs) {
    // The record's full name: a ggml tensor name keeps only 63 bytes.
    for (char c : input.name) {
      if (c == '\0') break;
      h = (h ^ static_cast<uint8_t>(c)) * kFnvPrime;
    }
    h *= kFnvPrime;
    uint64_t type_word;
    int64_t ne[4] = {1, 1, 1, 1};
    if (input.persistent) {
      if (!model_container) throw std::logic_error("Session::run: the session is not set up");
      const ggml_tensor* t = model_container->get_tensor_by_name(input.name).tensor;
      type_word = static_cast<uint32_t>(t->type);
      std::copy(t->ne, t->ne + 4, ne);
    } else {
      type_word = static_cast<uint32_t>(input.dtype);
      for (size_t i = 0; i < input.shape.size() && i < 4; ++i) ne[i] = input.shape[i];
    }
    h = fold_word(h, type_word);
    for (int64_t extent : ne) h = fold_word(h, static_cast<uint64_t>(extent));
    if (input.device != nullptr) {
      throw_if_bad_device_handle(input);
      const uintptr_t address =
          reinterpret_cast<uintptr_t>(input.device->tensor->data) + input.device->offset;
      h = fold_word(h, static_cast<uint64_t>(address));
    }
  }
  return h;
}

Session::GraphSignature Session::graph_signature(const std::vector<Input>& inputs) const {
  GraphSignature signature(inputs.size());
  for (size_t i = 0; i < inputs.size(); ++i) {
    const Input& input = inputs[i];
    InputSignature& entry = signature[i];
    entry.name = input.name.c_str();  // up to the first zero byte, as the key reads it
    entry.persistent = input.persistent;
    if (input.persistent) {
      const ggml_tensor* t = model_container->get_tensor_by_name(input.name).tensor;
      entry.type = t->type;
      std::copy(t->ne, t->ne + 4, entry.ne);
    } else {
      entry.type = input.dtype;
      for (size_t k = 0; k < input.shape.size() && k < 4; ++k) entry.ne[k] = input.shape[k];
    }
    if (input.device != nullptr) {
      entry.device_bound = true;
      entry.device_address = reinterpret_cast<uintptr_t>(input.device->tensor->data) + input.device->offset;
    }
  }
  return signature;
}

// ---------------------------------------------------------------------------
// Run

void Session::run(const std::vector<Input>& inputs, std::vector<Output>& outputs, SessionState* state) {
  if (!ready_) {
    throw std::logic_error("Session::run: the session is not set up (setup() was not called or failed)");
  }
  const uint64_t key = graph_key(inputs);
  const GraphSignature signature = graph_signature(inputs);
  run_impl(
      key, [&inputs](Session* s, TensorContainer* c) { return s->declare_inputs(inputs, c); },
      [&inputs](Session* s, TensorContainer* c) { return s->upload_inputs(inputs, c); },
      [&outputs](Session* s, TensorBag bag, TensorContainer* c) { return s->read_outputs(outputs, bag, c); },
      state, &signature);
}

void Session::run_impl(uint64_t key, const DeclareInputsFn& declare_inputs_fn,
                       const UploadInputsFn& upload_inputs_fn, const ReadOutputsFn& read_outputs_fn,
                       SessionState* state, const GraphSignature* signature) {
  std::lock_guard<std::mutex> lock(manager->mutex);
  if (!ready_) {
    throw std::logic_error("Session::run: the session is not set up (setup() was not called or failed)");
  }
  if (state != nullptr) {
    if (!state->container) throw std::invalid_argument("Session::run: invalid SessionState handle");
    bind_state(state);
  }

  // Lookup: a hit must be current and built for the same inputs.
  CachedRun* entry = nullptr;
  auto found = graph_cache.find(key);
  if (found != graph_cache.end()) {
    const bool same_inputs = signature == nullptr || found->second.signature == *signature;
    if (same_inputs && found->second.generation == generation) {
      auto pos = std::find(lru_keys.begin(), lru_keys.end(), key);
      if (pos != lru_keys.end()) {
        lru_keys.erase(pos);
        lru_keys.push_back(key);
      }
      entry = &found->second;
    } else {
      remove_cached(key);
    }
  }

  bool just_built = false;
  if (entry == nullptr) {
    while (graph_cache.size() >= cache_capacity && !lru_keys.empty()) {
      const uint64_t oldest = lru_keys.front();
      lru_keys.erase(lru_keys.begin());
      graph_cache.erase(oldest);
    }

    // Measuring pass: the real pass's arenas are sized from what this uses.
    TensorContainer::ArenaUsage usage;
    {
      TensorContainer measuring(buft_list, TensorContainer::ArenaSizes{});
      TensorBag inputs = declare_inputs_fn(this, &measuring);
      root->build_graph(this, inputs, &measuring);
      usage = measuring.measure();
    }

    CachedRun built;
    TensorContainer::ArenaSizes sizes;
    sizes.temp_ctx_bytes = arena_size_for(usage.temp_ctx_bytes);
    sizes.default_ctx_bytes = kMissingArenaBytes;
    for (const auto& [buft, used] : usage.ctx_bytes_by_buft)
      sizes.ctx_bytes_by_buft[buft] = arena_size_for(used);
    sizes.named_only = true;
    built.container = std::make_unique<TensorContainer>(buft_list, sizes);
    built.inputs = declare_inputs_fn(this, built.container.get());
    built.outputs = root->build_graph(this, built.inputs, built.container.get());
    built.container->allocate_tensors_on_backend_buffers();
    built.container->free_temp_ctx();

    // Counted before ggml's graph is made, so that an oversized graph is
    // reported instead of tripping ggml's capacity assertion.
    const GraphCounts counts = count_graph(built.outputs);
    if (counts.nodes > static_cast<size_t>(kNodeErrorLimit)) {
      throw std::runtime_error(
          format("graph has %d nodes, above %.0f%% of scheduler cap %zu — bump kSchedGraphSize in session",
                 static_cast<int>(counts.nodes), 95.0, kSchedGraphSize));
    }
    if (counts.leafs > kSchedGraphSize) {
      throw std::runtime_error(
          format("graph has %zu leaf tensors, above scheduler cap %zu — bump kSchedGraphSize in session",
                 counts.leafs, kSchedGraphSize));
    }
    const size_t graph_size = std::min(2 * std::max(counts.nodes, counts.leafs) + 2048, kSchedGraphSize);
    built.graph = expand_graph_into(built.inputs, built.outputs, graph_size, built.graph_mem);
    collect_state_views(built.graph, built.state_views);
    built.reads_state = graph_reads_state(built.graph, built.outputs);

    const int d = ggml_graph_n_nodes(built.graph);
    if (d > kNodeErrorLimit) {
      throw std::runtime_error(
          format("graph has %d nodes, above %.0f%% of scheduler cap %zu — bump kSchedGraphSize in session", d,
                 95.0, kSchedGraphSize));
    }
    if (d > kNodeWarningLimit) {
      SESSION_LOG(
          GGML_LOG_LEVEL_WARN, "run_impl",
          "graph has %d nodes, above %.0f%% of scheduler cap %zu — consider bumping kSchedGraphSize\n", d,
          80.0, kSchedGraphSize);
    }
    if (memstats_enabled()) {
      std::fprintf(
          stderr,
          "[memstats] cache-entry out=%-20s nodes=%d graph_meta=%.2f MB device_arenas=%.2f MB (entries now "
          "%zu)\n",
          output_name_of(built), d, static_cast<double>(built.graph_mem.size()) / 1048576.0,
          static_cast<double>(built.container->total_backend_buffer_bytes()) / 1048576.0,
          graph_cache.size() + 1);
      built.container->dump_largest_tensors(kListedTensors);
    }
    if (signature != nullptr) built.signature = *signature;
    entry = &graph_cache.emplace(key, std::move(built)).first->second;
    lru_keys.push_back(key);
    just_built = true;
  }

  try {
    if (entry->reads_state && state == nullptr) {
      throw std::runtime_error("Session::run: the graph reads state tensors but no SessionState was given");
    }
    const bool timing = timing_enabled();
    const auto t0 = std::chrono::steady_clock::now();
    const bool async_in = upload_inputs_fn(this, entry->container.get());
    const auto t1 = std::chrono::steady_clock::now();
    const bool direct = !just_built && state == nullptr && entry->direct && entry->state_views.empty();
    if (state != nullptr) {
      for (ggml_tensor* view : entry->state_views) {
        view->buffer = nullptr;
        view->data = nullptr;
      }
    }

    if (direct) {
      run_direct(*entry, async_in, timing, t0, t1, read_outputs_fn);
    } else {
      run_scheduled(*entry, timing, t0, t1, read_outputs_fn);
    }
  } catch (...) {
    // Nothing issued may still write into the caller's buffers once the run has left.
    for (ggml_backend_t backend : backends) ggml_backend_synchronize(backend);
    if (just_built) remove_cached(key);
    throw;
  }
}

void Session::run_direct(CachedRun& entry, bool async_in, bool timing,
                         std::chrono::steady_clock::time_point t0, std::chrono::steady_clock::time_point t1,
                         const ReadOutputsFn& read_outputs_fn) {
  ggml_backend_t backend = entry.direct_backend;
  const auto t2 = std::chrono::steady_clock::now();
  const ggml_status status = ggml_backend_graph_compute_async(backend, entry.graph);
  if (status != GGML_STATUS_SUCCESS) {
    entry.direct = false;
    entry.direct_backend = nullptr;
    SESSION_LOG(GGML_LOG_LEVEL_ERROR, "run_impl", "Failed to compute graph (direct)\n");
    throw std::runtime_error("failed to compute graph");
  }
  const auto t3 = std::chrono::steady_clock::now();
  (void)async_in;
  try {
    read_outputs_fn(this, entry.outputs, entry.container.get());
  } catch (...) {
    ggml_backend_synchronize(backend);
    throw;
  }
  // Always synchronised, so that a failure of the computation surfaces here
  // and the outputs are complete when the run returns.
  ggml_backend_synchronize(backend);
  const auto t4 = std::chrono::steady_clock::now();
  if (timing) {
    std::fprintf(stderr,
                 "[timing] session out=%-20s nodes=%d in=%.2f direct compute=%.2f out=%.2f total=%.2f ms\n",
                 output_name_of(entry), ggml_graph_n_nodes(entry.graph), ms_between(t0, t1),
                 ms_between(t2, t3), ms_between(t3, t4), ms_between(t0, t4));
  }
}

void Session::run_scheduled(CachedRun& entry, bool timing, std::chrono::steady_clock::time_point t0,
                            std::chrono::steady_clock::time_point t1, const ReadOutputsFn& read_outputs_fn) {
  ggml_backend_sched_t s = sched.get();
  SchedResetGuard guard;
  guard.sched = s;
  ggml_cgraph* graph = entry.graph;
  if (!ggml_backend_sched_alloc_graph(s, graph)) {
    SESSION_LOG(GGML_LOG_LEVEL_ERROR, "run_impl", "Failed to allocate graph\n");
    throw std::runtime_error("failed to allocate graph");
  }

  // Direct eligibility: one split, on one GPU backend that supports every computed node.
  entry.direct = false;
  entry.direct_backend = nullptr;
  const int n_nodes = ggml_graph_n_nodes(graph);
  if (ggml_backend_sched_get_n_splits(s) == 1 && n_nodes > 0) {
    ggml_backend_t b = ggml_backend_sched_get_tensor_backend(s, ggml_graph_node(graph, 0));
    if (b != nullptr && is_gpu_backend(b)) {
      bool supported = true;
      for (int i = 0; i < n_nodes && supported; ++i) {
        ggml_tensor* node = ggml_graph_node(graph, i);
        if ((node->flags & GGML_TENSOR_FLAG_COMPUTE) != 0 && !ggml_backend_supports_op(b, node))
          supported = false;
      }
      if (supported) {
        entry.direct = true;
        entry.direct_backend = b;
      }
    }
  }

  // A changed compute-buffer size makes every graph built before it stale.
  if (sched_buffer_sizes.size() < backends.size()) sched_buffer_sizes.resize(backends.size(), 0);
  bool changed = false;
  for (size_t i = 0; i < backends.size(); ++i) {
    const size_t size = ggml_backend_sched_get_buffer_size(s, backends[i]);
    if (size != sched_buffer_sizes[i]) {
      sched_buffer_sizes[i] = size;
      changed = true;
    }
  }
  if (changed) ++generation;
  entry.generation = generation;

  if (schedule_capture_enabled() && entry.schedule.empty()) {
    if (memstats_enabled()) {
      for (size_t i = 0; i < backends.size(); ++i) {
        const size_t size = ggml_backend_sched_get_buffer_size(s, backends[i]);
        if (size == 0) continue;
        std::fprintf(stderr, "[memstats] sched-compute-buffer backend=%s size=%.2f MB\n",
                     ggml_backend_name(backends[i]), static_cast<double>(size) / 1048576.0);
      }
    }
    entry.schedule.reserve(static_cast<size_t>(n_nodes));
    for (int i = 0; i < n_nodes; ++i) {
      ggml_tensor* node = ggml_graph_node(graph, i);
      ggml_backend_t b = ggml_backend_sched_get_tensor_backend(s, node);
      entry.schedule.push_back(NodeAssignment{ggml_op_name(node->op), node->name,
                                              b != nullptr ? ggml_backend_name(b) : "<unassigned>"});
    }
  }

  const auto t2 = std::chrono::steady_clock::now();
  const int n_backends = ggml_backend_sched_get_n_backends(s);
  for (int i = 0; i < n_backends; ++i) {
    ggml_backend_t b = ggml_backend_sched_get_backend(s, i);
    ggml_backend_dev_t device = ggml_backend_get_device(b);
    if (device == nullptr) continue;
    ggml_backend_reg_t reg = ggml_backend_dev_backend_reg(device);
    if (reg == nullptr) continue;
    auto set_threads = reinterpret_cast<ggml_backend_set_n_threads_t>(
        ggml_backend_reg_get_proc_address(reg, "ggml_backend_set_n_threads"));
    if (set_threads != nullptr) set_threads(b, kBackendThreads);
  }
  guard.issued = true;
  const ggml_status status = ggml_backend_sched_graph_compute_async(s, graph);
  if (status != GGML_STATUS_SUCCESS) {
    SESSION_LOG(GGML_LOG_LEVEL_ERROR, "run_impl", "Failed to compute graph\n");
    throw std::runtime_error("failed to compute graph");
  }
  const auto t3 = std::chrono::steady_clock::now();
  read_outputs_fn(this, entry.outputs, entry.container.get());
  ggml_backend_sched_synchronize(s);
  guard.issued = false;
  const auto t4 = std::chrono::steady_clock::now();
  if (timing) {
    std::fprintf(
        stderr,
        "[timing] session out=%-20s nodes=%d in=%.2f alloc=%.2f compute=%.2f out=%.2f total=%.2f ms\n",
        output_name_of(entry), n_nodes, ms_between(t0, t1), ms_between(t1, t2), ms_between(t2, t3),
        ms_between(t3, t4), ms_between(t0, t4));
  }
}

const Session::CachedRun* Session::find_cached_run(uint64_t key) const {
  auto found = graph_cache.find(key);
  return found != graph_cache.end() ? &found->second : nullptr;
}

// ---------------------------------------------------------------------------
// State tensors

namespace {

bool chain_reaches(const ggml_tensor* t, const std::unordered_set<const ggml_tensor*>& targets) {
  for (; t != nullptr; t = t->view_src) {
    if (targets.count(t) != 0) return true;
  }
  return false;
}

}  // namespace

ggml_bf_tensor Session::create_state_tensor_1d(const std::string& name, ggml_type type, int64_t ne0) {
  if (!state_container) throw std::logic_error("state tensors must be declared during Session::setup");
  if (state_container->has_tensor_by_name(name))
    throw std::runtime_error("duplicate tensor name declared: " + name);
  ggml_bf_tensor t = state_container->create_tensor_1d(name, type, ne0);
  state_specs.push_back(StateSpec{name, type, 1, {ne0, 1, 1, 1}});
  return t;
}

ggml_bf_tensor Session::create_state_tensor_2d(const std::string& name, ggml_type type, int64_t ne0,
                                               int64_t ne1) {
  if (!state_container) throw std::logic_error("state tensors must be declared during Session::setup");
  if (state_container->has_tensor_by_name(name))
    throw std::runtime_error("duplicate tensor name declared: " + name);
  ggml_bf_tensor t = state_container->create_tensor_2d(name, type, ne0, ne1);
  state_specs.push_back(StateSpec{name, type, 2, {ne0, ne1, 1, 1}});
  return t;
}

ggml_bf_tensor Session::create_state_tensor_3d(const std::string& name, ggml_type type, int64_t ne0,
                                               int64_t ne1, int64_t ne2) {
  if (!state_container) throw std::logic_error("state tensors must be declared during Session::setup");
  if (state_container->has_tensor_by_name(name))
    throw std::runtime_error("duplicate tensor name declared: " + name);
  ggml_bf_tensor t = state_container->create_tensor_3d(name, type, ne0, ne1, ne2);
  state_specs.push_back(StateSpec{name, type, 3, {ne0, ne1, ne2, 1}});
  return t;
}

SessionState Session::make_session_state() {
  std::lock_guard<std::mutex> lock(manager->mutex);
  if (!state_container) throw std::logic_error("Session::make_session_state: the session is not set up");
  SessionState state;
  state.container = std::make_unique<TensorContainer>(buft_list, TensorContainer::ArenaSizes{});
  for (const StateSpec& decl : state_specs) {
    switch (decl.rank) {
      case 3:
        state.container->create_tensor_3d(decl.name, decl.type, decl.ne[0], decl.ne[1], decl.ne[2]);
        break;
      case 2:
        state.container->create_tensor_2d(decl.name, decl.type, decl.ne[0], decl.ne[1]);
        break;
      case 1:
        state.container->create_tensor_1d(decl.name, decl.type, decl.ne[0]);
        break;
      default:
        throw std::runtime_error("SessionState: unsupported state tensor rank");
    }
  }
  state.container->free_temp_ctx();
  state.container->allocate_tensors_on_backend_buffers();
  for (const StateSpec& decl : state_specs) {
    ggml_tensor* t = state.container->get_tensor_by_name(decl.name).tensor;
    ggml_backend_tensor_memset(t, 0, 0, ggml_nbytes(t));
  }
  return state;
}

void Session::reset_session_state(SessionState& state) {
  if (!state.container) throw std::invalid_argument("Session::reset_session_state: invalid handle");
  std::lock_guard<std::mutex> lock(manager->mutex);
  for (const StateSpec& decl : state_specs) {
    ggml_tensor* t = state.container->get_tensor_by_name(decl.name).tensor;
    ggml_backend_tensor_memset(t, 0, 0, ggml_nbytes(t));
  }
}

void Session::bind_state(SessionState* state) {
  if (state == nullptr) return;
  if (!state->container) throw std::invalid_argument("Session::bind_state: invalid handle");
  for (const StateSpec& decl : state_specs) {
    ggml_tensor* templ = state_container->get_tensor_by_name(decl.name).tensor;
    ggml_tensor* own = state->container->get_tensor_by_name(decl.name).tensor;
    if (own->type != templ->type || !ggml_are_same_shape(own, templ) || own->data == nullptr) {
      throw std::invalid_argument("Session::bind_state: state tensor " + decl.name +
                                  " does not match its declaration");
    }
    templ->buffer = own->buffer;
    templ->data = own->data;
  }
}

void Session::collect_state_views(ggml_cgraph* graph, std::vector<ggml_tensor*>& out) const {
  out.clear();
  if (state_specs.empty() || !state_container) return;
  std::unordered_set<const ggml_tensor*> templates;
  for (const StateSpec& decl : state_specs)
    templates.insert(state_container->get_tensor_by_name(decl.name).tensor);
  const int n = ggml_graph_n_nodes(graph);
  for (int i = 0; i < n; ++i) {
    ggml_tensor* node = ggml_graph_node(graph, i);
    if (chain_reaches(node->view_src, templates)) out.push_back(node);
  }
}

bool Session::graph_reads_state(ggml_cgraph* graph, const TensorBag& outputs) const {
  if (state_specs.empty() || !state_container) return false;
  std::unordered_set<const ggml_tensor*> templates;
  for (const StateSpec& decl : state_specs)
    templates.insert(state_container->get_tensor_by_name(decl.name).tensor);
  for (const ggml_bf_tensor& out : outputs.tensors) {
    if (chain_reaches(out.tensor, templates)) return true;
  }
  const int n = ggml_graph_n_nodes(graph);
  for (int i = 0; i < n; ++i) {
    ggml_tensor* node = ggml_graph_node(graph, i);
    if (chain_reaches(node, templates)) return true;
    for (const ggml_tensor* src : node->src) {
      if (chain_reaches(src, templates)) return true;
    }
  }
  return false;
}

void Session::read_model_tensor(const std::string& name, void* dst, size_t len) {
  std::lock_guard<std::mutex> lock(manager->mutex);
  if (!model_container) throw std::logic_error("Session::read_model_tensor: the session is not set up");
  ggml_tensor* tensor = model_container->get_tensor_by_name(name).tensor;
  const size_t n = ggml_nbytes(tensor);
  if (len < n) {
    throw std::runtime_error(format("Session::read_model_tensor('%s'): buffer too small (have %zu, need %zu)",
                                    name.c_str(), len, n));
  }
  if (n == 0) return;
  if (storage_of(tensor) == nullptr || tensor->data == nullptr) {
    throw std::runtime_error(
        format("Session::read_model_tensor('%s'): tensor has no backend storage", name.c_str()));
  }
  ggml_backend_tensor_get(tensor, dst, 0, n);
}

// ---------------------------------------------------------------------------
// Schedule report

void Session::dump_schedule(std::ostream& out, const std::string& title) const {
  out << "== " << title << " ==\n";
  std::vector<const NodeAssignment*> records;
  size_t graphs = 0;
  for (uint64_t key : lru_keys) {
    auto found = graph_cache.find(key);
    if (found == graph_cache.end() || found->second.schedule.empty()) continue;
    ++graphs;
    for (const NodeAssignment& record : found->second.schedule) records.push_back(&record);
  }
  if (records.empty()) {
    out << "  <no snapshot — call Session::run() first>\n\n";
    return;
  }
  out << "cached graphs: " << graphs << "\n";

  std::vector<std::pair<std::string, size_t>> per_backend;
  for (const NodeAssignment* record : records) {
    auto pos = std::find_if(per_backend.begin(), per_backend.end(),
                            [&](const auto& entry) { return entry.first == record->backend; });
    if (pos == per_backend.end()) {
      per_backend.emplace_back(record->backend, 1);
    } else {
      ++pos->second;
    }
  }
  size_t width = 0;
  for (const auto& entry : per_backend) width = std::max(width, entry.first.size());
  out << "backend summary:\n";
  for (const auto& entry : per_backend) {
    out << "  " << entry.first << ":" << std::string(width - entry.first.size(), ' ') << " " << entry.second
        << " nodes\n";
  }

  const size_t n = records.size();
  const size_t k = std::min<size_t>(n, 20);
  out << "sample (first " << k << " of " << n << " nodes):\n";
  size_t op_width = 0;
  size_t name_width = 0;
  for (size_t i = 0; i < k; ++i) {
    op_width = std::max(op_width, records[i]->op.size());
    name_width = std::max(name_width, records[i]->name.size());
  }
  for (size_t i = 0; i < k; ++i) {
    const NodeAssignment& r = *records[i];
    out << "  " << r.op << std::string(op_width - r.op.size(), ' ') << "  " << r.name
        << std::string(name_width - r.name.size(), ' ') << "  -> " << r.backend << "\n";
  }

  const bool cpu_only = std::all_of(per_backend.begin(), per_backend.end(),
                                    [](const auto& entry) { return entry.first == "CPU"; });
  if (cpu_only) {
    out << "CPU-only run (no GPU backend to fall back from) ✓\n\n";
    return;
  }
  std::map<std::string, std::pair<size_t, std::string>> fallback;  // op -> (count, first name)
  for (const NodeAssignment* record : records) {
    if (record->backend != "CPU") continue;
    auto pos = fallback.find(record->op);
    if (pos == fallback.end()) {
      fallback.emplace(record->op, std::make_pair(size_t{1}, record->name));
    } else {
      ++pos->second.first;
    }
  }
  if (fallback.empty()) {
    out << "CPU-fallback ops (none) ✓\n\n";
    return;
  }
  out << "CPU-fallback ops ✗:\n";
  for (const auto& [op, info] : fallback) {
    out << "  " << op << "  x" << info.first;
    if (!info.second.empty()) out << "  (e.g. " << info.second << ")";
    out << "\n";
  }
  out << "\n";
}

}  // namespace ggml_runtime
