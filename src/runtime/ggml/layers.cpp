// Matrix layers (Linear, Conv1D), ReLU, the sequence container and the type
// rules of ggml's CPU backend.
#include "runtime/ggml/layers.h"

#include <stdexcept>
#include <string>

#include "ggml-cpu.h"
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

bool valid_type(ggml_type type) { return type >= 0 && type < GGML_TYPE_COUNT; }

}  // namespace

// The CPU matrix product converts F32 activations to the weight type's
// dot-product type, or takes activations already of that type; anything else
// stops ggml at compute time.
bool cpu_supports_mul_mat(ggml_type weight, ggml_type input) {
  if (!valid_type(weight) || !valid_type(input)) return false;
  if (ggml_get_type_traits(weight)->blck_size == 0) return false;  // a retired type
  const ggml_type_traits_cpu* traits = ggml_get_type_traits_cpu(weight);
  if (traits->vec_dot == nullptr) return false;
  if (input == traits->vec_dot_type) return true;
  return input == GGML_TYPE_F32 && ggml_get_type_traits_cpu(traits->vec_dot_type)->from_float != nullptr;
}

// The CPU im2col has two kernels: F32 output from an F32 image, and F16 output
// from an F16 kernel tensor over an F16 or F32 image.
bool cpu_supports_im2col(ggml_type kernel, ggml_type input, ggml_type dst) {
  if (dst == GGML_TYPE_F32) return input == GGML_TYPE_F32;
  if (dst == GGML_TYPE_F16) {
    return kernel == GGML_TYPE_F16 && (input == GGML_TYPE_F16 || input == GGML_TYPE_F32);
  }
  return false;
}

void layers_detail::require_matmul_weight(const std::string& layer, const std::string& weight_name,
                                          ggml_type type, int64_t row_length, const char* row_field) {
  if (!cpu_supports_mul_mat(type, GGML_TYPE_F32)) {
    throw std::runtime_error(
        layer + " weight " + weight_name + " has type " +
        (valid_type(type) ? ggml_type_name(type) : std::to_string(static_cast<int>(type))) +
        ", which ggml's CPU backend cannot multiply");
  }
  const int64_t block = ggml_blck_size(type);
  if (row_length % block != 0) {
    throw std::runtime_error(layer + " weight " + weight_name + " of type " + ggml_type_name(type) +
                             " needs " + row_field + " divisible by " + std::to_string(block) + " (got " +
                             std::to_string(row_length) + ")");
  }
}

// ---------------------------------------------------------------------------
// Linear

Linear::Linear(const std::string& name, int in_features, int out_features, bool has_bias)
    : name(name),
      weight_name(name + kWeightSuffix),
      bias_name(name + kBiasSuffix),
      in_features(in_features),
      out_features(out_features),
      has_bias(has_bias) {
  require_positive("Linear", name, "in_features", in_features);
  require_positive("Linear", name, "out_features", out_features);
}

void Linear::define_tensors(Session* session) {
  GGUFLoader* loader = require_loader(session, "Linear", name);
  const ggml_type type = loader->get_tensor_type(weight_name);
  layers_detail::require_matmul_weight("linear(" + name + ")", weight_name, type, in_features, "in_features");
  weight = session->model_container->create_tensor_4d(weight_name, type, in_features, out_features, 1, 1);
  if (has_bias) {
    const ggml_type bias_type = loader->get_tensor_type(bias_name);
    bias = session->model_container->create_tensor_4d(bias_name, bias_type, out_features, 1, 1, 1);
  }
}

TensorBag Linear::build_graph(Session* session, TensorBag inputs, TensorContainer* run_container) {
  const ggml_bf_tensor x = activation(inputs);  // [in_features, n, ...]
  const ggml_bf_tensor w = session->model_container->get_tensor_by_name(weight_name);  // [in, out]
  if (!cpu_supports_mul_mat(w.tensor->type, x.tensor->type)) {
    throw std::runtime_error("linear(" + name + ") cannot multiply a " + ggml_type_name(x.tensor->type) +
                             " input with the " + ggml_type_name(w.tensor->type) + " weight " + weight_name +
                             " on ggml's CPU backend");
  }
  ggml_context* ctx = ctx_for(run_container, w.buft);
  // The product reads rows of adjacent elements.
  ggml_tensor* rows = x.tensor;
  if (rows->nb[0] != ggml_type_size(rows->type)) rows = named(ggml_cont(ctx, rows), name, "in_c");
  ggml_tensor* y = named(ggml_mul_mat(ctx, w.tensor, rows), name, "mm");  // [out_features, n, ...]
  if (has_bias) {
    ggml_tensor* b = session->model_container->get_tensor_by_name(bias_name).tensor;  // [out_features]
    // On the GPU a BF16 product over several matrices gets its bias added out
    // of place; everywhere else the bias is added into the product.
    const bool out_of_place =
        session->params.use_gpu && w.tensor->type == GGML_TYPE_BF16 && x.tensor->ne[2] * x.tensor->ne[3] >= 2;
    y = out_of_place ? ggml_add(ctx, y, b) : ggml_add_inplace(ctx, y, b);
    named(y, name, "out");
  }
  TensorBag out;
  out.add_tensor({y, w.buft});
  return out;
}

