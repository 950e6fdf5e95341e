// Test fixtures: small GGUF files written with ggml's own gguf writer, and
// deterministic random data to fill them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ggml-cpp.h"
#include "ggml.h"
#include "gguf.h"

namespace kestrix_test {

// Collects metadata keys and tensors, then writes one GGUF file.
//
//   GgufWriter w;
//   w.set_u32("sortformer.n_layers", 2);
//   w.add_tensor_f32("enc.weight", {4, 3}, random_floats(12, 7));
//   w.write(path);
class GgufWriter {
 public:
  GgufWriter();

  void set_u8(const std::string& key, uint8_t value);
  void set_u32(const std::string& key, uint32_t value);
  void set_i32(const std::string& key, int32_t value);
  void set_u64(const std::string& key, uint64_t value);
  void set_f32(const std::string& key, float value);
  void set_bool(const std::string& key, bool value);
  void set_str(const std::string& key, const std::string& value);
  void set_str_array(const std::string& key, const std::vector<std::string>& values);
  void set_i32_array(const std::string& key, const std::vector<int32_t>& values);
  void set_f32_array(const std::string& key, const std::vector<float>& values);

  // A tensor of any ggml type from raw bytes; `data` holds exactly the
  // tensor's byte size (ggml_row_size(type, ne[0]) * the other extents).
  void add_tensor(const std::string& name, ggml_type type, const std::vector<int64_t>& ne,
                  const std::vector<uint8_t>& data);
  // An F32, F16 or BF16 tensor from float values (converted as ggml converts),
  // or a quantised type through ggml_quantize_chunk.
  void add_tensor_from_f32(const std::string& name, ggml_type type, const std::vector<int64_t>& ne,
                           const std::vector<float>& values);
  void add_tensor_f32(const std::string& name, const std::vector<int64_t>& ne,
                      const std::vector<float>& values) {
    add_tensor_from_f32(name, GGML_TYPE_F32, ne, values);
  }

  // Writes the file; throws std::runtime_error when it cannot.
  void write(const std::string& path) const;

  gguf_context* context() const { return gguf_.get(); }

 private:
  std::unique_ptr<gguf_context, gguf_context_deleter> gguf_;
  std::unique_ptr<ggml_context, ggml_context_deleter> tensors_;  // no_alloc descriptions
  std::vector<std::vector<uint8_t>> data_;                       // tensor bytes, kept alive until write
};

// A fresh path in a per-process temporary folder; the folder is removed at exit.
std::string temp_path(const std::string& file_name);

// Deterministic values uniform in [-scale, scale).
std::vector<float> random_floats(size_t n, uint32_t seed, float scale = 1.0f);

// The float a value becomes after a round trip through F16 or BF16.
float round_f16(float value);
float round_bf16(float value);

}  // namespace kestrix_test
