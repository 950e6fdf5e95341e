// Named tensor storage on backend buffers, and the ordered tensor list that
// flows into and out of graph building.
//
// Threading: nothing here locks. A container is used by one thread at a time;
// sessions build, allocate and fill their containers while they hold the
// backend manager's mutex. The placement switch is read once per process with
// thread-safe one-time initialisation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ggml-backend.h"
#include "ggml-cpp.h"
#include "ggml.h"

namespace ggml_runtime {

class Session;

// A ggml tensor together with the buffer type it lives on (or will live on
// once allocated). Owns nothing.
struct ggml_bf_tensor {
  ggml_tensor* tensor = nullptr;
  ggml_backend_buffer_type_t buft = nullptr;
};

// A no-alloc ggml context together with the buffer type of its tensors. The
// context belongs to a TensorContainer; this only refers to it.
struct ggml_bf_context {
  ggml_context* ctx = nullptr;
  ggml_backend_buffer_type_t buft = nullptr;
};

// Ordered tensors: entry 0 is the main activation, later entries are side
// inputs by position (each module documents its positions). A plain value.
class TensorBag {
 public:
  TensorBag() = default;

  void add_tensor(ggml_bf_tensor tensor);
  // Entry `index`; an index at or beyond the count stops the process.
  ggml_bf_tensor get_tensor(size_t index) const;
  size_t tensor_count() const { return tensors.size(); }
  // Replaces entry 0, or appends when the bag is empty.
  void set_first_tensor(ggml_bf_tensor tensor);

  std::vector<ggml_bf_tensor> tensors;
};

// Named tensors: one metadata-only context per buffer type, the backend
// buffers allocated for them and a registry of unique names.
//
// Calling order: construct, create tensors (a run's container also receives
// the graph's operations and cached tensors), free_temp_ctx, then
// allocate_tensors_on_backend_buffers once. Lookups are valid at any time.
class TensorContainer {
 public:
  using BufferTypeList = std::vector<std::pair<ggml_backend_dev_t, ggml_backend_buffer_type_t>>;

  struct ArenaSizes {
    size_t temp_ctx_bytes = 64u << 20;     // bytes, arena of the template context
    size_t default_ctx_bytes = 64u << 20;  // bytes, arena of a buffer type's context without an entry below
    std::map<ggml_backend_buffer_type_t, size_t> ctx_bytes_by_buft;  // bytes, arena per buffer type
    bool named_only = false;  // allocate only registered tensors without data (a cached graph's container)
  };

  struct ArenaUsage {
    size_t temp_ctx_bytes = 0;                                       // bytes used in the template context
    std::map<ggml_backend_buffer_type_t, size_t> ctx_bytes_by_buft;  // bytes used per buffer type's context
  };

  TensorContainer(BufferTypeList buft_list, ArenaSizes arena_sizes);
  ~TensorContainer();
  TensorContainer(const TensorContainer&) = delete;
  TensorContainer& operator=(const TensorContainer&) = delete;

  // Declares a tensor (extents innermost first) on the buffer type chosen by
  // the placement rule. A registered name throws "duplicate tensor name
  // declared: <name>" before anything is created.
  ggml_bf_tensor create_tensor_1d(std::string name, ggml_type type, int64_t ne0);
  ggml_bf_tensor create_tensor_2d(std::string name, ggml_type type, int64_t ne0, int64_t ne1);
  ggml_bf_tensor create_tensor_3d(std::string name, ggml_type type, int64_t ne0, int64_t ne1, int64_t ne2);
  ggml_bf_tensor create_tensor_4d(std::string name, ggml_type type, int64_t ne0, int64_t ne1, int64_t ne2,
                                  int64_t ne3);

  // Registered entry; "tensor <name> not found" (std::runtime_error) otherwise.
  ggml_bf_tensor get_tensor_by_name(const std::string& name) const;
  bool has_tensor_by_name(const std::string& name) const;

  // The buffer type's context, created on first request.
  ggml_bf_context get_ctx_of_buffer_type(ggml_backend_buffer_type_t buft);

  // Registers an existing tensor under `name`; it keeps its own ggml name.
  void cache_tensor(std::string name, ggml_bf_tensor tensor);
  // Registers a tensor that already has backend storage on a listed buffer type.
  ggml_bf_tensor import_tensor(std::string name, ggml_tensor* tensor);

  // Gives backend memory to the container's tensors, in the mode that
  // ArenaSizes::named_only selects.
  void allocate_tensors_on_backend_buffers();

  ggml_context* get_temp_ctx();
  void free_temp_ctx();

  ArenaUsage measure() const;
  size_t total_backend_buffer_bytes() const;
  // "[memstats]" listing of the n largest tensors on standard error.
  void dump_largest_tensors(size_t n) const;

  const ArenaSizes& arena_sizes() const { return arena_sizes_; }
  const BufferTypeList& buffer_types() const { return buft_list_; }
  size_t buffer_count() const { return buffers_.size(); }
  const std::map<std::string, ggml_bf_tensor>& tensors() const { return tensors_by_name_; }

 private:
  ggml_bf_tensor m_create_tensor(ggml_tensor* templ, std::string& name);
  void allocate_all();
  void allocate_named_only();

  ArenaSizes arena_sizes_;
  std::unique_ptr<ggml_context, ggml_context_deleter> temp_ctx_;
  BufferTypeList buft_list_;
  std::vector<std::unique_ptr<ggml_context, ggml_context_deleter>> ctxs_;
  std::map<ggml_backend_buffer_type_t, ggml_bf_context> ctx_by_buft_;
  std::vector<std::unique_ptr<ggml_backend_buffer, ggml_backend_buffer_deleter>> buffers_;
  std::map<std::string, ggml_bf_tensor> tensors_by_name_;
};

}  // namespace ggml_runtime