void Linear::set_data(Session* session) {
  session->load_weight(weight_name);
  if (!has_bias) return;
  const ggml_type bias_type = require_loader(session, "Linear", name)->get_tensor_type(bias_name);
  if (bias_type != GGML_TYPE_F32) {
    throw std::runtime_error("linear(" + name + ") bias " + bias_name + " is not f32 (got type " +
                             std::to_string(static_cast<int>(bias_type)) + ")");
  }
  session->load_weight(bias_name);
}

// ---------------------------------------------------------------------------
// Conv1D

Conv1D::Conv1D(const std::string& name, int in_channels, int out_channels, int kernel, int stride,
               int padding, int dilation, bool has_bias, bool depthwise)
    : name(name),
      weight_name(name + kWeightSuffix),
      bias_name(name + kBiasSuffix),
      in_channels(in_channels),
      out_channels(out_channels),
      kernel(kernel),
      stride(stride),
      padding(padding),
      dilation(dilation),
      has_bias(has_bias),
      depthwise(depthwise) {
  require_positive("Conv1D", name, "in_channels", in_channels);
  require_positive("Conv1D", name, "out_channels", out_channels);
  require_positive("Conv1D", name, "kernel", kernel);
  require_positive("Conv1D", name, "stride", stride);
  require_not_negative("Conv1D", name, "padding", padding);
  require_positive("Conv1D", name, "dilation", dilation);
}

bool Conv1D::is_pointwise() const {
  return !depthwise && kernel == 1 && stride == 1 && padding == 0 && dilation == 1;
}

void Conv1D::define_tensors(Session* session) {
  GGUFLoader* loader = require_loader(session, "Conv1D", name);
  const ggml_type type = loader->get_tensor_type(weight_name);  // an absent weight fails here
  TensorContainer* weights = session->model_container.get();
  if (depthwise) {
    weight = weights->create_tensor_3d(weight_name, GGML_TYPE_F16, kernel, 1, in_channels);
  } else if (is_pointwise()) {
    layers_detail::require_matmul_weight("conv1d(" + name + ")", weight_name, type, in_channels,
                                         "in_channels");
    weight = weights->create_tensor_2d(weight_name, type, in_channels, out_channels);
  } else {
    weight = weights->create_tensor_3d(weight_name, GGML_TYPE_F16, kernel, in_channels, out_channels);
  }
  if (has_bias) {
    bias = weights->create_tensor_1d(bias_name, GGML_TYPE_F32, depthwise ? in_channels : out_channels);
  }
}

