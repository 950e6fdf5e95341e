// Read-only access to a GGUF model file: typed metadata, the stored type and
// extents of each tensor, and one tensor's raw bytes at a time.
//
// Threading: no lock. Construction and the getters run on the owner's thread;
// get_tensor_file_data and release_file_resources change the file and the
// buffer and must not run concurrently (sessions call them under the backend
// manager's mutex).
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "ggml-cpp.h"
#include "gguf.h"

// A stdio file opened with ggml_fopen; every failure throws std::runtime_error.
struct llama_file {
  llama_file(const char* path, const char* mode);
  ~llama_file();
  llama_file(const llama_file&) = delete;
  llama_file& operator=(const llama_file&) = delete;

  void seek(size_t offset, int whence) const;
  size_t tell() const;
  void read_raw(void* dst, size_t len) const;

  FILE* stream = nullptr;
  size_t size = 0;  // bytes, measured when opened
};

namespace ggml_runtime {

class GGUFLoader {
 public:
  // Reads the metadata and the tensor directory; no tensor data is loaded.
  explicit GGUFLoader(const std::string& path);
  ~GGUFLoader();
  GGUFLoader(const GGUFLoader&) = delete;
  GGUFLoader& operator=(const GGUFLoader&) = delete;

  // Closes the file and frees the read buffer; a later read opens it again.
  void release_file_resources();
  // Reads the first `nbytes` bytes of a tensor's data. The pointer is valid
  // until the next read, release_file_resources or destruction.
  const uint8_t* get_tensor_file_data(const std::string& name, size_t nbytes);

  ggml_type get_tensor_type(const std::string& name);
  bool has_tensor(const std::string& name) const;
  int get_tensor_n_dims(const std::string& name) const;               // 0 when absent
  std::vector<int64_t> get_tensor_ne(const std::string& name) const;  // empty when absent

  // Scalar getters return `def` for an absent key; a key stored with another
  // type is a model-format error (std::runtime_error naming both types).
  bool has_key(const std::string& key) const;
  uint32_t get_u32(const std::string& key, uint32_t def) const;
  int32_t get_i32(const std::string& key, int32_t def) const;
  float get_f32(const std::string& key, float def) const;
  bool get_bool(const std::string& key, bool def) const;
  std::string get_str(const std::string& key, const std::string& def) const;
  // Array getters return an empty vector unless the key is an array of the
  // element type asked for.
  std::vector<std::string> get_str_array(const std::string& key) const;
  std::vector<int32_t> get_i32_array(const std::string& key) const;

  // Bytes currently reserved for tensor reads (sized for the largest tensor span).
  size_t read_buffer_size() const { return read_buffer.size(); }

 private:
  // Id of `key` when present with the expected type; -1 when absent.
  int64_t find_key(const std::string& key, gguf_type expected) const;

  std::string path;
  std::unique_ptr<gguf_context, gguf_context_deleter> gguf_ctx;
  std::unique_ptr<llama_file> file;
  std::map<std::string, std::tuple<ggml_type, uint64_t>> tensor_index;
  std::map<std::string, int> tensor_n_dims;
  std::map<std::string, std::vector<int64_t>> tensor_ne;
  std::vector<uint8_t> read_buffer;
};

}  // namespace ggml_runtime
