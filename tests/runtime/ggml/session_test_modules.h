// Test-only modules and helpers for the session tests: modules whose three
// operations are given as functions, host inputs and outputs, GGUF fixtures.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ggml.h"
#include "runtime/ggml/backend.h"
#include "runtime/ggml/module.h"
#include "runtime/ggml/session.h"
#include "runtime/ggml/tensor_container.h"

namespace kestrix_test {

// A module whose operations are plain functions; counts its graph builds
// (a session calls build_graph twice per built graph: measuring and real pass).
class FnModule : public ggml_runtime::Module {
 public:
  using DefineFn = std::function<void(ggml_runtime::Session*)>;
  using BuildFn = std::function<ggml_runtime::TensorBag(ggml_runtime::Session*, ggml_runtime::TensorBag&,
                                                        ggml_runtime::TensorContainer*)>;

  void define_tensors(ggml_runtime::Session* session) override {
    if (define) define(session);
  }
  ggml_runtime::TensorBag build_graph(ggml_runtime::Session* session, ggml_runtime::TensorBag inputs,
                                      ggml_runtime::TensorContainer* run_container) override {
    ++build_calls;
    return build(session, inputs, run_container);
  }
  void set_data(ggml_runtime::Session* session) override {
    if (fill) fill(session);
  }

  DefineFn define;
  BuildFn build;
  DefineFn fill;
  int build_calls = 0;
};

// y = x + c for a scalar c: one ADD node on the input's buffer type.
// x: [n, ...] -> y: [n, ...]
inline FnModule::BuildFn add_scalar_graph(float c) {
  return [c](ggml_runtime::Session*, ggml_runtime::TensorBag& in, ggml_runtime::TensorContainer* rc) {
    ggml_runtime::ggml_bf_tensor x = in.get_tensor(0);
    ggml_context* ctx = rc->get_ctx_of_buffer_type(x.buft).ctx;
    ggml_tensor* y = ggml_scale_bias(ctx, x.tensor, 1.0f, c);
    ggml_set_name(y, "y");
    ggml_runtime::TensorBag out;
    out.add_tensor({y, x.buft});
    return out;
  };
}

inline std::unique_ptr<ggml_runtime::BackendManager> cpu_manager() {
  return std::make_unique<ggml_runtime::BackendManager>(ggml_runtime::Params{});
}

inline ggml_runtime::Session::Input host_input(const std::string& name, const float* data,
                                               std::vector<int64_t> shape) {
  ggml_runtime::Session::Input in;
  in.name = name;
  in.dtype = GGML_TYPE_F32;
  in.data = data;
  in.shape = std::move(shape);
  return in;
}

inline ggml_runtime::Session::Output host_output(int32_t index, float* data, size_t count) {
  ggml_runtime::Session::Output out;
  out.index = index;
  out.data = data;
  out.size = count * sizeof(float);
  return out;
}

}  // namespace kestrix_test
