// 2-D convolutions and the normalisation layers.
#include <stdexcept>
#include <string>

#include "runtime/ggml/layers.h"
#include "runtime/ggml/layers_internal.h"
#include "runtime/ggml/session.h"

namespace ggml_runtime {

using layers_detail::activation;
using layers_detail::ctx_for;
using layers_detail::named;
using layers_detail::require_loader;
using layers_detail::require_not_negative;
using layers_detail::require_positive;

namespace {

void check_conv2d_sizes(const char* layer, const std::string& name, int in_channels, int out_channels,
                        int kernel, int stride, int padding, int dilation) {
  require_positive(layer, name, "in_channels", in_channels);
  require_positive(layer, name, "out_channels", out_channels);
  require_positive(layer, name, "kernel", kernel);
  require_positive(layer, name, "stride", stride);
  require_not_negative(layer, name, "padding", padding);
  require_positive(layer, name, "dilation", dilation);
}

// The type Conv2D convolves a stored kernel type in: BF16 kernels as F32.
ggml_type conv2d_kernel_type(ggml_type stored) { return stored == GGML_TYPE_BF16 ? GGML_TYPE_F32 : stored; }

// The stored type of a 2-D convolution weight: F32, F16 or BF16, and of those
// only what ggml's CPU backend can convolve in this layer's graph.
ggml_type conv2d_weight_type(Session* session, const char* layer, const std::string& name,
                             const std::string& weight_name, bool depthwise) {
  const ggml_type type = require_loader(session, layer, name)->get_tensor_type(weight_name);
  if (type != GGML_TYPE_F32 && type != GGML_TYPE_F16 && type != GGML_TYPE_BF16) {
    throw std::runtime_error(std::string(layer) + " requires F16, BF16, or F32 weights: " + weight_name);
  }
  // Conv2D's im2col writes the kernel's type and multiplies it with the
  // kernel. There is no BF16 im2col, so a BF16 kernel is widened to F32 in the
  // graph (exactly) and its output rounded back through BF16 below.
  // Conv2DDW's im2col writes F16 and needs an F16 kernel, and its product
  // takes the F16 columns as activations.
  const ggml_type kernel = conv2d_kernel_type(type);
  const bool runs =
      depthwise ? cpu_supports_im2col(type, GGML_TYPE_F32, GGML_TYPE_F16) &&
                      cpu_supports_mul_mat(type, GGML_TYPE_F16)
                : cpu_supports_im2col(kernel, GGML_TYPE_F32, kernel) && cpu_supports_mul_mat(kernel, kernel);
  if (!runs) {
    throw std::runtime_error(std::string(layer) + " weight " + weight_name + " has type " +
                             ggml_type_name(type) + ", which ggml's CPU backend cannot convolve" +
                             (depthwise ? " (only f16 depthwise kernels)" : ""));
  }
  return type;
}

// Bias, then (for a BF16 weight) the output rounded to BF16 precision and
// returned as F32, on every backend.
// y: [width', height', out_channels, batch]; b: [1, 1, out_channels, 1]
ggml_tensor* finish_conv2d(ggml_context* ctx, ggml_tensor* y, ggml_tensor* b, ggml_type weight_type,
                           const std::string& name) {
  if (!ggml_is_contiguous(y)) y = ggml_cont(ctx, y);
  y = named(ggml_add(ctx, y, b), name, "out");
  if (weight_type == GGML_TYPE_BF16) {
    y = named(ggml_cast(ctx, ggml_cast(ctx, y, GGML_TYPE_BF16), GGML_TYPE_F32), name, "out_bf16");
  }
  return y;
}

}  // namespace

// ---------------------------------------------------------------------------
// Conv2D

Conv2D::Conv2D(const std::string& name, int in_channels, int out_channels, int kernel, int stride,
               int padding, int dilation)
    : name(name),
      weight_name(name + kWeightSuffix),
      bias_name(name + kBiasSuffix),
      in_channels(in_channels),
      out_channels(out_channels),
      kernel(kernel),
      stride(stride),
      padding(padding),
      dilation(dilation) {
  check_conv2d_sizes("Conv2D", name, in_channels, out_channels, kernel, stride, padding, dilation);
}

void Conv2D::define_tensors(Session* session) {
  const ggml_type type = conv2d_weight_type(session, "Conv2D", name, weight_name, false);
  weight = session->model_container->create_tensor_4d(weight_name, type, kernel, kernel, in_channels,
                                                      out_channels);
  bias = session->model_container->create_tensor_4d(bias_name, GGML_TYPE_F32, 1, 1, out_channels, 1);
}

TensorBag Conv2D::build_graph(Session* session, TensorBag inputs, TensorContainer* run_container) {
  const ggml_bf_tensor x = activation(inputs);  // [width, height, in_channels, batch]
  const ggml_bf_tensor w = session->model_container->get_tensor_by_name(weight_name);
  ggml_tensor* b = session->model_container->get_tensor_by_name(bias_name).tensor;
  const ggml_type kernel_type = conv2d_kernel_type(w.tensor->type);
  if (!cpu_supports_im2col(kernel_type, x.tensor->type, kernel_type)) {
    throw std::runtime_error("Conv2D(" + name + ") cannot convolve a " + ggml_type_name(x.tensor->type) +
                             " input on ggml's CPU backend (f32 needed)");
  }
  ggml_context* ctx = ctx_for(run_container, w.buft);
  // kernel: [kernel, kernel, in_channels, out_channels]
  ggml_tensor* kernel_t = w.tensor;
  if (kernel_type != w.tensor->type)
    kernel_t = named(ggml_cast(ctx, w.tensor, kernel_type), name, "weight_f32");
  ggml_tensor* image = x.tensor;
  // im2col reads whole rows of the image.
  if (!ggml_is_contiguous(image)) image = named(ggml_cont(ctx, image), name, "in_c");
  ggml_tensor* y = named(
      ggml_conv_2d(ctx, kernel_t, image, stride, stride, padding, padding, dilation, dilation), name, "conv");
  y = finish_conv2d(ctx, y, b, w.tensor->type, name);  // [width', height', out_channels, batch]
  TensorBag out;
  out.add_tensor({y, w.buft});
  return out;
}

void Conv2D::set_data(Session* session) {
  session->load_weight(weight_name);
  session->load_weight(bias_name);
}

// ---------------------------------------------------------------------------
// Conv2DDW

Conv2DDW::Conv2DDW(const std::string& name, int in_channels, int out_channels, int kernel, int stride,
                   int padding, int dilation)
    : name(name),
      weight_name(name + kWeightSuffix),
      bias_name(name + kBiasSuffix),
      in_channels(in_channels),
      out_channels(out_channels),
      kernel(kernel),
      stride(stride),
      padding(padding),
      dilation(dilation) {
  check_conv2d_sizes("Conv2DDW", name, in_channels, out_channels, kernel, stride, padding, dilation);
  if (in_channels != out_channels) {
    throw std::invalid_argument("Conv2DDW(" + name + "): in_channels (" + std::to_string(in_channels) +
                                ") must equal out_channels (" + std::to_string(out_channels) + ")");
  }
}

void Conv2DDW::define_tensors(Session* session) {
  const ggml_type type = conv2d_weight_type(session, "Conv2DDW", name, weight_name, true);
  weight = session->model_container->create_tensor_4d(weight_name, type, kernel, kernel, 1, out_channels);
  bias = session->model_container->create_tensor_4d(bias_name, GGML_TYPE_F32, 1, 1, out_channels, 1);
}

TensorBag Conv2DDW::build_graph(Session* session, TensorBag inputs, TensorContainer* run_container) {
  const ggml_bf_tensor in = activation(inputs);  // [width, height, channels, batch]
  const ggml_bf_tensor w = session->model_container->get_tensor_by_name(weight_name);
  ggml_tensor* b = session->model_container->get_tensor_by_name(bias_name).tensor;
  if (!cpu_supports_im2col(w.tensor->type, in.tensor->type, GGML_TYPE_F16)) {
    throw std::runtime_error("Conv2DDW(" + name + ") cannot convolve a " + ggml_type_name(in.tensor->type) +
                             " input on ggml's CPU backend (f32 or f16 needed)");
  }
  ggml_context* ctx = ctx_for(run_container, w.buft);
  ggml_tensor* x = in.tensor;
  // im2col reads whole rows of the image, and the kernel reshapes it.
  if (!ggml_is_contiguous(x)) x = named(ggml_cont(ctx, x), name, "in_c");
  ggml_tensor* y = named(
      ggml_conv_2d_dw(ctx, w.tensor, x, stride, stride, padding, padding, dilation, dilation), name, "conv");
  y = finish_conv2d(ctx, y, b, w.tensor->type, name);  // [width', height', channels, batch]
  TensorBag out;
  out.add_tensor({y, w.buft});
  return out;
}

void Conv2DDW::set_data(Session* session) {
  session->load_weight(weight_name);
  session->load_weight(bias_name);
}

// ---------------------------------------------------------------------------
// LayerNorm

LayerNorm::LayerNorm(const std::string& name, const int64_t (&shape)[4])
    : name(name), weight_name(name + kWeightSuffix), bias_name(name + kBiasSuffix), shape{} {
  for (int i = 0; i < 4; ++i) this->shape[i] = shape[i];
  require_positive("LayerNorm", name, "shape[0]", shape[0]);
  require_positive("LayerNorm", name, "shape[1]", shape[1]);
  require_positive("LayerNorm", name, "shape[2]", shape[2]);
}

void LayerNorm::define_tensors(Session* session) {
  session->model_container->create_tensor_4d(weight_name, GGML_TYPE_F32, shape[0], shape[1], shape[2], 1);
  session->model_container->create_tensor_4d(bias_name, GGML_TYPE_F32, shape[0], 1, 1, 1);
}

TensorBag LayerNorm::build_graph(Session* session, TensorBag inputs, TensorContainer* run_container) {
  const ggml_bf_tensor x = activation(inputs);  // [shape[0], ...]
  const ggml_bf_tensor w = session->model_container->get_tensor_by_name(weight_name);
  ggml_tensor* b = session->model_container->get_tensor_by_name(bias_name).tensor;
  if (x.tensor->type != GGML_TYPE_F32) {
    throw std::runtime_error("layer norm(" + name + ") cannot normalise a " + ggml_type_name(x.tensor->type) +
                             " input on ggml's CPU backend (f32 needed)");
  }
  ggml_context* ctx = ctx_for(run_container, w.buft);
  // The normalisation reads rows of adjacent elements.
  ggml_tensor* rows = x.tensor;
  if (rows->nb[0] != ggml_type_size(rows->type)) rows = named(ggml_cont(ctx, rows), name, "in_c");
  ggml_tensor* normed = named(ggml_norm(ctx, rows, 1e-5f), name, "norm");
  ggml_tensor* y =
      named(ggml_add(ctx, named(ggml_mul(ctx, normed, w.tensor), name, "scaled"), b), name, "out");
  TensorBag out;
  out.add_tensor({y, w.buft});
  return out;
}

void LayerNorm::set_data(Session* session) {
  GGUFLoader* loader = require_loader(session, "LayerNorm", name);
  const ggml_type weight_type = loader->get_tensor_type(weight_name);
  const ggml_type bias_type = loader->get_tensor_type(bias_name);
  if (weight_type != GGML_TYPE_F32 || bias_type != GGML_TYPE_F32) {
    throw std::runtime_error("layer norm(" + name + ") weight " + weight_name + " or bias " + bias_name +
                             " is not f32 (got types " + std::to_string(static_cast<int>(weight_type)) + "/" +
                             std::to_string(static_cast<int>(bias_type)) + ")");
  }
  session->load_weight(weight_name);
  session->load_weight(bias_name);
}

// ---------------------------------------------------------------------------
// BatchNorm1d

BatchNorm1d::BatchNorm1d(const std::string& name, int num_features, bool affine)
    : name(name),
      weight_name(name + kWeightSuffix),
      bias_name(name + kBiasSuffix),
      running_mean_name(name + kRunningMeanSuffix),
      running_var_name(name + kRunningVarSuffix),
      eps_name(name + kEpsSuffix),
      num_features(num_features),
      affine(affine) {
  require_positive("BatchNorm1d", name, "num_features", num_features);
}

void BatchNorm1d::define_tensors(Session* session) {
  if (!affine) throw std::runtime_error("BatchNorm1d without affine is not supported");
  TensorContainer* weights = session->model_container.get();
  // One value per channel, broadcast over time and batch.
  weights->create_tensor_2d(weight_name, GGML_TYPE_F32, 1, num_features);
  weights->create_tensor_2d(bias_name, GGML_TYPE_F32, 1, num_features);
  weights->create_tensor_2d(running_mean_name, GGML_TYPE_F32, 1, num_features);
  weights->create_tensor_2d(running_var_name, GGML_TYPE_F32, 1, num_features);
  weights->create_tensor_1d(eps_name, GGML_TYPE_F32, 1);
}

TensorBag BatchNorm1d::build_graph(Session* session, TensorBag inputs, TensorContainer* run_container) {
  const ggml_bf_tensor x = activation(inputs);  // [time, num_features, batch]
  const TensorContainer* weights = session->model_container.get();
  ggml_tensor* mean = weights->get_tensor_by_name(running_mean_name).tensor;  // [1, num_features]
  ggml_tensor* var = weights->get_tensor_by_name(running_var_name).tensor;    // [1, num_features]
  ggml_tensor* w = weights->get_tensor_by_name(weight_name).tensor;           // [1, num_features]
  ggml_tensor* b = weights->get_tensor_by_name(bias_name).tensor;             // [1, num_features]
  ggml_tensor* eps = weights->get_tensor_by_name(eps_name).tensor;            // [1]
  ggml_context* ctx = ctx_for(run_container, x.buft);
  // The element-wise operations read rows of adjacent elements.
  ggml_tensor* rows = x.tensor;
  if (rows->nb[0] != ggml_type_size(rows->type)) rows = named(ggml_cont(ctx, rows), name, "in_c");
  ggml_tensor* centred = named(ggml_sub(ctx, rows, mean), name, "centred");
  ggml_tensor* deviation =
      named(ggml_sqrt_inplace(ctx, ggml_add(ctx, var, eps)), name, "std");  // [1, num_features]
  ggml_tensor* y = named(ggml_div(ctx, centred, deviation), name, "normed");
  y = ggml_mul_inplace(ctx, y, w);
  y = named(ggml_add_inplace(ctx, y, b), name, "out");
  TensorBag out;
  out.add_tensor({y, x.buft});
  return out;
}

void BatchNorm1d::set_data(Session* session) {
  session->load_weight(weight_name);
  session->load_weight(bias_name);
  session->load_weight(running_mean_name);
  session->load_weight(running_var_name);
  ggml_tensor* eps = session->model_container->get_tensor_by_name(eps_name).tensor;
  const float value = kEps;
  ggml_backend_tensor_set(eps, &value, 0, sizeof(value));
}

}  // namespace ggml_runtime
