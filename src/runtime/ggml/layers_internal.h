// Helpers shared by the layer sources; not part of the runtime's interface.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "ggml.h"
#include "runtime/ggml/loader.h"
#include "runtime/ggml/session.h"
#include "runtime/ggml/tensor_container.h"

namespace ggml_runtime {
namespace layers_detail {

// Constructor checks: "<Class>(<prefix>): <field> must be positive, got <value>".
inline void require_positive(const char* layer, const std::string& name, const char* field, int64_t value) {
  if (value <= 0) {
    throw std::invalid_argument(std::string(layer) + "(" + name + "): " + field + " must be positive, got " +
                                std::to_string(value));
  }
}
inline void require_not_negative(const char* layer, const std::string& name, const char* field,
                                 int64_t value) {
  if (value < 0) {
    throw std::invalid_argument(std::string(layer) + "(" + name + "): " + field +
                                " must not be negative, got " + std::to_string(value));
  }
}

// The session's model reader, which declaring stored weights needs.
inline GGUFLoader* require_loader(Session* session, const char* layer, const std::string& name) {
  if (session->loader == nullptr) {
    throw std::logic_error(std::string(layer) + "(" + name + "): the session has no model loader");
  }
  return session->loader;
}

// Entry 0 of a bag: the activation a layer works on.
inline ggml_bf_tensor activation(const TensorBag& inputs) { return inputs.get_tensor(0); }

// The context of the run container for a buffer type.
inline ggml_context* ctx_for(TensorContainer* run_container, ggml_backend_buffer_type_t buft) {
  return run_container->get_ctx_of_buffer_type(buft).ctx;
}

// Names a graph node "<prefix>.<role>" (ggml keeps the first 63 bytes).
inline ggml_tensor* named(ggml_tensor* tensor, const std::string& prefix, const char* role) {
  ggml_format_name(tensor, "%s.%s", prefix.c_str(), role);
  return tensor;
}

// Refuses a stored matrix-product weight that ggml's CPU backend cannot
// multiply, or whose rows (of `row_length` elements) do not fill whole
// blocks of its type.
void require_matmul_weight(const std::string& layer, const std::string& weight_name, ggml_type type,
                           int64_t row_length, const char* row_field);

}  // namespace layers_detail
}  // namespace ggml_runtime
