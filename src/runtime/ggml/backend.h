// The ggml backends of one loaded model and the buffer types its tensors may
// be placed on.
//
// Threading: built and destroyed on one thread; afterwards nothing here
// changes, so the getters are unlocked reads. `mutex` is not locked by the
// manager itself: every session operation that touches the backends holds it
// for its whole duration, which serialises all sessions of one model.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "ggml-backend.h"
#include "ggml-cpp.h"

namespace ggml_runtime {

struct Params {
  bool use_gpu = false;          // use a GPU device
  int32_t gpu_device_idx = 0;    // which GPU, counting GPU/IGPU devices only, from 0
  const char* pe_bin_path = "";  // raw F32 positional table used when the model lacks it (borrowed)
};

class BackendManager {
 public:
  using BufferTypeList = std::vector<std::pair<ggml_backend_dev_t, ggml_backend_buffer_type_t>>;

  // Installs the system's log sink into ggml (once per process), then chooses
  // the backends: the requested GPU, every accelerator device, the CPU.
  explicit BackendManager(Params params);
  // Uses a GPU backend owned by the caller (never freed here); does not touch
  // the log sink.
  BackendManager(Params params, ggml_backend_t borrowed_gpu);
  ~BackendManager();

  BackendManager(const BackendManager&) = delete;
  BackendManager& operator=(const BackendManager&) = delete;

  // GPU first, then accelerators, then the CPU: the scheduler's priority order.
  std::vector<ggml_backend_t> get_backends() const;
  BufferTypeList get_buft_list() const;

  Params params;
  ggml_backend_t borrowed_gpu = nullptr;
  std::vector<std::unique_ptr<ggml_backend, ggml_backend_deleter>> owned_backends;
  ggml_backend_t gpu_backend = nullptr;  // null when running on the CPU only
  BufferTypeList buft_list;
  std::mutex mutex;

 private:
  void init_backends();
};

}  // namespace ggml_runtime
