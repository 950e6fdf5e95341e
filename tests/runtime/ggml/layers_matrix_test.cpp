// Linear and Conv1D: numbers against double loops for every weight type and
// form, declared tensors, the bias rule of BF16 products on the GPU, buffer
// types of the outputs, and the error paths.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ggml.h"
#include "runtime/ggml/layers.h"
#include "runtime/ggml/layers_test_support.h"
#include "runtime/ggml/session.h"

namespace {

using kestrix_test::SetupErrorCase;

using ggml_runtime::Conv1D;
using ggml_runtime::Linear;
using ggml_runtime::Module;
using ggml_runtime::Session;
using kestrix_test::DirectBuild;
using kestrix_test::DotPrecision;
using kestrix_test::DotSum;
using kestrix_test::GgufWriter;
using kestrix_test::LayerSession;
using kestrix_test::Target;

std::array<int64_t, 4> extents(const ggml_tensor* t) { return {t->ne[0], t->ne[1], t->ne[2], t->ne[3]}; }

// Writes a weight of `type` with extents `ne` and returns the exact values it
// holds (random, representable in the type).
std::vector<float> write_weight(GgufWriter& w, const std::string& name, ggml_type type,
                                std::vector<int64_t> ne, uint32_t seed) {
  int64_t n = 1;
  for (int64_t e : ne) n *= e;
  if (type == GGML_TYPE_Q8_0) {
    kestrix_test::Q8Weights q = kestrix_test::q8_0_weights(ne[0], n / ne[0], seed);
    w.add_tensor(name, type, ne, q.bytes);
    return q.values;
  }
  std::vector<float> values = kestrix_test::exact_values(type, static_cast<size_t>(n), seed);
  w.add_tensor_from_f32(name, type, ne, values);
  return values;
}

// ---------------------------------------------------------------------------
// Linear numbers

struct LinearCase {
  const char* label;
  ggml_type type;
  int in;
  int out;
  bool bias;
  std::array<int64_t, 4> x_ne;  // [in, n, outer, outer]
};

class LinearNumbers : public ::testing::TestWithParam<LinearCase> {};

TEST_P(LinearNumbers, MatchesDoubleReference) {
  const LinearCase c = GetParam();
  for (const Target& target : kestrix_test::test_targets()) {
    SCOPED_TRACE(target.name);
    GgufWriter w;
    const std::vector<float> weight = write_weight(w, "lin.weight", c.type, {c.in, c.out}, 11);
    const std::vector<float> bias = kestrix_test::random_floats(static_cast<size_t>(c.out), 12);
    if (c.bias) w.add_tensor_f32("lin.bias", {c.out}, bias);

    Linear layer("lin", c.in, c.out, c.bias);
    LayerSession ls(layer, w, target);
    ls.setup();
    // The weight keeps its stored type, quantised ones included.
    const ggml_tensor* declared = ls.session().model_container->get_tensor_by_name("lin.weight").tensor;
    EXPECT_EQ(declared->type, c.type);
    EXPECT_EQ(extents(declared), (std::array<int64_t, 4>{c.in, c.out, 1, 1}));

    const int64_t rows = c.x_ne[1] * c.x_ne[2] * c.x_ne[3];
    const std::vector<float> x = kestrix_test::random_floats(static_cast<size_t>(c.in * rows), 13);
    const std::vector<float> y =
        ls.run(x, {c.x_ne[0], c.x_ne[1], c.x_ne[2], c.x_ne[3]}, {c.out, c.x_ne[1], c.x_ne[2], c.x_ne[3]});

    const DotPrecision p = kestrix_test::matmul_precision(c.type, target.gpu);
    std::vector<double> expected, tolerance;
    for (int64_t r = 0; r < rows; ++r) {
      const float* xr = &x[static_cast<size_t>(r * c.in)];
      for (int o = 0; o < c.out; ++o) {
        const float* wr = &weight[static_cast<size_t>(o) * c.in];
        DotSum s;
        for (int k = 0; k < c.in; ++k) s.add(wr[k], xr[k]);
        // Q8_0 products quantise the activations per block of 32.
        if (c.type == GGML_TYPE_Q8_0) s.extra = kestrix_test::q8_0_input_bound(wr, xr, c.in);
        const double b = c.bias ? bias[static_cast<size_t>(o)] : 0.0;
        expected.push_back(s.sum + b);
        tolerance.push_back(kestrix_test::dot_tolerance(s, b, p));
      }
    }
    kestrix_test::expect_within(y, expected, tolerance);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Types, LinearNumbers,
    ::testing::Values(LinearCase{"f32", GGML_TYPE_F32, 64, 40, true, {64, 5, 2, 1}},
                      LinearCase{"f16", GGML_TYPE_F16, 64, 40, true, {64, 5, 2, 1}},
                      LinearCase{"bf16", GGML_TYPE_BF16, 64, 40, true, {64, 5, 2, 1}},
                      LinearCase{"q8_0", GGML_TYPE_Q8_0, 64, 40, true, {64, 5, 2, 1}},
                      LinearCase{"f32_no_bias", GGML_TYPE_F32, 64, 40, false, {64, 3, 1, 1}},
                      LinearCase{"bf16_4d", GGML_TYPE_BF16, 32, 8, true, {32, 3, 2, 2}},
                      // Large enough for the BLAS backend to take the product.
                      LinearCase{"f16_large", GGML_TYPE_F16, 64, 48, true, {64, 40, 1, 1}},
                      LinearCase{"q8_0_large", GGML_TYPE_Q8_0, 64, 48, false, {64, 40, 1, 1}}),
    [](const ::testing::TestParamInfo<LinearCase>& info) { return std::string(info.param.label); });

// BF16 activations (as the GPU encoder blocks make them) multiply a BF16
// weight; BF16 x BF16 products are exact in F32, so only the F32 sums round.
TEST(Linear, Bf16ActivationsWithBf16Weight) {
  GgufWriter w;
  const std::vector<float> weight = write_weight(w, "lin.weight", GGML_TYPE_BF16, {32, 6}, 21);
  Linear layer("lin", 32, 6, false);
  LayerSession ls(layer, w);
  ls.setup();
  const std::vector<float> x = kestrix_test::exact_values(GGML_TYPE_BF16, 32 * 4, 22);
  const std::vector<float> y = ls.run(x, {32, 4}, {6, 4, 1, 1}, GGML_TYPE_BF16);
  std::vector<double> expected, tolerance;
  for (int r = 0; r < 4; ++r) {
    for (int o = 0; o < 6; ++o) {
      DotSum s;
      for (int k = 0; k < 32; ++k) s.add(weight[o * 32 + k], x[r * 32 + k]);
      expected.push_back(s.sum);
      tolerance.push_back(kestrix_test::dot_tolerance(s, 0, DotPrecision{}));
    }
  }
  kestrix_test::expect_within(y, expected, tolerance);
}

// A transposed view gives the same values as its contiguous copy.
TEST(Linear, NonContiguousInputGivesTheSameValues) {
  const int in = 32, out = 4, n = 5;
  GgufWriter w;
  write_weight(w, "lin.weight", GGML_TYPE_F16, {in, out}, 23);
  w.add_tensor_f32("lin.bias", {out}, kestrix_test::random_floats(out, 24));
  // x_t: [n, in]; x: its transpose [in, n]
  const std::vector<float> x_t = kestrix_test::random_floats(in * n, 25);
  std::vector<float> x(x_t.size());
  for (int k = 0; k < in; ++k) {
    for (int r = 0; r < n; ++r) x[k + in * r] = x_t[r + n * k];
  }
  Linear direct("lin", in, out, true);
  LayerSession contiguous(direct, w);
  contiguous.setup();
  const std::vector<float> expected = contiguous.run(x, {in, n}, {out, n, 1, 1});

  ggml_runtime::SequenceModule seq("seq");
  seq.modules = {new kestrix_test::TransposeView(), new Linear("lin", in, out, true)};
  LayerSession viewed(seq, w);
  viewed.setup();
  EXPECT_EQ(viewed.run(x_t, {n, in}, {out, n, 1, 1}), expected);
}

// ---------------------------------------------------------------------------
// The bias of a BF16 product on the GPU

struct BiasRuleCase {
  const char* label;
  ggml_type type;
  std::array<int64_t, 4> x_ne;
  bool use_gpu;       // the session's params.use_gpu (the manager stays on the CPU)
  bool out_of_place;  // expected
};

class LinearBiasRule : public ::testing::TestWithParam<BiasRuleCase> {};

TEST_P(LinearBiasRule, AddsOutOfPlaceOnlyForBf16OverSeveralMatricesOnGpu) {
  const BiasRuleCase c = GetParam();
  const int in = static_cast<int>(c.x_ne[0]);
  const int out = 5;
  GgufWriter w;
  const std::vector<float> weight = write_weight(w, "lin.weight", c.type, {in, out}, 31);
  const std::vector<float> bias = kestrix_test::random_floats(out, 32);
  w.add_tensor_f32("lin.bias", {out}, bias);
  Linear layer("lin", in, out, true);
  LayerSession ls(layer, w);
  ls.session().params.use_gpu = c.use_gpu;
  ls.setup();

  const int64_t rows = c.x_ne[1] * c.x_ne[2] * c.x_ne[3];
  const std::vector<float> x = kestrix_test::random_floats(static_cast<size_t>(in * rows), 33);
  const std::vector<float> y =
      ls.run(x, {c.x_ne[0], c.x_ne[1], c.x_ne[2], c.x_ne[3]}, {out, c.x_ne[1], c.x_ne[2], c.x_ne[3]});
  const ggml_tensor* result = ls.last_output.tensor;
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->op, GGML_OP_ADD);
  if (c.out_of_place) {
    EXPECT_EQ(result->view_src, nullptr);
  } else {
    ASSERT_NE(result->view_src, nullptr);
    EXPECT_EQ(result->view_src->op, GGML_OP_MUL_MAT);
  }

  // Either way the numbers are the product plus the bias.
  const DotPrecision p = kestrix_test::matmul_precision(c.type, false);
  std::vector<double> expected, tolerance;
  for (int64_t r = 0; r < rows; ++r) {
    for (int o = 0; o < out; ++o) {
      DotSum s;
      for (int k = 0; k < in; ++k) s.add(weight[o * in + k], x[r * in + k]);
      expected.push_back(s.sum + bias[o]);
      tolerance.push_back(kestrix_test::dot_tolerance(s, bias[o], p));
    }
  }
  kestrix_test::expect_within(y, expected, tolerance);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LinearBiasRule,
    ::testing::Values(BiasRuleCase{"bf16_gpu_batch2", GGML_TYPE_BF16, {32, 4, 2, 1}, true, true},
                      BiasRuleCase{"bf16_gpu_outer2", GGML_TYPE_BF16, {32, 4, 1, 2}, true, true},
                      BiasRuleCase{"bf16_gpu_batch1", GGML_TYPE_BF16, {32, 4, 1, 1}, true, false},
                      BiasRuleCase{"bf16_cpu_batch2", GGML_TYPE_BF16, {32, 4, 2, 1}, false, false},
                      BiasRuleCase{"f32_gpu_batch2", GGML_TYPE_F32, {32, 4, 2, 1}, true, false}),
    [](const ::testing::TestParamInfo<BiasRuleCase>& info) { return std::string(info.param.label); });

// ---------------------------------------------------------------------------
// Conv1D numbers

struct Conv1DCase {
  const char* label;
  int in, out, kernel, stride, padding, dilation;
  bool depthwise, bias;
  ggml_type file_type;  // type of the weight in the file
  int64_t time, batch;
};

class Conv1DNumbers : public ::testing::TestWithParam<Conv1DCase> {};

TEST_P(Conv1DNumbers, MatchesDoubleReference) {
  const Conv1DCase c = GetParam();
  Conv1D probe("c", c.in, c.out, c.kernel, c.stride, c.padding, c.dilation, c.bias, c.depthwise);
  const bool pointwise = probe.is_pointwise();
  const int out_ch = c.depthwise ? c.in : c.out;
  const int64_t out_len = (c.time + 2 * c.padding - c.dilation * (c.kernel - 1) - 1) / c.stride + 1;

  for (const Target& target : kestrix_test::test_targets()) {
    SCOPED_TRACE(target.name);
    GgufWriter w;
    std::vector<int64_t> wne = c.depthwise ? std::vector<int64_t>{c.kernel, 1, c.in}
                               : pointwise ? std::vector<int64_t>{c.in, c.out}
                                           : std::vector<int64_t>{c.kernel, c.in, c.out};
    // Weight values in the file's type; an F32 file feeding an F16 kernel is
    // rounded to F16 at load.
    const std::vector<float> weight = write_weight(w, "c.weight", c.file_type, wne, 41);
    const std::vector<float> bias = kestrix_test::random_floats(static_cast<size_t>(out_ch), 42);
    if (c.bias) w.add_tensor_f32("c.bias", {out_ch}, bias);

    Conv1D layer("c", c.in, c.out, c.kernel, c.stride, c.padding, c.dilation, c.bias, c.depthwise);
    LayerSession ls(layer, w, target);
    ls.setup();
    const ggml_tensor* declared = ls.session().model_container->get_tensor_by_name("c.weight").tensor;
    if (pointwise) {
      EXPECT_EQ(declared->type, c.file_type);
      EXPECT_EQ(extents(declared), (std::array<int64_t, 4>{c.in, c.out, 1, 1}));
    } else {
      EXPECT_EQ(declared->type, GGML_TYPE_F16);
      EXPECT_EQ(extents(declared),
                (std::array<int64_t, 4>{c.kernel, c.depthwise ? 1 : c.in, c.depthwise ? c.in : c.out, 1}));
    }
    if (c.bias) {
      const ggml_tensor* b = ls.session().model_container->get_tensor_by_name("c.bias").tensor;
      EXPECT_EQ(extents(b), (std::array<int64_t, 4>{out_ch, 1, 1, 1}));
    }

    const std::vector<float> x =
        kestrix_test::random_floats(static_cast<size_t>(c.time * c.in * c.batch), 43);
    const std::vector<float> y = ls.run(x, {c.time, c.in, c.batch}, {out_len, out_ch, c.batch, 1});

    DotPrecision p;
    if (pointwise) {
      p = kestrix_test::matmul_precision(c.file_type, target.gpu);
    } else {
      // F16 kernel; im2col rounds the activations to F16.
      p.u_weight = c.file_type == GGML_TYPE_F32 ? kestrix_test::kUnitF16 : 0.0;
      p.u_input = kestrix_test::kUnitF16;
      p.u_acc = kestrix_test::f16_accumulation_unit(target.gpu);
    }
    auto xv = [&](int64_t n, int64_t ch, int64_t t) {
      return x[static_cast<size_t>(t + c.time * (ch + c.in * n))];
    };
    std::vector<double> expected, tolerance;
    for (int64_t n = 0; n < c.batch; ++n) {
      for (int oc = 0; oc < out_ch; ++oc) {
        for (int64_t t = 0; t < out_len; ++t) {
          DotSum s;
          std::vector<float> wcol, xcol;  // the pointwise product's operands
          const int first = c.depthwise ? oc : 0;
          const int last = c.depthwise ? oc + 1 : c.in;
          for (int ic = first; ic < last; ++ic) {
            for (int k = 0; k < c.kernel; ++k) {
              const int64_t ti = t * c.stride - c.padding + k * c.dilation;
              if (ti < 0 || ti >= c.time) continue;
              const float wk = c.depthwise ? weight[static_cast<size_t>(k + c.kernel * oc)]
                                           : weight[static_cast<size_t>(k + c.kernel * (ic + c.in * oc))];
              s.add(wk, xv(n, ic, ti));
              wcol.push_back(wk);
              xcol.push_back(xv(n, ic, ti));
            }
          }
          if (pointwise && c.file_type == GGML_TYPE_Q8_0) {
            s.extra = kestrix_test::q8_0_input_bound(wcol.data(), xcol.data(), c.in);
          }
          const double b = c.bias ? bias[static_cast<size_t>(oc)] : 0.0;
          expected.push_back(s.sum + b);
          tolerance.push_back(kestrix_test::dot_tolerance(s, b, p));
        }
      }
    }
    kestrix_test::expect_within(y, expected, tolerance);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, Conv1DNumbers,
    ::testing::Values(
        // Regular: F16 kernels from F16 or F32 files, strides, padding, dilation.
        Conv1DCase{"regular_k3_b1", 3, 4, 3, 1, 1, 1, false, true, GGML_TYPE_F16, 11, 1},
        Conv1DCase{"regular_k3_b3", 3, 4, 3, 1, 1, 1, false, true, GGML_TYPE_F16, 11, 3},
        Conv1DCase{"regular_s2_f32_file_b3", 3, 4, 3, 2, 0, 1, false, true, GGML_TYPE_F32, 12, 3},
        Conv1DCase{"regular_dilated_b3", 2, 3, 5, 1, 4, 2, false, false, GGML_TYPE_F16, 9, 3},
        Conv1DCase{"regular_s3_p2_b1", 2, 3, 4, 3, 2, 1, false, true, GGML_TYPE_F32, 13, 1},
        // Kernel 1 with another stride or padding takes the regular form.
        Conv1DCase{"k1_stride2_b3", 4, 5, 1, 2, 0, 1, false, true, GGML_TYPE_F16, 9, 3},
        Conv1DCase{"k1_padding1_b1", 4, 5, 1, 1, 1, 1, false, true, GGML_TYPE_F32, 6, 1},
        // Depthwise: per channel, batch items one at a time.
        Conv1DCase{"depthwise_k3_b1", 6, 6, 3, 1, 1, 1, true, true, GGML_TYPE_F16, 10, 1},
        Conv1DCase{"depthwise_k3_b3", 6, 6, 3, 1, 1, 1, true, true, GGML_TYPE_F16, 10, 3},
        Conv1DCase{"depthwise_k5_s2_f32_file_b3", 5, 5, 5, 2, 2, 1, true, false, GGML_TYPE_F32, 11, 3},
        Conv1DCase{"depthwise_k1_b3", 4, 4, 1, 1, 0, 1, true, true, GGML_TYPE_F16, 7, 3},
        Conv1DCase{"depthwise_out_differs_b1", 4, 7, 3, 1, 1, 1, true, true, GGML_TYPE_F16, 8, 1},
        // Pointwise: a matrix product on the stored weight.
        Conv1DCase{"pointwise_f32_b1", 6, 5, 1, 1, 0, 1, false, true, GGML_TYPE_F32, 7, 1},
        Conv1DCase{"pointwise_f32_b3", 6, 5, 1, 1, 0, 1, false, true, GGML_TYPE_F32, 7, 3},
        Conv1DCase{"pointwise_f16_b3", 6, 5, 1, 1, 0, 1, false, false, GGML_TYPE_F16, 7, 3},
        Conv1DCase{"pointwise_bf16_b3", 6, 5, 1, 1, 0, 1, false, true, GGML_TYPE_BF16, 7, 3},
        Conv1DCase{"pointwise_q8_0_b3", 32, 5, 1, 1, 0, 1, false, true, GGML_TYPE_Q8_0, 7, 3}),
    [](const ::testing::TestParamInfo<Conv1DCase>& info) { return std::string(info.param.label); });

TEST(Conv1D, PointwiseOnlyForUnitKernelStrideAndDilationWithoutPadding) {
  EXPECT_TRUE(Conv1D("c", 2, 3, 1, 1, 0, 1, false, false).is_pointwise());
  EXPECT_FALSE(Conv1D("c", 2, 3, 1, 1, 0, 1, false, true).is_pointwise());
  EXPECT_FALSE(Conv1D("c", 2, 3, 1, 2, 0, 1, false, false).is_pointwise());
  EXPECT_FALSE(Conv1D("c", 2, 3, 1, 1, 1, 1, false, false).is_pointwise());
  EXPECT_FALSE(Conv1D("c", 2, 3, 1, 1, 0, 2, false, false).is_pointwise());
  EXPECT_FALSE(Conv1D("c", 2, 3, 3, 1, 0, 1, false, false).is_pointwise());
}

// A transposed view (as a block hands on [d, time] activations as
// [time, d]) gives the same values as the contiguous copy of it.
TEST(Conv1D, NonContiguousInputGivesTheSameValues) {
  struct Form {
    const char* label;
    int kernel, padding;
    bool depthwise;
  };
  for (const Form& f :
       {Form{"depthwise", 3, 1, true}, Form{"regular", 3, 1, false}, Form{"pointwise", 1, 0, false}}) {
    for (int64_t batch : {1, 3}) {
      SCOPED_TRACE(std::string(f.label) + " batch " + std::to_string(batch));
      const int channels = 4, time = 9;
      GgufWriter w;
      write_weight(w, "c.weight", GGML_TYPE_F16,
                   f.depthwise     ? std::vector<int64_t>{f.kernel, 1, channels}
                   : f.kernel == 1 ? std::vector<int64_t>{channels, channels}
                                   : std::vector<int64_t>{f.kernel, channels, channels},
                   61);
      w.add_tensor_f32("c.bias", {channels}, kestrix_test::random_floats(channels, 62));
      // x_t: [channels, time, batch]; x: its transpose [time, channels, batch]
      const std::vector<float> x_t =
          kestrix_test::random_floats(static_cast<size_t>(channels * time * batch), 63);
      std::vector<float> x(x_t.size());
      for (int64_t n = 0; n < batch; ++n) {
        for (int c = 0; c < channels; ++c) {
          for (int t = 0; t < time; ++t) {
            x[t + time * (c + channels * n)] = x_t[c + channels * (t + time * n)];
          }
        }
      }
      const std::array<int64_t, 4> out_ne = {time, channels, batch, 1};

      Conv1D direct("c", channels, channels, f.kernel, 1, f.padding, 1, true, f.depthwise);
      LayerSession contiguous(direct, w);
      contiguous.setup();
      const std::vector<float> expected = contiguous.run(x, {time, channels, batch}, out_ne);

      ggml_runtime::SequenceModule seq("seq");
      seq.modules = {new kestrix_test::TransposeView(),
                     new Conv1D("c", channels, channels, f.kernel, 1, f.padding, 1, true, f.depthwise)};
      LayerSession viewed(seq, w);
      viewed.setup();
      EXPECT_EQ(viewed.run(x_t, {channels, time, batch}, out_ne), expected);
    }
  }
}

// ---------------------------------------------------------------------------
// Buffer types of the outputs

TEST(MatrixLayers, OutputBufferTypes) {
  GgufWriter w;
  write_weight(w, "lin.weight", GGML_TYPE_F32, {8, 3}, 51);
  w.add_tensor_f32("lin.bias", {3}, kestrix_test::random_floats(3, 52));
  write_weight(w, "dw.weight", GGML_TYPE_F16, {3, 1, 8}, 53);
  write_weight(w, "reg.weight", GGML_TYPE_F16, {3, 8, 4}, 54);
  write_weight(w, "pw.weight", GGML_TYPE_F32, {8, 4}, 55);

  struct Root : Module {
    Linear lin{"lin", 8, 3, true};
    Conv1D dw{"dw", 8, 8, 3, 1, 1, 1, false, true};
    Conv1D reg{"reg", 8, 4, 3, 1, 1, 1, false, false};
    Conv1D pw{"pw", 8, 4, 1, 1, 0, 1, false, false};
    void define_tensors(Session* s) override {
      for (Module* m : std::vector<Module*>{&lin, &dw, &reg, &pw}) m->define_tensors(s);
    }
    ggml_runtime::TensorBag build_graph(Session*, ggml_runtime::TensorBag in,
                                        ggml_runtime::TensorContainer*) override {
      return in;
    }
    void set_data(Session* s) override {
      for (Module* m : std::vector<Module*>{&lin, &dw, &reg, &pw}) m->set_data(s);
    }
  } root;
  LayerSession ls(root, w);
  ls.setup();
  const ggml_backend_buffer_type_t weight_buft =
      ls.session().model_container->get_tensor_by_name("lin.weight").buft;
  const ggml_backend_buffer_type_t label = DirectBuild::foreign_label();

  // Linear: the weight's buffer type.
  {
    DirectBuild b(ls.manager());
    ggml_runtime::TensorBag out =
        root.lin.build_graph(&ls.session(), b.input({8, 5, 1, 1}, label), &b.container);
    ASSERT_EQ(out.tensor_count(), 1u);
    EXPECT_EQ(out.get_tensor(0).buft, weight_buft);
    EXPECT_TRUE(b.created_in(out.get_tensor(0).tensor, weight_buft));
  }
  // Conv1D, every form: the input's buffer type.
  for (Conv1D* conv : {&root.dw, &root.reg, &root.pw}) {
    for (int64_t batch : {1, 3}) {
      SCOPED_TRACE(conv->name + " batch " + std::to_string(batch));
      DirectBuild b(ls.manager());
      ggml_runtime::TensorBag out =
          conv->build_graph(&ls.session(), b.input({9, 8, batch, 1}, label), &b.container);
      ASSERT_EQ(out.tensor_count(), 1u);
      EXPECT_EQ(out.get_tensor(0).buft, label);
      EXPECT_TRUE(b.created_in(out.get_tensor(0).tensor, label));
    }
  }
}

// ---------------------------------------------------------------------------
// Error paths

class MatrixSetupErrors : public ::testing::TestWithParam<SetupErrorCase> {};

TEST_P(MatrixSetupErrors, Message) { kestrix_test::expect_setup_error(GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    Cases, MatrixSetupErrors,
    ::testing::Values(
        SetupErrorCase{"linear_bias_f16",
                       [] { return new Linear("lin", 32, 4, true); },
                       [](GgufWriter& w) {
                         write_weight(w, "lin.weight", GGML_TYPE_F32, {32, 4}, 1);
                         write_weight(w, "lin.bias", GGML_TYPE_F16, {4}, 2);
                       },
                       "linear(lin) bias lin.bias is not f32 (got type 1)",
                       {"lin.weight"}},
        SetupErrorCase{"linear_weight_missing",
                       [] { return new Linear("lin", 32, 4, true); },
                       [](GgufWriter& w) { write_weight(w, "lin.bias", GGML_TYPE_F32, {4}, 2); },
                       "Tensor not found: lin.weight",
                       {}},
        SetupErrorCase{"linear_bias_missing",
                       [] { return new Linear("lin", 32, 4, true); },
                       [](GgufWriter& w) {
                         write_weight(w, "lin.weight", GGML_TYPE_F32, {32, 4}, 1);
                       },
                       "Tensor not found: lin.bias",
                       {}},
        SetupErrorCase{"linear_weight_i32",
                       [] { return new Linear("lin", 4, 2, false); },
                       [](GgufWriter& w) {
                         w.add_tensor("lin.weight", GGML_TYPE_I32, {4, 2}, std::vector<uint8_t>(32));
                       },
                       "linear(lin) weight lin.weight has type i32, which ggml's CPU backend cannot multiply",
                       {}},
        SetupErrorCase{
            "linear_q8_0_partial_block",
            [] { return new Linear("lin", 48, 2, false); },
            [](GgufWriter& w) {
              write_weight(w, "lin.weight", GGML_TYPE_Q8_0, {64, 2}, 1);
            },
            "linear(lin) weight lin.weight of type q8_0 needs in_features divisible by 32 (got 48)",
            {}},
        SetupErrorCase{"conv1d_weight_missing",
                       [] { return new Conv1D("c", 2, 3, 3, 1, 1, 1, true, false); },
                       [](GgufWriter& w) { write_weight(w, "c.bias", GGML_TYPE_F32, {3}, 2); },
                       "Tensor not found: c.weight",
                       {}},
        // A missing Conv1D bias shows when it is loaded, after the weight.
        SetupErrorCase{"conv1d_bias_missing",
                       [] { return new Conv1D("c", 2, 3, 3, 1, 1, 1, true, false); },
                       [](GgufWriter& w) {
                         write_weight(w, "c.weight", GGML_TYPE_F16, {3, 2, 3}, 1);
                       },
                       "Tensor not found: c.bias",
                       {"c.weight"}},
        SetupErrorCase{"conv1d_pointwise_q8_0_partial_block",
                       [] { return new Conv1D("c", 48, 2, 1, 1, 0, 1, false, false); },
                       [](GgufWriter& w) {
                         write_weight(w, "c.weight", GGML_TYPE_Q8_0, {64, 2}, 1);
                       },
                       "conv1d(c) weight c.weight of type q8_0 needs in_channels divisible by 32 (got 48)",
                       {}},
        // F16 kernels load from F16 or F32 files only.
        SetupErrorCase{"conv1d_depthwise_bf16_file",
                       [] { return new Conv1D("c", 4, 4, 3, 1, 1, 1, false, true); },
                       [](GgufWriter& w) {
                         write_weight(w, "c.weight", GGML_TYPE_BF16, {3, 1, 4}, 1);
                       },
                       "load_weight(c.weight): cannot load on-disk dtype 30 into in-memory dtype 1 (only "
                       "same-dtype copy or F32->F16 convert supported)",
                       {"c.weight"}}),
    [](const ::testing::TestParamInfo<SetupErrorCase>& info) { return std::string(info.param.label); });

TEST(Linear, F16BiasIsDeclaredInItsStoredTypeBeforeSetDataRefusesIt) {
  GgufWriter w;
  write_weight(w, "lin.weight", GGML_TYPE_F32, {32, 4}, 1);
  write_weight(w, "lin.bias", GGML_TYPE_F16, {4}, 2);
  Linear layer("lin", 32, 4, true);
  LayerSession ls(layer, w);
  EXPECT_THROW(ls.setup(), std::runtime_error);
  EXPECT_EQ(ls.session().model_container->get_tensor_by_name("lin.bias").tensor->type, GGML_TYPE_F16);
}

TEST(MatrixLayers, ActivationTypesTheCpuCannotMultiplyAreRefusedWhenTheGraphIsBuilt) {
  GgufWriter w;
  write_weight(w, "lin.weight", GGML_TYPE_F16, {32, 4}, 1);
  Linear layer("lin", 32, 4, false);
  LayerSession ls(layer, w);
  ls.setup();
  const std::vector<float> x(64, 0.5f);
  EXPECT_EQ(kestrix_test::error_text([&] {
              ls.run(x, {32, 2}, {4, 2, 1, 1}, GGML_TYPE_BF16);
            }),
            "linear(lin) cannot multiply a bf16 input with the f16 weight lin.weight on ggml's CPU backend");
  // The failed build left nothing behind; an F32 input still runs.
  EXPECT_EQ(ls.session().cached_graph_count(), 0u);
  ls.run(x, {32, 2}, {4, 2, 1, 1});
}

TEST(MatrixLayers, ConstructorArguments) {
  using kestrix_test::error_text;
  EXPECT_EQ(error_text([] { Linear("l", 0, 4, true); }), "Linear(l): in_features must be positive, got 0");
  EXPECT_EQ(error_text([] { Linear("l", 4, -2, true); }), "Linear(l): out_features must be positive, got -2");
  EXPECT_EQ(error_text([] { Conv1D("c", 2, 3, 0, 1, 0, 1, false, false); }),
            "Conv1D(c): kernel must be positive, got 0");
  EXPECT_EQ(error_text([] { Conv1D("c", 2, 3, 3, 0, 0, 1, false, false); }),
            "Conv1D(c): stride must be positive, got 0");
  EXPECT_EQ(error_text([] { Conv1D("c", 2, 3, 3, 1, -1, 1, false, false); }),
            "Conv1D(c): padding must not be negative, got -1");
  EXPECT_EQ(error_text([] { Conv1D("c", 2, 3, 3, 1, 0, 0, false, false); }),
            "Conv1D(c): dilation must be positive, got 0");
  EXPECT_THROW(Conv1D("c", 0, 3, 3, 1, 0, 1, false, false), std::invalid_argument);
}

TEST(MatrixLayers, DeclaringStoredWeightsNeedsAModelReader) {
  auto manager = std::make_unique<ggml_runtime::BackendManager>(ggml_runtime::Params{});
  Linear layer("lin", 4, 2, false);
  Session session(*manager, &layer, nullptr);
  try {
    session.setup();
    FAIL() << "no exception";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "Linear(lin): the session has no model loader");
  }
}

}  // namespace
