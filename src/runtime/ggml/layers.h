// The standard layers every network of the system is built from: matrix
// layers (Linear, Conv1D), 2-D convolutions, normalisations, ReLU and the
// sequence container.
//
// Each leaf keeps its dotted name prefix and names its stored tensors by it:
// prefix + ".weight" and prefix + ".bias" (the batch normalisation adds
// ".running_mean", ".running_var" and the run-time ".eps"). These names are
// the keys in the session's weight container and the tensor names the model
// file must hold.
//
// Where operations are created: Linear, Conv2D, Conv2DDW and LayerNorm put
// their operations in the run container's context of their weight's buffer
// type and label their output with it; Conv1D, BatchNorm1d and ReLU use their
// input's buffer type.
//
// Weight and activation types: a combination for which ggml's CPU backend has
// no kernel is refused with std::runtime_error before anything is computed:
// weight types when the network is set up (define_tensors), activation types
// when the graph is built. The cpu_supports_* functions below state the rules.
// Activations may be views: where a kernel needs adjacent elements (matrix
// products, im2col, normalisations, ReLU), a non-contiguous input is copied
// first.
//
// Threading: a layer is called by its session only, under the backend
// manager's mutex (set-up and graph builds). A layer holds its names, sizes
// and tensor handles, no lock; its tensors belong to the session's containers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ggml.h"
#include "runtime/ggml/module.h"
#include "runtime/ggml/tensor_container.h"

namespace ggml_runtime {

class Session;

// Leaf tensor suffixes.
inline constexpr const char* kWeightSuffix = ".weight";
inline constexpr const char* kBiasSuffix = ".bias";
inline constexpr const char* kRunningMeanSuffix = ".running_mean";
inline constexpr const char* kRunningVarSuffix = ".running_var";
inline constexpr const char* kEpsSuffix = ".eps";

// Whether ggml's CPU backend multiplies a weight (src0) of type `weight` with
// activations (src1) of type `input`: the weight type needs a dot product,
// and the activations must be F32 (converted to the dot product's type) or
// already that type.
bool cpu_supports_mul_mat(ggml_type weight, ggml_type input);
// Whether ggml's CPU backend runs an im2col that writes `dst` for a kernel of
// type `kernel` over an image of type `input` (F32 output from F32 images;
// F16 output from an F16 kernel over F16 or F32 images).
bool cpu_supports_im2col(ggml_type kernel, ggml_type input, ggml_type dst);

// Fully connected layer: y = W x (+ b).
class Linear : public Module {
 public:
  // Sizes must be positive (std::invalid_argument).
  Linear(const std::string& name, int in_features, int out_features, bool has_bias);
  ~Linear() override = default;

  // Declares the weight in its stored type, [in_features, out_features, 1, 1],
  // and the bias in its stored type, [out_features, 1, 1, 1].
  void define_tensors(Session* session) override;
  // x: [in_features, n, ...] -> y: [out_features, n, ...] (outer extents kept).
  TensorBag build_graph(Session* session, TensorBag inputs, TensorContainer* run_container) override;
  // Loads the weight, then requires an F32 bias and loads it.
  void set_data(Session* session) override;

  std::string name;
  std::string weight_name;
  std::string bias_name;
  int32_t in_features;
  int32_t out_features;
  bool has_bias;
  ggml_bf_tensor weight;
  ggml_bf_tensor bias;
};

// One-dimensional convolution in three forms:
//  - depthwise (`depthwise` set): one F16 kernel [kernel, 1, in_channels] per
//    channel, bias of in_channels entries;
//  - pointwise (kernel 1, stride 1, padding 0, dilation 1, not depthwise): a
//    matrix product with the weight [in_channels, out_channels] in its stored
//    type;
//  - regular (otherwise, kernel 1 with another stride, padding or dilation
//    included): F16 kernel [kernel, in_channels, out_channels].
class Conv1D : public Module {
 public:
  // Channels, kernel, stride and dilation must be positive and padding not
  // negative (std::invalid_argument).
  Conv1D(const std::string& name, int in_channels, int out_channels, int kernel, int stride, int padding,
         int dilation, bool has_bias, bool depthwise);
  ~Conv1D() override = default;

  void define_tensors(Session* session) override;
  // x: [time, in_channels, batch] -> y: [time', out_channels, batch] with
  // time' = (time + 2 padding - dilation (kernel - 1) - 1) / stride + 1
  // (depthwise: in_channels channels out).
  TensorBag build_graph(Session* session, TensorBag inputs, TensorContainer* run_container) override;
  void set_data(Session* session) override;

  // The pointwise form is taken.
  bool is_pointwise() const;

  std::string name;
  std::string weight_name;
  std::string bias_name;
  int32_t in_channels;
  int32_t out_channels;
  int32_t kernel;
  int32_t stride;
  int32_t padding;
  int32_t dilation;
  bool has_bias;
  bool depthwise;
  ggml_bf_tensor weight;
  ggml_bf_tensor bias;
};

// Square 2-D convolution with bias; kernel, stride, padding and dilation apply
// to both spatial dimensions. Weight [kernel, kernel, in_channels,
// out_channels] in its stored type (F32, F16 or BF16; a BF16 kernel is
// convolved as its F32 copy and the output rounded through BF16; other types
// are refused), bias F32 [1, 1, out_channels, 1].
class Conv2D : public Module {
 public:
  Conv2D(const std::string& name, int in_channels, int out_channels, int kernel, int stride, int padding,
         int dilation);
  ~Conv2D() override = default;

