#include "support/gguf_writer.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>

namespace kestrix_test {

namespace {

constexpr size_t kMaxTensors = 4096;

}  // namespace

GgufWriter::GgufWriter() : gguf_(gguf_init_empty()) {
  ggml_init_params params = {ggml_tensor_overhead() * kMaxTensors, nullptr, true};
  tensors_.reset(ggml_init(params));
}

void GgufWriter::set_u8(const std::string& key, uint8_t value) {
  gguf_set_val_u8(gguf_.get(), key.c_str(), value);
}
void GgufWriter::set_u32(const std::string& key, uint32_t value) {
  gguf_set_val_u32(gguf_.get(), key.c_str(), value);
}
void GgufWriter::set_i32(const std::string& key, int32_t value) {
  gguf_set_val_i32(gguf_.get(), key.c_str(), value);
}
void GgufWriter::set_u64(const std::string& key, uint64_t value) {
  gguf_set_val_u64(gguf_.get(), key.c_str(), value);
}
void GgufWriter::set_f32(const std::string& key, float value) {
  gguf_set_val_f32(gguf_.get(), key.c_str(), value);
}
void GgufWriter::set_bool(const std::string& key, bool value) {
  gguf_set_val_bool(gguf_.get(), key.c_str(), value);
}
void GgufWriter::set_str(const std::string& key, const std::string& value) {
  gguf_set_val_str(gguf_.get(), key.c_str(), value.c_str());
}
void GgufWriter::set_str_array(const std::string& key, const std::vector<std::string>& values) {
  std::vector<const char*> pointers;
  for (const auto& v : values) pointers.push_back(v.c_str());
  gguf_set_arr_str(gguf_.get(), key.c_str(), pointers.data(), pointers.size());
}
void GgufWriter::set_i32_array(const std::string& key, const std::vector<int32_t>& values) {
  gguf_set_arr_data(gguf_.get(), key.c_str(), GGUF_TYPE_INT32, values.data(), values.size());
}
void GgufWriter::set_f32_array(const std::string& key, const std::vector<float>& values) {
  gguf_set_arr_data(gguf_.get(), key.c_str(), GGUF_TYPE_FLOAT32, values.data(), values.size());
}

void GgufWriter::add_tensor(const std::string& name, ggml_type type, const std::vector<int64_t>& ne,
                            const std::vector<uint8_t>& data) {
  if (ne.empty() || ne.size() > 4) throw std::invalid_argument("tensor needs 1 to 4 extents: " + name);
  int64_t extents[4] = {1, 1, 1, 1};
  for (size_t i = 0; i < ne.size(); ++i) extents[i] = ne[i];
  ggml_tensor* t = ggml_new_tensor(tensors_.get(), type, static_cast<int>(ne.size()), extents);
  ggml_set_name(t, name.c_str());
  if (data.size() != ggml_nbytes(t)) {
    throw std::invalid_argument("tensor " + name + ": " + std::to_string(data.size()) + " bytes given, " +
                                std::to_string(ggml_nbytes(t)) + " needed");
  }
  data_.push_back(data);
  t->data = data_.back().data();
  gguf_add_tensor(gguf_.get(), t);
  // gguf_add_tensor copies the tensor description and the data pointer;
  // data_ keeps the bytes alive until write().
  gguf_set_tensor_data(gguf_.get(), name.c_str(), data_.back().data());
}

void GgufWriter::add_tensor_from_f32(const std::string& name, ggml_type type, const std::vector<int64_t>& ne,
                                     const std::vector<float>& values) {
  int64_t n = 1;
  for (int64_t e : ne) n *= e;
  if (static_cast<int64_t>(values.size()) != n) {
    throw std::invalid_argument("tensor " + name + ": " + std::to_string(values.size()) + " values given, " +
                                std::to_string(n) + " needed");
  }
  const int64_t row = ne.empty() ? 1 : ne[0];
  const size_t nbytes = ggml_row_size(type, row) * static_cast<size_t>(n / row);
  std::vector<uint8_t> bytes(nbytes);
  switch (type) {
    case GGML_TYPE_F32:
      std::copy(reinterpret_cast<const uint8_t*>(values.data()),
                reinterpret_cast<const uint8_t*>(values.data()) + nbytes, bytes.begin());
      break;
    case GGML_TYPE_F16:
      ggml_fp32_to_fp16_row(values.data(), reinterpret_cast<ggml_fp16_t*>(bytes.data()), n);
      break;
    case GGML_TYPE_BF16:
      ggml_fp32_to_bf16_row_ref(values.data(), reinterpret_cast<ggml_bf16_t*>(bytes.data()), n);
      break;
    default:
      ggml_quantize_chunk(type, values.data(), bytes.data(), 0, n / row, row, nullptr);
      break;
  }
  add_tensor(name, type, ne, bytes);
}

void GgufWriter::write(const std::string& path) const {
  if (!gguf_write_to_file(gguf_.get(), path.c_str(), false)) {
    throw std::runtime_error("cannot write GGUF file " + path);
  }
}

std::string temp_path(const std::string& file_name) {
  static const std::filesystem::path dir = [] {
    std::filesystem::path base = std::filesystem::temp_directory_path() /
                                 ("kestrix-test-" + std::to_string(static_cast<long>(getpid())));
    std::filesystem::create_directories(base);
    static const std::string to_remove = base.string();
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(to_remove, ec);
    });
    return base;
  }();
  static int counter = 0;
  return (dir / (std::to_string(counter++) + "-" + file_name)).string();
}

std::vector<float> random_floats(size_t n, uint32_t seed, float scale) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-scale, scale);
  std::vector<float> values(n);
  for (float& v : values) v = dist(rng);
  return values;
}

float round_f16(float value) { return ggml_fp16_to_fp32(ggml_fp32_to_fp16(value)); }
float round_bf16(float value) { return ggml_bf16_to_fp32(ggml_fp32_to_bf16(value)); }

}  // namespace kestrix_test
