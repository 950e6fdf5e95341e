#include "runtime/ggml/loader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "runtime/ggml/log_capture.h"
#include "support/error_text.h"
#include "support/gguf_writer.h"

namespace {

using ggml_runtime::GGUFLoader;
using kestrix_test::error_text;
using kestrix_test::GgufWriter;
using kestrix_test::LogCapture;
using kestrix_test::temp_path;

constexpr size_t kMiB = size_t{1} << 20;

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 31u);
  return bytes;
}

// The loader sizes its read buffer for the largest tensor span, counted in
// whole MiB rounded down, plus one MiB.
TEST(GGUFLoader, ReadBufferCoversTheLargestSpan) {
  struct Case {
    size_t first_tensor_bytes;  // a multiple of the 32-byte data alignment
    size_t expected_logged_mib;
  };
  const Case cases[] = {{3 * kMiB, 3}, {3 * kMiB - 32, 2}, {64, 0}};
  for (const Case& c : cases) {
    GgufWriter w;
    w.add_tensor("big", GGML_TYPE_I8, {static_cast<int64_t>(c.first_tensor_bytes)},
                 pattern(c.first_tensor_bytes, 1));
    w.add_tensor("small", GGML_TYPE_I8, {16}, pattern(16, 2));
    const std::string path = temp_path("span.gguf");
    w.write(path);
    LogCapture capture;
    GGUFLoader loader(path);
    EXPECT_TRUE(
        capture.contains(":<GGUFLoader> Max tensor size: " + std::to_string(c.expected_logged_mib) + " MB\n"))
        << c.first_tensor_bytes;
    EXPECT_TRUE(capture.contains("GGUF has 2 tensors\n"));
    EXPECT_EQ(loader.read_buffer_size(), (c.expected_logged_mib + 1) * kMiB);
  }
}

TEST(GGUFLoader, FileWithoutTensorsSpansTheWholeFile) {
  GgufWriter w;
  w.set_str("general.name", std::string(3000, 'n'));
  const std::string path = temp_path("empty.gguf");
  w.write(path);
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  const long size = static_cast<long>(in.tellg());
  LogCapture capture;
  GGUFLoader loader(path);
  EXPECT_TRUE(capture.contains("GGUF file size: " + std::to_string(size) + "\n"));
  EXPECT_TRUE(capture.contains("Max tensor size: 0 MB\n"));
  EXPECT_EQ(loader.read_buffer_size(), kMiB);
}

TEST(GGUFLoader, TypedGetters) {
  GgufWriter w;
  w.set_u32("k.u32", 4000000000u);
  w.set_i32("k.i32", -17);
  w.set_f32("k.f32", 0.25f);
  w.set_bool("k.bool", true);
  w.set_str("k.str", "v3");
  w.set_i32_array("k.i32s", {3, -1, 4});
  w.set_str_array("k.strs", {"a", "bc"});
  w.set_u64("k.u64", 5);
  const std::string path = temp_path("keys.gguf");
  w.write(path);
  GGUFLoader loader(path);

  EXPECT_EQ(loader.get_u32("k.u32", 1), 4000000000u);
  EXPECT_EQ(loader.get_i32("k.i32", 1), -17);
  EXPECT_EQ(loader.get_f32("k.f32", 1.0f), 0.25f);
  EXPECT_TRUE(loader.get_bool("k.bool", false));
  EXPECT_EQ(loader.get_str("k.str", "x"), "v3");
  EXPECT_EQ(loader.get_i32_array("k.i32s"), (std::vector<int32_t>{3, -1, 4}));
  EXPECT_EQ(loader.get_str_array("k.strs"), (std::vector<std::string>{"a", "bc"}));

  // Absent keys give the default; unsuitable arrays give nothing.
  EXPECT_FALSE(loader.has_key("absent"));
  EXPECT_TRUE(loader.has_key("k.u64"));
  EXPECT_EQ(loader.get_u32("absent", 9u), 9u);
  EXPECT_EQ(loader.get_i32("absent", -9), -9);
  EXPECT_EQ(loader.get_f32("absent", 2.5f), 2.5f);
  EXPECT_FALSE(loader.get_bool("absent", false));
  EXPECT_EQ(loader.get_str("absent", "dflt"), "dflt");
  EXPECT_TRUE(loader.get_str_array("k.i32s").empty());
  EXPECT_TRUE(loader.get_i32_array("k.strs").empty());
  EXPECT_TRUE(loader.get_i32_array("k.i32").empty());
  EXPECT_TRUE(loader.get_str_array("absent").empty());

  // A key stored with another type is a format error, never the default.
  struct WrongType {
    std::function<void()> read;
    const char* text;
  };
  const WrongType wrong[] = {
      {[&] { loader.get_u32("k.i32", 0); }, "metadata key k.i32 has type int32, expected uint32"},
      {[&] { loader.get_i32("k.u32", 0); }, "metadata key k.u32 has type uint32, expected int32"},
      {[&] { loader.get_f32("k.str", 0); }, "metadata key k.str has type string, expected float32"},
      {[&] { loader.get_bool("k.u64", false); }, "metadata key k.u64 has type uint64, expected bool"},
      {[&] { loader.get_str("k.strs", ""); }, "metadata key k.strs has type array, expected string"},
      {[&] { loader.get_i32("k.i32s", 0); }, "metadata key k.i32s has type array, expected int32"},
  };
  for (const WrongType& c : wrong) EXPECT_EQ(error_text(c.read), c.text);
}

