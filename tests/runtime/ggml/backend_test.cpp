#include "runtime/ggml/backend.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "ggml-cpu.h"
#include "runtime/ggml/log_capture.h"
#include "runtime/ggml/logging.h"

namespace {

using ggml_runtime::BackendManager;
using ggml_runtime::Params;
using kestrix_test::LogCapture;

bool has_gpu_device() {
  for (size_t i = 0; i < ggml_backend_dev_count(); ++i) {
    const auto type = ggml_backend_dev_type(ggml_backend_dev_get(i));
    if (type == GGML_BACKEND_DEVICE_TYPE_GPU || type == GGML_BACKEND_DEVICE_TYPE_IGPU) return true;
  }
  return false;
}

std::string error_of(const Params& params) {
  try {
    BackendManager manager(params);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

TEST(BackendManager, InstallsTheLogSinkOncePerProcess) {
  { BackendManager first(Params{}); }
  ggml_log_callback callback = nullptr;
  void* user_data = nullptr;
  ggml_log_get(&callback, &user_data);
  EXPECT_EQ(callback, &olvan_speech::common::model_log_callback);
  EXPECT_TRUE(olvan_speech::common::detail::model_logging_configured.load());

  // Once installed, later managers leave whatever callback is set alone.
  LogCapture capture;
  BackendManager second(Params{});
  ggml_log_get(&callback, &user_data);
  EXPECT_NE(callback, &olvan_speech::common::model_log_callback);
  EXPECT_TRUE(capture.contains("Using CPU backend\n"));
}

TEST(BackendManager, CpuOnlyOrderIsAcceleratorsThenCpu) {
  LogCapture capture;
  BackendManager manager(Params{});
  EXPECT_EQ(manager.gpu_backend, nullptr);

  auto backends = manager.get_backends();
  ASSERT_FALSE(backends.empty());
  EXPECT_EQ(backends.back(), manager.owned_backends.back().get());
  EXPECT_TRUE(ggml_backend_is_cpu(backends.back()));
  for (size_t i = 0; i + 1 < backends.size(); ++i) {
    EXPECT_EQ(ggml_backend_dev_type(ggml_backend_get_device(backends[i])), GGML_BACKEND_DEVICE_TYPE_ACCEL)
        << ggml_backend_name(backends[i]);
  }
  // This project builds ggml with its BLAS backend beside the CPU on Linux.
  if (ggml_backend_reg_by_name("BLAS") != nullptr) {
    ASSERT_EQ(backends.size(), 2u);
    EXPECT_STREQ(ggml_backend_name(backends[0]), "BLAS");
  }

  auto bufts = manager.get_buft_list();
  ASSERT_FALSE(bufts.empty());
  EXPECT_EQ(bufts.back().second, ggml_backend_cpu_buffer_type());
  for (const auto& entry : bufts) {
    EXPECT_EQ(ggml_backend_dev_type(entry.first), GGML_BACKEND_DEVICE_TYPE_CPU);
    EXPECT_TRUE(capture.contains(std::string("Buffer type: ") + ggml_backend_buft_name(entry.second) + "\n"));
  }
  EXPECT_TRUE(capture.contains(format("Found %zu devices.\n", ggml_backend_dev_count())));
  EXPECT_TRUE(capture.contains(":<init_backends> Using CPU backend\n"));
  EXPECT_FALSE(capture.contains("Device 0:"));
}

TEST(BackendManager, MissingGpuGivesTheNotFoundText) {
  if (has_gpu_device()) GTEST_SKIP() << "this machine has a GPU device";
  struct Case {
    int32_t index;
    const char* text;
  };
  const Case cases[] = {
      {0, "use_gpu=true but no matching GPU device found (gpu_device_idx=0)"},
      {1, "use_gpu=true but no matching GPU device found (gpu_device_idx=1)"},
      {-1, "use_gpu=true but no matching GPU device found (gpu_device_idx=-1)"},
  };
  for (const Case& c : cases) {
    LogCapture capture;
    EXPECT_EQ(error_of(Params{true, c.index, ""}), c.text);
    // The walk names every device it passed.
    for (size_t i = 0; i < ggml_backend_dev_count(); ++i) {
      EXPECT_TRUE(capture.contains(
          format("Device %d: %s\n", static_cast<int>(i), ggml_backend_dev_name(ggml_backend_dev_get(i)))));
    }
  }
}

TEST(BackendManager, BorrowedBackendMustBeAGpu) {
  ggml_backend_t cpu = ggml_backend_cpu_init();
  ASSERT_NE(cpu, nullptr);
  for (bool use_gpu : {false, true}) {
    try {
      BackendManager manager(Params{use_gpu, 0, ""}, cpu);
      ADD_FAILURE() << "a CPU backend was accepted as the GPU";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "borrowed GPU backend is not a GPU device");
    }
  }
  // The borrowed backend is still the caller's and still works.
  EXPECT_STREQ(ggml_backend_name(cpu), "CPU");
  ggml_backend_free(cpu);
}

}  // namespace
