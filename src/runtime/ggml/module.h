// The network building block that a session declares, fills and wires.
//
// Module names: every module is built with a dotted name prefix and names the
// tensors it stores by it; a composite names its children by appending "."
// and the child's role or index; a leaf's tensors are the prefix plus
// ".weight" and ".bias".
//
// Threading: a module is called by its session only, under the backend
// manager's mutex (set-up and graph builds); it holds no data of its own here.
#pragma once

#include "runtime/ggml/tensor_container.h"

namespace ggml_runtime {

class Session;

class Module {
 public:
  // A composite deletes its child modules through this.
  virtual ~Module() = default;

  // Declares every tensor the module stores, by name, in the session's
  // weight container (session->model_container->create_tensor_Nd).
  virtual void define_tensors(Session* session) = 0;

  // Adds the module's operations for one graph: reads its inputs from the
  // bag, looks its weights up by name in session->model_container, creates
  // each operation in run_container->get_ctx_of_buffer_type(<chosen buffer
  // type>) and returns its outputs, each with that buffer type.
  virtual TensorBag build_graph(Session* session, TensorBag inputs, TensorContainer* run_container) = 0;

  // Fills the declared tensors: stored weights through session->load_weight,
  // computed values with ggml_backend_tensor_set.
  virtual void set_data(Session* session) = 0;
};

}  // namespace ggml_runtime