TEST(GGUFLoader, TensorQueriesAndByteExactReads) {
  const auto a = pattern(5 * 4, 3);
  const auto b = pattern(ggml_row_size(GGML_TYPE_F16, 8) * 3, 9);
  GgufWriter w;
  w.add_tensor("a", GGML_TYPE_F32, {5, 1}, a);
  w.add_tensor("b", GGML_TYPE_F16, {8, 3, 1, 1}, b);
  const std::string path = temp_path("tensors.gguf");
  w.write(path);
  GGUFLoader loader(path);

  EXPECT_TRUE(loader.has_tensor("a"));
  EXPECT_FALSE(loader.has_tensor("c"));
  EXPECT_EQ(loader.get_tensor_type("b"), GGML_TYPE_F16);
  EXPECT_EQ(loader.get_tensor_n_dims("a"), 1);
  EXPECT_EQ(loader.get_tensor_ne("a"), (std::vector<int64_t>{5}));
  EXPECT_EQ(loader.get_tensor_n_dims("b"), 2);
  EXPECT_EQ(loader.get_tensor_ne("b"), (std::vector<int64_t>{8, 3}));
  EXPECT_EQ(loader.get_tensor_n_dims("c"), 0);
  EXPECT_TRUE(loader.get_tensor_ne("c").empty());
  EXPECT_EQ(error_text([&] { loader.get_tensor_type("c"); }), "Tensor not found: c");
  EXPECT_EQ(error_text([&] { loader.get_tensor_file_data("c", 1); }), "Tensor not found: c");

  const uint8_t* data = loader.get_tensor_file_data("b", b.size());
  EXPECT_EQ(std::memcmp(data, b.data(), b.size()), 0);
  data = loader.get_tensor_file_data("a", a.size());
  EXPECT_EQ(std::memcmp(data, a.data(), a.size()), 0);

  // Released, then read again: the file is reopened.
  loader.release_file_resources();
  EXPECT_EQ(loader.read_buffer_size(), 0u);
  EXPECT_EQ(loader.get_tensor_file_data("a", 0), nullptr);
  data = loader.get_tensor_file_data("b", b.size());
  EXPECT_EQ(std::memcmp(data, b.data(), b.size()), 0);
  EXPECT_EQ(loader.read_buffer_size(), b.size());
}

TEST(GGUFLoader, ReadsEndAtTheEndOfTheFile) {
  GgufWriter w;
  w.add_tensor("t", GGML_TYPE_I8, {40}, pattern(40, 5));
  const std::string path = temp_path("tail.gguf");
  w.write(path);
  GGUFLoader loader(path);

  // The only tensor starts at the data section; from there to the end of the
  // file (its padding included) may be read, one byte more may not.
  gguf_init_params params = {true, nullptr};
  std::unique_ptr<gguf_context, gguf_context_deleter> ctx(gguf_init_from_file(path.c_str(), params));
  ASSERT_TRUE(ctx);
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  const size_t to_end = static_cast<size_t>(in.tellg()) - gguf_get_data_offset(ctx.get());
  ASSERT_GE(to_end, 40u);
  EXPECT_NO_THROW(loader.get_tensor_file_data("t", to_end));
  EXPECT_EQ(error_text([&] { loader.get_tensor_file_data("t", to_end + 1); }), "Tensor data out of range: t");
}

TEST(GGUFLoader, BrokenFilesAreRefused) {
  const std::string missing = temp_path("missing.gguf");
  EXPECT_EQ(error_text([&] { GGUFLoader loader(missing); }), "Failed to load GGML file: " + missing);

  const std::string garbage = temp_path("garbage.gguf");
  {
    std::ofstream out(garbage, std::ios::binary);
    out << "this is not a model file";
  }
  EXPECT_EQ(error_text([&] { GGUFLoader loader(garbage); }), "Failed to load GGML file: " + garbage);

  // A file cut inside its tensor data: the directory still reads, the tensor does not.
  GgufWriter w;
  w.add_tensor("t", GGML_TYPE_F32, {256}, pattern(1024, 1));
  const std::string cut = temp_path("cut.gguf");
  w.write(cut);
  std::ifstream in(cut, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  bytes.resize(bytes.size() - 512);
  {
    std::ofstream out(cut, std::ios::binary | std::ios::trunc);
    out << bytes;
  }
  std::string error = error_text([&] {
    GGUFLoader loader(cut);
    loader.get_tensor_file_data("t", 1024);
  });
  EXPECT_NE(error, "<no exception>");
}

}  // namespace
