#include "runtime/ggml/tensor_container.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "ggml-backend.h"
#include "ggml-cpu.h"
#include "runtime/ggml/backend.h"
#include "runtime/ggml/log_capture.h"
#include "support/error_text.h"

namespace {

using kestrix_test::error_text;

using ggml_runtime::ggml_bf_tensor;
using ggml_runtime::TensorBag;
using ggml_runtime::TensorContainer;

ggml_backend_dev_t cpu_device() { return ggml_backend_dev_by_type(GGML_BACKEND_DEVICE_TYPE_CPU); }

// The CPU's extra buffer types (not the device's default), as the manager lists them.
std::vector<ggml_backend_buffer_type_t> cpu_extra_bufts() {
  ggml_runtime::BackendManager manager(ggml_runtime::Params{});
  std::vector<ggml_backend_buffer_type_t> extras;
  for (const auto& [dev, buft] : manager.get_buft_list()) {
    if (buft != ggml_backend_dev_buffer_type(dev)) extras.push_back(buft);
  }
  return extras;
}

// Death tests re-run the test binary for each case; ggml's backtrace on abort is skipped.
void prepare_death_test() {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  setenv("GGML_NO_BACKTRACE", "1", 1);
}

TensorContainer::BufferTypeList cpu_list() { return {{cpu_device(), ggml_backend_cpu_buffer_type()}}; }

// ---------------------------------------------------------------------------

TEST(TensorBag, FirstTensorAndBounds) {
  ggml_tensor a{}, b{}, c{}, d{};
  TensorBag empty;
  empty.set_first_tensor({&a, nullptr});
  ASSERT_EQ(empty.tensor_count(), 1u);
  EXPECT_EQ(empty.get_tensor(0).tensor, &a);

  TensorBag three;
  three.add_tensor({&a, nullptr});
  three.add_tensor({&b, nullptr});
  three.add_tensor({&c, nullptr});
  three.set_first_tensor({&d, nullptr});
  prepare_death_test();
  ASSERT_EQ(three.tensor_count(), 3u);
  EXPECT_EQ(three.get_tensor(0).tensor, &d);
  EXPECT_EQ(three.get_tensor(1).tensor, &b);
  EXPECT_EQ(three.get_tensor(2).tensor, &c);
  EXPECT_DEATH(three.get_tensor(3), "index < tensors.size\\(\\)");
}

TEST(TensorContainerPlacement, FirstDefaultPairElseLastPair) {
  const std::vector<ggml_backend_buffer_type_t> extras = cpu_extra_bufts();
  if (extras.empty()) GTEST_SKIP() << "this CPU backend offers no extra buffer type";
  ggml_backend_dev_t cpu = cpu_device();
  ggml_backend_buffer_type_t plain = ggml_backend_cpu_buffer_type();
  ggml_backend_buffer_type_t extra = extras.front();

  struct Case {
    const char* what;
    TensorContainer::BufferTypeList list;
    ggml_backend_buffer_type_t expected;
  };
  const std::vector<Case> cases = {
      {"extra first, default later", {{cpu, extra}, {cpu, plain}}, plain},
      {"default first", {{cpu, plain}, {cpu, extra}}, plain},
      {"no default pair: the last pair", {{cpu, extra}, {cpu, extra}}, extra},
      {"only an extra pair", {{cpu, extra}}, extra},
  };
  for (const Case& c : cases) {
    TensorContainer container(c.list, {});
    ggml_bf_tensor t = container.create_tensor_2d("w", GGML_TYPE_F32, 4, 3);
    EXPECT_EQ(t.buft, c.expected) << c.what;
    EXPECT_EQ(container.get_tensor_by_name("w").buft, c.expected) << c.what;
    EXPECT_EQ(container.get_ctx_of_buffer_type(c.expected).buft, c.expected) << c.what;
    EXPECT_EQ(t.tensor->ne[0], 4);
    EXPECT_EQ(t.tensor->ne[1], 3);
    EXPECT_STREQ(t.tensor->name, "w");
  }
}

TEST(TensorContainerPlacement, EmptyListStops) {
  prepare_death_test();
  TensorContainer container({}, {});
  EXPECT_DEATH(container.create_tensor_1d("w", GGML_TYPE_F32, 4), "!buft_list.empty\\(\\)");
}

TEST(TensorContainerPlacement, LongNameKeptWholeInRegistry) {
  TensorContainer container(cpu_list(), {});
  const std::string name = std::string(70, 'a') + ".weight";
  ggml_bf_tensor t = container.create_tensor_1d(name, GGML_TYPE_F32, 2);
  EXPECT_TRUE(container.has_tensor_by_name(name));
  EXPECT_FALSE(container.has_tensor_by_name(name.substr(0, 63)));
  EXPECT_EQ(std::string(t.tensor->name), name.substr(0, 63));
}

TEST(TensorContainerNames, DuplicateRefusedBeforeAnythingIsCreated) {
  TensorContainer container(cpu_list(), {});
  ggml_bf_tensor first = container.create_tensor_2d("w", GGML_TYPE_F32, 4, 3);
  const TensorContainer::ArenaUsage before = container.measure();

  EXPECT_EQ(error_text([&] { container.create_tensor_2d("w", GGML_TYPE_F16, 8, 8); }),
            "duplicate tensor name declared: w");
  EXPECT_EQ(error_text([&] { container.create_tensor_1d("w", GGML_TYPE_F32, 1); }),
            "duplicate tensor name declared: w");
  EXPECT_EQ(container.get_tensor_by_name("w").tensor, first.tensor);

  // No orphan tensor or template: both arenas are exactly as before.
  const TensorContainer::ArenaUsage after = container.measure();
  EXPECT_EQ(after.temp_ctx_bytes, before.temp_ctx_bytes);
  EXPECT_EQ(after.ctx_bytes_by_buft, before.ctx_bytes_by_buft);

  container.free_temp_ctx();
  container.allocate_tensors_on_backend_buffers();
  ggml_backend_buffer_type_t buft = ggml_backend_cpu_buffer_type();
  const size_t align = ggml_backend_buft_get_alignment(buft);
  EXPECT_EQ(container.total_backend_buffer_bytes(),
            (ggml_backend_buft_get_alloc_size(buft, first.tensor) + align - 1) / align * align);
}

TEST(TensorContainerNames, LookupOfMissingName) {
  TensorContainer container(cpu_list(), {});
  EXPECT_FALSE(container.has_tensor_by_name("nope"));
  EXPECT_EQ(error_text([&] { container.get_tensor_by_name("nope"); }), "tensor nope not found");
  const TensorContainer::ArenaUsage usage = container.measure();
  EXPECT_EQ(usage.temp_ctx_bytes, 0u);
  EXPECT_TRUE(usage.ctx_bytes_by_buft.empty());
}

// A standalone allocated tensor on a buffer of the given type.
struct OwnTensor {
  std::unique_ptr<ggml_context, ggml_context_deleter> ctx;
  std::unique_ptr<ggml_backend_buffer, ggml_backend_buffer_deleter> buffer;
  ggml_tensor* tensor = nullptr;
};

OwnTensor own_tensor(ggml_backend_buffer_type_t buft, int64_t n) {
  OwnTensor own;
  ggml_init_params params = {ggml_tensor_overhead() * 2, nullptr, true};
  own.ctx.reset(ggml_init(params));
  own.tensor = ggml_new_tensor_1d(own.ctx.get(), GGML_TYPE_F32, n);
  own.buffer.reset(ggml_backend_alloc_ctx_tensors_from_buft(own.ctx.get(), buft));
  return own;
}

TEST(TensorContainerNames, ImportAndCache) {
  TensorContainer container(cpu_list(), {});

  ggml_init_params params = {ggml_tensor_overhead() * 2, nullptr, true};
  std::unique_ptr<ggml_context, ggml_context_deleter> meta(ggml_init(params));
  ggml_tensor* unallocated = ggml_new_tensor_1d(meta.get(), GGML_TYPE_F32, 4);
  EXPECT_EQ(error_text([&] { container.import_tensor("u", unallocated); }),
            "cannot import an unallocated tensor: u");
  EXPECT_EQ(error_text([&] { container.import_tensor("n", nullptr); }),
            "cannot import an unallocated tensor: n");

  // A buffer over caller memory has its own buffer type, which the list lacks.
  alignas(64) static float host[16];
  std::unique_ptr<ggml_backend_buffer, ggml_backend_buffer_deleter> mapped(
      ggml_backend_cpu_buffer_from_ptr(host, sizeof(host)));
  ggml_tensor* on_mapped = ggml_new_tensor_1d(meta.get(), GGML_TYPE_F32, 4);
  ASSERT_EQ(ggml_backend_tensor_alloc(mapped.get(), on_mapped, host), GGML_STATUS_SUCCESS);
  EXPECT_EQ(error_text([&] { container.import_tensor("m", on_mapped); }),
            "imported tensor uses an unregistered buffer type: m");
  EXPECT_FALSE(container.has_tensor_by_name("m"));

  OwnTensor own = own_tensor(ggml_backend_cpu_buffer_type(), 4);
  ggml_bf_tensor imported = container.import_tensor("i", own.tensor);
  EXPECT_EQ(imported.tensor, own.tensor);
  EXPECT_EQ(imported.buft, ggml_backend_cpu_buffer_type());
  EXPECT_EQ(error_text([&] { container.import_tensor("i", own.tensor); }),
            "duplicate tensor name imported: i");

  container.cache_tensor("c", imported);
  EXPECT_EQ(container.get_tensor_by_name("c").tensor, own.tensor);
  EXPECT_STREQ(own.tensor->name, "");  // cached tensors keep their own ggml name
  EXPECT_EQ(error_text([&] { container.cache_tensor("c", imported); }), "duplicate tensor name cached: c");
}

TEST(TensorContainerAllocation, AllModeGivesOneBufferPerBufferType) {
  const std::vector<ggml_backend_buffer_type_t> extras = cpu_extra_bufts();
  TensorContainer container(cpu_list(), {});
  ggml_bf_tensor a = container.create_tensor_1d("a", GGML_TYPE_F32, 5);
  ggml_bf_tensor b = container.create_tensor_3d("b", GGML_TYPE_F16, 2, 3, 4);
  container.free_temp_ctx();
  EXPECT_EQ(container.measure().temp_ctx_bytes, 0u);
  container.allocate_tensors_on_backend_buffers();
  EXPECT_EQ(container.buffer_count(), 1u);
  ASSERT_NE(a.tensor->data, nullptr);
  ASSERT_NE(b.tensor->data, nullptr);
  EXPECT_GE(container.total_backend_buffer_bytes(), ggml_nbytes(a.tensor) + ggml_nbytes(b.tensor));

  const float values[5] = {1, 2, 3, 4, 5};
  ggml_backend_tensor_set(a.tensor, values, 0, sizeof(values));
  float back[5] = {};
  ggml_backend_tensor_get(a.tensor, back, 0, sizeof(back));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(back[i], values[i]);
}

TEST(TensorContainerAllocation, NamedOnlySkipsViewsAndTensorsWithData) {
  TensorContainer::ArenaSizes sizes;
  sizes.named_only = true;
  TensorContainer container(cpu_list(), sizes);
  ggml_bf_tensor a = container.create_tensor_1d("a", GGML_TYPE_F32, 64);
  ggml_bf_tensor b = container.create_tensor_2d("b", GGML_TYPE_F32, 3, 7);
  ggml_context* ctx = container.get_ctx_of_buffer_type(a.buft).ctx;
  ggml_tensor* view = ggml_view_1d(ctx, a.tensor, 8, 0);
  container.cache_tensor("view_of_a", {view, a.buft});
  ggml_tensor* unnamed = ggml_add(ctx, a.tensor, a.tensor);  // an intermediate: not registered
  OwnTensor own = own_tensor(ggml_backend_cpu_buffer_type(), 4);
  void* own_data = own.tensor->data;
  container.import_tensor("imported", own.tensor);
  container.free_temp_ctx();
  container.allocate_tensors_on_backend_buffers();

  ASSERT_EQ(container.buffer_count(), 1u);
  EXPECT_NE(a.tensor->data, nullptr);
  EXPECT_NE(b.tensor->data, nullptr);
  EXPECT_EQ(view->data, nullptr);     // left to the scheduler (view init)
  EXPECT_EQ(unnamed->data, nullptr);  // left to the scheduler
  EXPECT_EQ(own.tensor->data, own_data);
  EXPECT_NE(own.tensor->buffer, nullptr);

  // Name order within the buffer: "a" first, then "b", each aligned.
  ggml_backend_buffer_type_t buft = ggml_backend_cpu_buffer_type();
  const size_t align = ggml_backend_buft_get_alignment(buft);
  const size_t a_size = (ggml_backend_buft_get_alloc_size(buft, a.tensor) + align - 1) / align * align;
  EXPECT_EQ(static_cast<char*>(b.tensor->data) - static_cast<char*>(a.tensor->data),
            static_cast<ptrdiff_t>(a_size));

  // Nothing left to place: no buffer at all.
  TensorContainer nothing(cpu_list(), sizes);
  OwnTensor other = own_tensor(ggml_backend_cpu_buffer_type(), 4);
  nothing.import_tensor("x", other.tensor);
  nothing.allocate_tensors_on_backend_buffers();
  EXPECT_EQ(nothing.buffer_count(), 0u);
  EXPECT_EQ(nothing.total_backend_buffer_bytes(), 0u);
}

TEST(TensorContainerArenas, SizesComeFromArenaSizes) {
  ggml_backend_buffer_type_t buft = ggml_backend_cpu_buffer_type();
  TensorContainer::ArenaSizes sizes;
  sizes.temp_ctx_bytes = 2 * ggml_tensor_overhead();
  sizes.ctx_bytes_by_buft[buft] = 3 * ggml_tensor_overhead();
  TensorContainer container(cpu_list(), sizes);
  container.create_tensor_1d("a", GGML_TYPE_F32, 1);
  container.create_tensor_1d("b", GGML_TYPE_F32, 1);
  const TensorContainer::ArenaUsage usage = container.measure();
  EXPECT_EQ(usage.temp_ctx_bytes, 2 * ggml_tensor_overhead());
  ASSERT_EQ(usage.ctx_bytes_by_buft.size(), 1u);
  EXPECT_EQ(usage.ctx_bytes_by_buft.at(buft), 2 * ggml_tensor_overhead());
  // The template arena holds two templates only: a third one does not fit.
  prepare_death_test();
  EXPECT_DEATH(container.create_tensor_1d("c", GGML_TYPE_F32, 1), "GGML_ASSERT\\(obj_new\\) failed");
}

TEST(TensorContainerMemstats, LargestTensorsListing) {
  {
    TensorContainer empty(cpu_list(), {});
    testing::internal::CaptureStderr();
    empty.dump_largest_tensors(12);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[memstats]   0 tensors, 0.00 MB total; largest:\n");
  }
  TensorContainer container(cpu_list(), {});
  container.create_tensor_2d("small", GGML_TYPE_F32, 4, 1);           // 16 bytes
  container.create_tensor_2d("big", GGML_TYPE_F32, 512, 1024);        // 2 MiB
  container.create_tensor_4d("mid", GGML_TYPE_F16, 256, 1024, 1, 1);  // 0.5 MiB
  testing::internal::CaptureStderr();
  container.dump_largest_tensors(12);
  const std::string all = testing::internal::GetCapturedStderr();
  EXPECT_EQ(
      all,
      "[memstats]   3 tensors, 2.50 MB total; largest:\n"
      "[memstats]         2.00 MB  NONE         big                                      [512,1024,1,1]\n"
      "[memstats]         0.50 MB  NONE         mid                                      [256,1024,1,1]\n"
      "[memstats]         0.00 MB  NONE         small                                    [4,1,1,1]\n");
  testing::internal::CaptureStderr();
  container.dump_largest_tensors(1);
  const std::string one = testing::internal::GetCapturedStderr();
  EXPECT_EQ(
      one,
      "[memstats]   3 tensors, 2.50 MB total; largest:\n"
      "[memstats]         2.00 MB  NONE         big                                      [512,1024,1,1]\n");
}

// The placement switch is read once per process: each setting runs in a child.
void placement_child(const char* value) {
  if (value != nullptr) {
    setenv("OLVAN_SPEECH_LOG_PLACEMENT", value, 1);
  } else {
    unsetenv("OLVAN_SPEECH_LOG_PLACEMENT");
  }
  kestrix_test::LogCapture capture;
  TensorContainer container(cpu_list(), {});
  container.create_tensor_1d("enc.weight", GGML_TYPE_F16, 8);
  for (const auto& [level, text] : capture.records()) {
    if (level == GGML_LOG_LEVEL_INFO) std::fprintf(stderr, "record{%s}", text.c_str());
  }
  std::fprintf(stderr, "records=%zu\n", capture.records().size());
  std::exit(0);
}

TEST(TensorContainerPlacementLog, SwitchOnlyWhenValueBeginsWithOne) {
  prepare_death_test();
  const std::string record =
      "tensor_container.cpp:[0-9]+:<m_create_tensor> placement: enc.weight {38} type=f16     -> CPU\n";
  EXPECT_EXIT(placement_child("1"), testing::ExitedWithCode(0), "record\\{.*" + record + "\\}records=1");
  EXPECT_EXIT(placement_child("10"), testing::ExitedWithCode(0), "records=1");
  EXPECT_EXIT(placement_child("0"), testing::ExitedWithCode(0), "^records=0\n$");
  EXPECT_EXIT(placement_child(""), testing::ExitedWithCode(0), "^records=0\n$");
  EXPECT_EXIT(placement_child("yes"), testing::ExitedWithCode(0), "^records=0\n$");
  EXPECT_EXIT(placement_child(nullptr), testing::ExitedWithCode(0), "^records=0\n$");
}

}  // namespace
