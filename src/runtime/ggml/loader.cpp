#include "runtime/ggml/loader.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "runtime/ggml/logging.h"

llama_file::llama_file(const char* path, const char* mode) {
  stream = ggml_fopen(path, mode);
  if (stream == nullptr) {
    throw std::runtime_error(format("failed to open %s: %s", path, strerror(errno)));
  }
  try {
    seek(0, SEEK_END);
    size = tell();
    seek(0, SEEK_SET);
  } catch (...) {
    fclose(stream);
    stream = nullptr;
    throw;
  }
}

llama_file::~llama_file() {
  if (stream != nullptr) fclose(stream);
}

void llama_file::seek(size_t offset, int whence) const {
  if (fseeko(stream, static_cast<off_t>(offset), whence) != 0) {
    throw std::runtime_error(format("seek error: %s", strerror(errno)));
  }
}

size_t llama_file::tell() const {
  const off_t position = ftello(stream);
  if (position == -1) throw std::runtime_error(format("ftell error: %s", strerror(errno)));
  return static_cast<size_t>(position);
}

void llama_file::read_raw(void* dst, size_t len) const {
  if (len == 0) return;
  errno = 0;
  const size_t items = fread(dst, len, 1, stream);
  if (ferror(stream)) throw std::runtime_error(format("read error: %s", strerror(errno)));
  if (items != 1) throw std::runtime_error("unexpectedly reached end of file");
}