  void define_tensors(Session* session) override;
  // x: [width, height, in_channels, batch] -> y: [width', height', out_channels, batch].
  TensorBag build_graph(Session* session, TensorBag inputs, TensorContainer* run_container) override;
  void set_data(Session* session) override;

  std::string name;
  std::string weight_name;
  std::string bias_name;
  int32_t in_channels;
  int32_t out_channels;
  int32_t kernel;
  int32_t stride;
  int32_t padding;
  int32_t dilation;
  ggml_bf_tensor weight;
  ggml_bf_tensor bias;
};

// Depthwise square 2-D convolution with bias: one kernel per channel, weight
// [kernel, kernel, 1, out_channels] (F16 only: ggml's CPU backend has no
// kernel for F32 or BF16 ones), bias F32 [1, 1, out_channels, 1].
// in_channels must equal out_channels.
class Conv2DDW : public Module {
 public:
  Conv2DDW(const std::string& name, int in_channels, int out_channels, int kernel, int stride, int padding,
           int dilation);
  ~Conv2DDW() override = default;

  void define_tensors(Session* session) override;
  // x: [width, height, channels, batch] -> y: [width', height', channels, batch].
  TensorBag build_graph(Session* session, TensorBag inputs, TensorContainer* run_container) override;
  void set_data(Session* session) override;

  std::string name;
  std::string weight_name;
  std::string bias_name;
  int32_t in_channels;
  int32_t out_channels;
  int32_t kernel;
  int32_t stride;
  int32_t padding;
  int32_t dilation;
  ggml_bf_tensor weight;
  ggml_bf_tensor bias;
};

// Rectified linear unit, in place on its input. Stores nothing.
class ReLU : public Module {
 public:
  explicit ReLU(const std::string& name);
  ~ReLU() override = default;

  void define_tensors(Session* session) override;
  // x: any extents -> y: the same extents.
  TensorBag build_graph(Session* session, TensorBag inputs, TensorContainer* run_container) override;
  void set_data(Session* session) override;

  std::string name;
};

// Runs its children one after the other: each child gets its predecessor's
// whole output bag, the first child the input bag; the result is the last
// child's bag (an empty bag without children). Owns the children: the
// creator appends them to `modules` in execution order, and the destructor
// deletes them first to last.
class SequenceModule : public Module {
 public:
  explicit SequenceModule(const std::string& name);
  ~SequenceModule() override;
  SequenceModule(const SequenceModule&) = delete;
  SequenceModule& operator=(const SequenceModule&) = delete;

  void define_tensors(Session* session) override;
  TensorBag build_graph(Session* session, TensorBag inputs, TensorContainer* run_container) override;
  void set_data(Session* session) override;

  std::vector<Module*> modules;
  std::string name;
};

// Layer normalisation along the innermost extent (epsilon 1e-5), then scale
// by the weight [shape[0], shape[1], shape[2], 1] and shift by the bias
// [shape[0], 1, 1, 1], both F32 and broadcast by ggml. shape[3] is not used.
class LayerNorm : public Module {
 public:
  // shape[0..2] must be positive (std::invalid_argument).
  LayerNorm(const std::string& name, const int64_t (&shape)[4]);
  ~LayerNorm() override = default;

  void define_tensors(Session* session) override;
  // x: [shape[0], ...] F32 -> y: the same extents.
  TensorBag build_graph(Session* session, TensorBag inputs, TensorContainer* run_container) override;
  // Requires both stored tensors to be F32, then loads the weight and the bias.
  void set_data(Session* session) override;

  std::string name;
  std::string weight_name;
  std::string bias_name;
  int64_t shape[4];
};

// Batch normalisation in inference form with stored statistics:
// y = (x - running_mean) / sqrt(running_var + eps) * weight + bias, one value
// per channel. eps is 1e-5, written at set-up (never read from the file).
// Only the affine form exists: a layer built with `affine` false fails when
// its tensors are declared.
class BatchNorm1d : public Module {
 public:
  // num_features must be positive (std::invalid_argument).
  BatchNorm1d(const std::string& name, int num_features, bool affine);
  ~BatchNorm1d() override = default;

  // Declares weight, bias, running mean and running variance, F32
  // [1, num_features] each, and the one-element F32 eps.
  void define_tensors(Session* session) override;
  // x: [time, num_features, batch] -> y: the same extents.
  TensorBag build_graph(Session* session, TensorBag inputs, TensorContainer* run_container) override;
  void set_data(Session* session) override;

  static constexpr float kEps = 1e-5f;

  std::string name;
  std::string weight_name;
  std::string bias_name;
  std::string running_mean_name;
  std::string running_var_name;
  std::string eps_name;
  int32_t num_features;
  bool affine;
};

}  // namespace ggml_runtime
