#include "runtime/ggml/backend.h"

#include <stdexcept>
#include <string>

#include "ggml-cpu.h"
#include "runtime/ggml/logging.h"

namespace ggml_runtime {

namespace {

bool is_gpu_device(ggml_backend_dev_t device) {
  const enum ggml_backend_dev_type type = ggml_backend_dev_type(device);
  return type == GGML_BACKEND_DEVICE_TYPE_GPU || type == GGML_BACKEND_DEVICE_TYPE_IGPU;
}

#define BACKEND_LOG(...) log_internal(GGML_LOG_LEVEL_INFO, __FILE__, __LINE__, "init_backends", __VA_ARGS__)

}  // namespace

BackendManager::BackendManager(Params params_in) {
  olvan_speech::common::install_model_log_callback();
  params = params_in;
  init_backends();
}

BackendManager::BackendManager(Params params_in, ggml_backend_t borrowed) {
  params = params_in;
  borrowed_gpu = borrowed;
  init_backends();
}

BackendManager::~BackendManager() {
  buft_list.clear();
  // Last created first: the CPU backend goes before the accelerators and the GPU.
  while (!owned_backends.empty()) owned_backends.pop_back();
}

void BackendManager::init_backends() {
  try {
    ggml_time_init();
    {
      ggml_init_params no_params = {0, nullptr, false};
      ggml_free(ggml_init(no_params));
    }

    const size_t n_devices = ggml_backend_dev_count();
    BACKEND_LOG("Found %zu devices.\n", n_devices);

    if (borrowed_gpu != nullptr) {
      ggml_backend_dev_t device = ggml_backend_get_device(borrowed_gpu);
      if (device == nullptr || !is_gpu_device(device)) {
        throw std::runtime_error("borrowed GPU backend is not a GPU device");
      }
      if (ggml_backend_buffer_type_t buft = ggml_backend_dev_buffer_type(device)) {
        buft_list.emplace_back(device, buft);
      }
      gpu_backend = borrowed_gpu;
      BACKEND_LOG("Using borrowed GPU backend: %s\n", ggml_backend_name(borrowed_gpu));
    } else if (params.use_gpu) {
      ggml_backend_dev_t chosen = nullptr;
      int32_t k = 0;
      for (size_t i = 0; i < n_devices; ++i) {
        ggml_backend_dev_t device = ggml_backend_dev_get(i);
        BACKEND_LOG("Device %d: %s\n", static_cast<int>(i), ggml_backend_dev_name(device));
        if (!is_gpu_device(device)) continue;
        if (k == params.gpu_device_idx) {
          chosen = device;
          if (ggml_backend_buffer_type_t buft = ggml_backend_dev_buffer_type(device)) {
            buft_list.emplace_back(device, buft);
          }
        }
        if (k >= params.gpu_device_idx) break;
        ++k;
      }
      if (chosen == nullptr) {
        throw std::runtime_error("use_gpu=true but no matching GPU device found (gpu_device_idx=" +
                                 std::to_string(params.gpu_device_idx) + ")");
      }
      BACKEND_LOG("Using GPU backend: %s\n", ggml_backend_dev_name(chosen));
      ggml_backend_t backend = ggml_backend_dev_init(chosen, nullptr);
      if (backend == nullptr) {
        throw std::runtime_error(std::string("use_gpu=true but ggml_backend_dev_init failed for ") +
                                 ggml_backend_dev_name(chosen));
      }
      gpu_backend = backend;
      owned_backends.emplace_back(backend);
    }

    for (size_t i = 0; i < ggml_backend_dev_count(); ++i) {
      ggml_backend_dev_t device = ggml_backend_dev_get(i);
      if (ggml_backend_dev_type(device) != GGML_BACKEND_DEVICE_TYPE_ACCEL) continue;
      BACKEND_LOG("Using %s backend\n", ggml_backend_dev_name(device));
      ggml_backend_t backend = ggml_backend_dev_init(device, nullptr);
      if (backend == nullptr) {
        BACKEND_LOG("failed to initialize %s backend\n", ggml_backend_dev_name(device));
        continue;
      }
      owned_backends.emplace_back(backend);
    }

    ggml_backend_t cpu = ggml_backend_init_by_type(GGML_BACKEND_DEVICE_TYPE_CPU, nullptr);
    if (cpu == nullptr) throw std::runtime_error("failed to initialize CPU backend");
    BACKEND_LOG("Using CPU backend\n");
    owned_backends.emplace_back(cpu);

    ggml_backend_dev_t cpu_device = ggml_backend_dev_by_type(GGML_BACKEND_DEVICE_TYPE_CPU);
    ggml_backend_reg_t cpu_reg = ggml_backend_dev_backend_reg(cpu_device);
    using get_extra_bufts_t = ggml_backend_buffer_type_t* (*)(ggml_backend_dev_t);
    auto get_extra_bufts = reinterpret_cast<get_extra_bufts_t>(
        ggml_backend_reg_get_proc_address(cpu_reg, "ggml_backend_dev_get_extra_bufts"));
    if (get_extra_bufts != nullptr) {
      if (ggml_backend_buffer_type_t* extra = get_extra_bufts(cpu_device)) {
        for (; *extra != nullptr; ++extra) buft_list.emplace_back(cpu_device, *extra);
      }
    }
    buft_list.emplace_back(cpu_device, ggml_backend_cpu_buffer_type());

    for (const auto& entry : buft_list) {
      BACKEND_LOG("Buffer type: %s\n", ggml_backend_buft_name(entry.second));
    }
  } catch (...) {
    buft_list.clear();
    while (!owned_backends.empty()) owned_backends.pop_back();
    gpu_backend = nullptr;
    throw;
  }
}

std::vector<ggml_backend_t> BackendManager::get_backends() const {
  std::vector<ggml_backend_t> backends;
  if (borrowed_gpu != nullptr) backends.push_back(borrowed_gpu);
  for (const auto& backend : owned_backends) backends.push_back(backend.get());
  return backends;
}

BackendManager::BufferTypeList BackendManager::get_buft_list() const { return buft_list; }

}  // namespace ggml_runtime