namespace ggml_runtime {

namespace {

#define LOADER_LOG(...) log_internal(GGML_LOG_LEVEL_INFO, __FILE__, __LINE__, "GGUFLoader", __VA_ARGS__)

constexpr size_t kMiB = size_t{1} << 20;

const char* value_type_name(gguf_type type) {
  switch (type) {
    case GGUF_TYPE_UINT8:
      return "uint8";
    case GGUF_TYPE_INT8:
      return "int8";
    case GGUF_TYPE_UINT16:
      return "uint16";
    case GGUF_TYPE_INT16:
      return "int16";
    case GGUF_TYPE_UINT32:
      return "uint32";
    case GGUF_TYPE_INT32:
      return "int32";
    case GGUF_TYPE_FLOAT32:
      return "float32";
    case GGUF_TYPE_BOOL:
      return "bool";
    case GGUF_TYPE_STRING:
      return "string";
    case GGUF_TYPE_ARRAY:
      return "array";
    case GGUF_TYPE_UINT64:
      return "uint64";
    case GGUF_TYPE_INT64:
      return "int64";
    case GGUF_TYPE_FLOAT64:
      return "float64";
    default:
      return "unknown";
  }
}

}  // namespace

GGUFLoader::GGUFLoader(const std::string& path_in) : path(path_in) {
  ggml_context* meta = nullptr;
  gguf_init_params init_params = {true, &meta};
  gguf_ctx.reset(gguf_init_from_file(path.c_str(), init_params));
  if (!gguf_ctx) throw std::runtime_error("Failed to load GGML file: " + path);

  if (meta != nullptr) {
    std::unique_ptr<ggml_context, ggml_context_deleter> meta_owner(meta);
    for (ggml_tensor* t = ggml_get_first_tensor(meta); t != nullptr; t = ggml_get_next_tensor(meta, t)) {
      const int n_dims = ggml_n_dims(t);
      tensor_n_dims[t->name] = n_dims;
      tensor_ne[t->name] = std::vector<int64_t>(t->ne, t->ne + n_dims);
    }
  }

  file = std::make_unique<llama_file>(path.c_str(), "rb");
  LOADER_LOG("GGUF file size: %ld\n", static_cast<long>(file->size));

  const int64_t n_tensors = gguf_get_n_tensors(gguf_ctx.get());
  LOADER_LOG("GGUF has %d tensors\n", static_cast<int>(n_tensors));
  const size_t data_offset = gguf_get_data_offset(gguf_ctx.get());

  size_t span = 0;
  size_t previous = 0;
  for (int64_t id = 0; id < n_tensors; ++id) {
    const size_t offset = gguf_get_tensor_offset(gguf_ctx.get(), id) + data_offset;
    tensor_index.emplace(
        gguf_get_tensor_name(gguf_ctx.get(), id),
        std::make_tuple(gguf_get_tensor_type(gguf_ctx.get(), id), static_cast<uint64_t>(offset)));
    if (offset > previous && previous != 0) span = std::max(span, offset - previous);
    previous = offset;
  }
  if (file->size > previous) span = std::max(span, file->size - previous);

  LOADER_LOG("Max tensor size: %zu MB\n", span >> 20);
  read_buffer.assign(((span >> 20) + 1) * kMiB, 0);
}

GGUFLoader::~GGUFLoader() = default;

void GGUFLoader::release_file_resources() {
  file.reset();
  std::vector<uint8_t>().swap(read_buffer);
}

const uint8_t* GGUFLoader::get_tensor_file_data(const std::string& name, size_t nbytes) {
  if (!file) file = std::make_unique<llama_file>(path.c_str(), "rb");
  auto it = tensor_index.find(name);
  if (it == tensor_index.end()) throw std::runtime_error("Tensor not found: " + name);
  const uint64_t offset = std::get<1>(it->second);
  if (offset > file->size || nbytes > file->size - offset) {
    throw std::runtime_error("Tensor data out of range: " + name);
  }
  if (read_buffer.size() < nbytes) read_buffer.resize(nbytes, 0);
  file->seek(static_cast<size_t>(offset), SEEK_SET);
  file->read_raw(read_buffer.data(), nbytes);
  return read_buffer.data();
}

ggml_type GGUFLoader::get_tensor_type(const std::string& name) {
  auto it = tensor_index.find(name);
  if (it == tensor_index.end()) throw std::runtime_error("Tensor not found: " + name);
  return std::get<0>(it->second);
}

bool GGUFLoader::has_tensor(const std::string& name) const { return tensor_index.count(name) != 0; }

int GGUFLoader::get_tensor_n_dims(const std::string& name) const {
  auto it = tensor_n_dims.find(name);
  return it == tensor_n_dims.end() ? 0 : it->second;
}

std::vector<int64_t> GGUFLoader::get_tensor_ne(const std::string& name) const {
  auto it = tensor_ne.find(name);
  return it == tensor_ne.end() ? std::vector<int64_t>{} : it->second;
}

bool GGUFLoader::has_key(const std::string& key) const {
  return gguf_find_key(gguf_ctx.get(), key.c_str()) >= 0;
}

int64_t GGUFLoader::find_key(const std::string& key, gguf_type expected) const {
  const int64_t id = gguf_find_key(gguf_ctx.get(), key.c_str());
  if (id < 0) return -1;
  const gguf_type stored = gguf_get_kv_type(gguf_ctx.get(), id);
  if (stored != expected) {
    throw std::runtime_error("metadata key " + key + " has type " + value_type_name(stored) + ", expected " +
                             value_type_name(expected));
  }
  return id;
}

uint32_t GGUFLoader::get_u32(const std::string& key, uint32_t def) const {
  const int64_t id = find_key(key, GGUF_TYPE_UINT32);
  return id < 0 ? def : gguf_get_val_u32(gguf_ctx.get(), id);
}

int32_t GGUFLoader::get_i32(const std::string& key, int32_t def) const {
  const int64_t id = find_key(key, GGUF_TYPE_INT32);
  return id < 0 ? def : gguf_get_val_i32(gguf_ctx.get(), id);
}

float GGUFLoader::get_f32(const std::string& key, float def) const {
  const int64_t id = find_key(key, GGUF_TYPE_FLOAT32);
  return id < 0 ? def : gguf_get_val_f32(gguf_ctx.get(), id);
}

bool GGUFLoader::get_bool(const std::string& key, bool def) const {
  const int64_t id = find_key(key, GGUF_TYPE_BOOL);
  return id < 0 ? def : gguf_get_val_bool(gguf_ctx.get(), id);
}

std::string GGUFLoader::get_str(const std::string& key, const std::string& def) const {
  const int64_t id = find_key(key, GGUF_TYPE_STRING);
  return id < 0 ? def : std::string(gguf_get_val_str(gguf_ctx.get(), id));
}

std::vector<std::string> GGUFLoader::get_str_array(const std::string& key) const {
  std::vector<std::string> values;
  const int64_t id = gguf_find_key(gguf_ctx.get(), key.c_str());
  if (id < 0 || gguf_get_kv_type(gguf_ctx.get(), id) != GGUF_TYPE_ARRAY ||
      gguf_get_arr_type(gguf_ctx.get(), id) != GGUF_TYPE_STRING) {
    return values;
  }
  const size_t n = gguf_get_arr_n(gguf_ctx.get(), id);
  values.reserve(n);
  for (size_t i = 0; i < n; ++i) values.emplace_back(gguf_get_arr_str(gguf_ctx.get(), id, i));
  return values;
}

std::vector<int32_t> GGUFLoader::get_i32_array(const std::string& key) const {
  const int64_t id = gguf_find_key(gguf_ctx.get(), key.c_str());
  if (id < 0 || gguf_get_kv_type(gguf_ctx.get(), id) != GGUF_TYPE_ARRAY ||
      gguf_get_arr_type(gguf_ctx.get(), id) != GGUF_TYPE_INT32) {
    return {};
  }
  const size_t n = gguf_get_arr_n(gguf_ctx.get(), id);
  const auto* data = static_cast<const int32_t*>(gguf_get_arr_data(gguf_ctx.get(), id));
  return std::vector<int32_t>(data, data + n);
}

}  // namespace ggml_runtime