TensorBag Conv1D::build_graph(Session* session, TensorBag inputs, TensorContainer* run_container) {
  const ggml_bf_tensor in = activation(inputs);  // x: [time, in_channels, batch]
  ggml_tensor* x = in.tensor;
  ggml_tensor* w = session->model_container->get_tensor_by_name(weight_name).tensor;
  ggml_context* ctx = ctx_for(run_container, in.buft);
  ggml_tensor* y = nullptr;

  if (is_pointwise()) {
    if (!cpu_supports_mul_mat(w->type, x->type)) {
      throw std::runtime_error("conv1d(" + name + ") cannot multiply a " + ggml_type_name(x->type) +
                               " input with the " + ggml_type_name(w->type) + " weight " + weight_name +
                               " on ggml's CPU backend");
    }
    // xt: [in_channels, time, batch]; product: [out_channels, time, batch]
    ggml_tensor* xt = named(ggml_cont(ctx, ggml_permute(ctx, x, 1, 0, 2, 3)), name, "in_t");
    ggml_tensor* product = named(ggml_mul_mat(ctx, w, xt), name, "mm");
    y = ggml_cont(ctx, ggml_permute(ctx, product, 1, 0, 2, 3));  // [time, out_channels, batch]
  } else {
    if (!cpu_supports_im2col(w->type, x->type, GGML_TYPE_F16)) {
      throw std::runtime_error("conv1d(" + name + ") cannot convolve a " + ggml_type_name(x->type) +
                               " input on ggml's CPU backend (f32 or f16 needed)");
    }
    // im2col reads whole rows of the image, and the depthwise kernel reshapes it.
    if (!ggml_is_contiguous(x)) x = named(ggml_cont(ctx, x), name, "in_c");
    const int64_t batch = x->ne[2];
    if (depthwise) {
      // The depthwise kernel handles one batch item per call; the items are
      // joined along the batch extent.
      if (batch < 2) {
        y = ggml_conv_1d_dw(ctx, w, x, stride, padding, dilation);  // [time', in_channels, 1]
      } else {
        for (int64_t i = 0; i < batch; ++i) {
          // xi: [time, in_channels, 1]
          ggml_tensor* xi = ggml_cont(ctx, ggml_view_3d(ctx, x, x->ne[0], x->ne[1], 1, x->nb[1], x->nb[2],
                                                        static_cast<size_t>(i) * x->nb[2]));
          ggml_tensor* yi =
              ggml_conv_1d_dw(ctx, w, xi, stride, padding, dilation);  // [time', in_channels, 1]
          y = y == nullptr ? yi : ggml_concat(ctx, y, yi, 2);
        }
      }
    } else if (batch < 2) {
      y = ggml_conv_1d(ctx, w, x, stride, padding, dilation);  // [time', out_channels, 1]
    } else {
      // ggml_conv_1d lays a batched product out as [time' * batch, out] and
      // relabels it [time', out, batch], which mixes items and channels; the
      // product is regrouped here instead.
      // cols: [in_channels * kernel, time', batch]
      ggml_tensor* cols = named(
          ggml_im2col(ctx, w, x, stride, 0, padding, 0, dilation, 0, false, GGML_TYPE_F16), name, "cols");
      const int64_t out_len = cols->ne[1];
      // product: [time' * batch, out_channels]
      ggml_tensor* product = named(ggml_mul_mat(ctx, ggml_reshape_2d(ctx, cols, cols->ne[0], out_len * batch),
                                                ggml_reshape_2d(ctx, w, w->ne[0] * w->ne[1], w->ne[2])),
                                   name, "mm");
      // [time', batch, out_channels] -> [time', out_channels, batch]
      y = ggml_cont(ctx,
                    ggml_permute(ctx, ggml_reshape_3d(ctx, product, out_len, batch, w->ne[2]), 0, 2, 1, 3));
    }
  }
  named(y, name, "conv");

  if (has_bias) {
    ggml_tensor* b = session->model_container->get_tensor_by_name(bias_name).tensor;  // [n_b]
    y = named(ggml_add(ctx, y, ggml_reshape_3d(ctx, b, 1, b->ne[0], 1)), name, "out");
  }
  TensorBag out;
  out.add_tensor({y, in.buft});
  return out;
}

void Conv1D::set_data(Session* session) {
  session->load_weight(weight_name);
  if (has_bias) session->load_weight(bias_name);
}

// ---------------------------------------------------------------------------
// ReLU

ReLU::ReLU(const std::string& name) : name(name) {}

void ReLU::define_tensors(Session*) {}

TensorBag ReLU::build_graph(Session*, TensorBag inputs, TensorContainer* run_container) {
  const ggml_bf_tensor x = activation(inputs);  // any extents
  ggml_context* ctx = ctx_for(run_container, x.buft);
  // ggml's unary operations need rows of adjacent elements.
  ggml_tensor* rows = x.tensor;
  if (rows->nb[0] != ggml_type_size(rows->type)) rows = named(ggml_cont(ctx, rows), name, "in_c");
  ggml_tensor* y = named(ggml_relu_inplace(ctx, rows), name, "relu");
  TensorBag out;
  out.add_tensor({y, x.buft});
  return out;
}

void ReLU::set_data(Session*) {}

// ---------------------------------------------------------------------------
// SequenceModule

SequenceModule::SequenceModule(const std::string& name) : name(name) {}

SequenceModule::~SequenceModule() {
  for (Module* child : modules) delete child;
}

void SequenceModule::define_tensors(Session* session) {
  for (Module* child : modules) child->define_tensors(session);
}

TensorBag SequenceModule::build_graph(Session* session, TensorBag inputs, TensorContainer* run_container) {
  TensorBag result;
  const TensorBag* current = &inputs;
  for (Module* child : modules) {
    result = child->build_graph(session, *current, run_container);
    current = &result;
  }
  return result;
}

void SequenceModule::set_data(Session* session) {
  for (Module* child : modules) child->set_data(session);
}

}  // namespace ggml_runtime
