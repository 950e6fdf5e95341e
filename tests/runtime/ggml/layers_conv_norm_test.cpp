// Conv2D, Conv2DDW, LayerNorm, BatchNorm1d, ReLU and SequenceModule: numbers
// against double loops, declared tensors, buffer types of the outputs, the
// order of children, and the error paths.
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

using ggml_runtime::BatchNorm1d;
using ggml_runtime::Conv2D;
using ggml_runtime::Conv2DDW;
using ggml_runtime::LayerNorm;
using ggml_runtime::Linear;
using ggml_runtime::Module;
using ggml_runtime::ReLU;
using ggml_runtime::SequenceModule;
using ggml_runtime::Session;
using ggml_runtime::TensorBag;
using ggml_runtime::TensorContainer;
using kestrix_test::DirectBuild;
using kestrix_test::DotPrecision;
using kestrix_test::DotSum;
using kestrix_test::GgufWriter;
using kestrix_test::kUnitF32;
using kestrix_test::LayerSession;
using kestrix_test::Target;

std::array<int64_t, 4> extents(const ggml_tensor* t) { return {t->ne[0], t->ne[1], t->ne[2], t->ne[3]}; }

std::vector<float> write_values(GgufWriter& w, const std::string& name, ggml_type type,
                                std::vector<int64_t> ne, uint32_t seed, float scale = 1.0f) {
  int64_t n = 1;
  for (int64_t e : ne) n *= e;
  std::vector<float> values = kestrix_test::exact_values(type, static_cast<size_t>(n), seed, scale);
  w.add_tensor_from_f32(name, type, ne, values);
  return values;
}

// ---------------------------------------------------------------------------
// 2-D convolutions

struct Conv2DCase {
  const char* label;
  bool depthwise;
  ggml_type type;
  int in, out, kernel, stride, padding, dilation;
  std::array<int64_t, 4> x_ne;  // [width, height, in, batch]
};

class Conv2DNumbers : public ::testing::TestWithParam<Conv2DCase> {};

TEST_P(Conv2DNumbers, MatchesDoubleReference) {
  const Conv2DCase c = GetParam();
  const int64_t width = c.x_ne[0], height = c.x_ne[1], batch = c.x_ne[3];
  auto out_size = [&](int64_t n) {
    return (n + 2 * c.padding - c.dilation * (c.kernel - 1) - 1) / c.stride + 1;
  };
  const int64_t ow = out_size(width), oh = out_size(height);

  for (const Target& target : kestrix_test::test_targets()) {
    SCOPED_TRACE(target.name);
    GgufWriter w;
    const std::vector<float> weight =
        write_values(w, "conv.weight", c.type, {c.kernel, c.kernel, c.depthwise ? 1 : c.in, c.out}, 61);
    const std::vector<float> bias = write_values(w, "conv.bias", GGML_TYPE_F32, {1, 1, c.out}, 62);
    std::unique_ptr<Module> layer;
    if (c.depthwise) {
      layer = std::make_unique<Conv2DDW>("conv", c.in, c.out, c.kernel, c.stride, c.padding, c.dilation);
    } else {
      layer = std::make_unique<Conv2D>("conv", c.in, c.out, c.kernel, c.stride, c.padding, c.dilation);
    }
    LayerSession ls(*layer, w, target);
    ls.setup();
    const TensorContainer& weights = *ls.session().model_container;
    EXPECT_EQ(weights.get_tensor_by_name("conv.weight").tensor->type, c.type);
    EXPECT_EQ(extents(weights.get_tensor_by_name("conv.weight").tensor),
              (std::array<int64_t, 4>{c.kernel, c.kernel, c.depthwise ? 1 : c.in, c.out}));
    EXPECT_EQ(extents(weights.get_tensor_by_name("conv.bias").tensor),
              (std::array<int64_t, 4>{1, 1, c.out, 1}));

    const std::vector<float> x =
        kestrix_test::random_floats(static_cast<size_t>(width * height * c.in * batch), 63);
    const std::vector<float> y = ls.run(x, {width, height, c.in, batch}, {ow, oh, c.out, batch});

    // F32 kernels see exact activations; F16 ones get them through an F16 im2col.
    DotPrecision p;
    if (c.type == GGML_TYPE_F16) {
      p.u_input = kestrix_test::kUnitF16;
      p.u_acc = kestrix_test::f16_accumulation_unit(target.gpu);
    } else if (target.gpu) {
      p.u_acc = kestrix_test::kUnitF16;
    }
    std::vector<double> expected, tolerance;
    for (int64_t n = 0; n < batch; ++n) {
      for (int oc = 0; oc < c.out; ++oc) {
        for (int64_t i = 0; i < oh; ++i) {
          for (int64_t j = 0; j < ow; ++j) {
            DotSum s;
            const int first = c.depthwise ? oc : 0;
            const int last = c.depthwise ? oc + 1 : c.in;
            for (int ic = first; ic < last; ++ic) {
              for (int kh = 0; kh < c.kernel; ++kh) {
                for (int kw = 0; kw < c.kernel; ++kw) {
                  const int64_t hi = i * c.stride - c.padding + kh * c.dilation;
                  const int64_t wi = j * c.stride - c.padding + kw * c.dilation;
                  if (hi < 0 || hi >= height || wi < 0 || wi >= width) continue;
                  const int64_t kc = c.depthwise ? oc : ic + c.in * oc;  // kernel plane
                  s.add(weight[static_cast<size_t>(kw + c.kernel * (kh + c.kernel * kc))],
                        x[static_cast<size_t>(wi + width * (hi + height * (ic + c.in * n)))]);
                }
              }
            }
            expected.push_back(s.sum + bias[static_cast<size_t>(oc)]);
            tolerance.push_back(kestrix_test::dot_tolerance(s, bias[static_cast<size_t>(oc)], p));
          }
        }
      }
    }
    if (c.type == GGML_TYPE_BF16) {
      // A BF16 kernel gives the F32 result rounded to BF16: every value is a
      // BF16 number, within half a BF16 step of the F32 one: 8 significant
      // bits, so a relative 2^-8 at most.
      for (size_t i = 0; i < y.size(); ++i) {
        ASSERT_EQ(kestrix_test::round_bf16(y[i]), y[i]) << i;
        tolerance[i] += std::ldexp(std::fabs(expected[i]), -8);
      }
    }
    kestrix_test::expect_within(y, expected, tolerance);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Types, Conv2DNumbers,
    ::testing::Values(Conv2DCase{"conv_f32_s2_p1", false, GGML_TYPE_F32, 2, 3, 3, 2, 1, 1, {9, 7, 2, 2}},
                      Conv2DCase{"conv_f16_s2_p1", false, GGML_TYPE_F16, 2, 3, 3, 2, 1, 1, {9, 7, 2, 2}},
                      Conv2DCase{"conv_bf16_s2_p1", false, GGML_TYPE_BF16, 2, 3, 3, 2, 1, 1, {9, 7, 2, 2}},
                      Conv2DCase{"conv_f32_dilated", false, GGML_TYPE_F32, 2, 2, 3, 1, 0, 2, {8, 8, 2, 1}},
                      Conv2DCase{"conv_f16_k1", false, GGML_TYPE_F16, 3, 4, 1, 1, 0, 1, {5, 4, 3, 2}},
                      Conv2DCase{"dw_f16_s2_p1", true, GGML_TYPE_F16, 3, 3, 3, 2, 1, 1, {9, 7, 3, 2}},
                      Conv2DCase{"dw_f16_dilated", true, GGML_TYPE_F16, 4, 4, 3, 1, 2, 2, {6, 5, 4, 1}}),
    [](const ::testing::TestParamInfo<Conv2DCase>& info) { return std::string(info.param.label); });

// A view with width and height swapped gives the same values as its
// contiguous copy.
TEST(Conv2D, NonContiguousInputGivesTheSameValues) {
  for (bool depthwise : {false, true}) {
    SCOPED_TRACE(depthwise ? "Conv2DDW" : "Conv2D");
    const int channels = 2;
    const int64_t width = 7, height = 6, batch = 2;
    GgufWriter w;
    write_values(w, "conv.weight", GGML_TYPE_F16, {3, 3, depthwise ? 1 : channels, channels}, 64);
    write_values(w, "conv.bias", GGML_TYPE_F32, {channels}, 65);
    auto make = [&]() -> Module* {
      if (depthwise) return new Conv2DDW("conv", channels, channels, 3, 2, 1, 1);
      return new Conv2D("conv", channels, channels, 3, 2, 1, 1);
    };
    // x_t: [height, width, channels, batch]; x: its transpose [width, height, channels, batch]
    const std::vector<float> x_t =
        kestrix_test::random_floats(static_cast<size_t>(width * height * channels * batch), 66);
    std::vector<float> x(x_t.size());
    for (int64_t p = 0; p < channels * batch; ++p) {
      for (int64_t i = 0; i < height; ++i) {
        for (int64_t j = 0; j < width; ++j)
          x[j + width * (i + height * p)] = x_t[i + height * (j + width * p)];
      }
    }
    const std::array<int64_t, 4> out_ne = {4, 3, channels, batch};

    std::unique_ptr<Module> direct(make());
    LayerSession contiguous(*direct, w);
    contiguous.setup();
    const std::vector<float> expected = contiguous.run(x, {width, height, channels, batch}, out_ne);

    SequenceModule seq("seq");
    seq.modules = {new kestrix_test::TransposeView(), make()};
    LayerSession viewed(seq, w);
    viewed.setup();
    EXPECT_EQ(viewed.run(x_t, {height, width, channels, batch}, out_ne), expected);
  }
}

// ---------------------------------------------------------------------------
// LayerNorm

struct LayerNormCase {
  const char* label;
  std::array<int64_t, 4> shape;  // the layer's shape argument
  std::array<int64_t, 4> x_ne;
};

class LayerNormNumbers : public ::testing::TestWithParam<LayerNormCase> {};

TEST_P(LayerNormNumbers, MatchesDoubleReference) {
  const LayerNormCase c = GetParam();
  const int64_t shape[4] = {c.shape[0], c.shape[1], c.shape[2], c.shape[3]};
  for (const Target& target : kestrix_test::test_targets()) {
    SCOPED_TRACE(target.name);
    GgufWriter w;
    const std::vector<float> weight =
        write_values(w, "ln.weight", GGML_TYPE_F32, {shape[0], shape[1], shape[2]}, 71);
    const std::vector<float> bias = write_values(w, "ln.bias", GGML_TYPE_F32, {shape[0]}, 72);
    LayerNorm layer("ln", shape);
    LayerSession ls(layer, w, target);
    ls.setup();
    // The fourth extent of the shape is not used.
    EXPECT_EQ(extents(ls.session().model_container->get_tensor_by_name("ln.weight").tensor),
              (std::array<int64_t, 4>{shape[0], shape[1], shape[2], 1}));
    EXPECT_EQ(extents(ls.session().model_container->get_tensor_by_name("ln.bias").tensor),
              (std::array<int64_t, 4>{shape[0], 1, 1, 1}));

    const int64_t n0 = c.x_ne[0];
    const int64_t rows = c.x_ne[1] * c.x_ne[2] * c.x_ne[3];
    // An offset mean makes the centring matter.
    std::vector<float> x = kestrix_test::random_floats(static_cast<size_t>(n0 * rows), 73, 2.0f);
    for (float& v : x) v += 0.75f;
    const std::vector<float> y = ls.run(x, {c.x_ne[0], c.x_ne[1], c.x_ne[2], c.x_ne[3]}, c.x_ne);

    // ggml_norm sums the row for its mean and the squared deviations for its
    // variance; with F32 accumulation (as Accelerate does) each sum of n terms
    // is off by up to (n + 1) u of the sum of magnitudes. A mean off by dm
    // moves every output by dm * scale * |w|; a variance off by the relative
    // dv moves it by |x - mean| * scale * |w| * dv / 2. The centring, the
    // scale 1/sqrt(var + eps), the scaling and the affine step add a few u
    // each, on |x - mean| + |mean| (the rounded mean), and the bias add one.
    std::vector<double> expected, tolerance;
    for (int64_t r = 0; r < rows; ++r) {
      const int64_t i1 = r % c.x_ne[1], i2 = (r / c.x_ne[1]) % c.x_ne[2];
      const float* xr = &x[static_cast<size_t>(r * n0)];
      double mean = 0, mean_abs = 0, var = 0;
      for (int64_t i = 0; i < n0; ++i) {
        mean += xr[i];
        mean_abs += std::fabs(xr[i]);
      }
      mean /= n0;
      mean_abs /= n0;
      for (int64_t i = 0; i < n0; ++i) var += (xr[i] - mean) * (xr[i] - mean);
      var /= n0;
      const double scale = 1.0 / std::sqrt(var + static_cast<double>(1e-5f));
      const double sum_error = (n0 + 1) * kUnitF32;
      for (int64_t i = 0; i < n0; ++i) {
        const double wv =
            weight[static_cast<size_t>(i + shape[0] * ((i1 % shape[1]) + shape[1] * (i2 % shape[2])))];
        const double bv = bias[static_cast<size_t>(i)];
        const double dev = std::fabs(xr[i] - mean);
        expected.push_back((xr[i] - mean) * scale * wv + bv);
        tolerance.push_back(scale * std::fabs(wv) *
                                (16 * kUnitF32 * (dev + std::fabs(mean)) + sum_error * (mean_abs + dev / 2)) +
                            16 * kUnitF32 * std::fabs(bv));
      }
    }
    kestrix_test::expect_within(y, expected, tolerance);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, LayerNormNumbers,
    ::testing::Values(LayerNormCase{"vector", {16, 1, 1, 1}, {16, 5, 2, 1}},
                      LayerNormCase{"per_row_weight", {8, 3, 1, 1}, {8, 3, 2, 1}},
                      LayerNormCase{"fourth_extent_unused", {256, 1, 1, 7}, {256, 3, 1, 1}}),
    [](const ::testing::TestParamInfo<LayerNormCase>& info) { return std::string(info.param.label); });

// A transposed view (as a block hands on [time, d] activations as [d, time])
// gives the same values as its contiguous copy.
TEST(LayerNorm, NonContiguousInputGivesTheSameValues) {
  const int64_t d = 8, time = 5;
  const int64_t shape[4] = {d, 1, 1, 1};
  GgufWriter w;
  write_values(w, "ln.weight", GGML_TYPE_F32, {d}, 74);
  write_values(w, "ln.bias", GGML_TYPE_F32, {d}, 75);
  // x_t: [time, d]; x: its transpose [d, time]
  const std::vector<float> x_t = kestrix_test::random_floats(static_cast<size_t>(d * time), 76);
  std::vector<float> x(x_t.size());
  for (int64_t i = 0; i < d; ++i) {
    for (int64_t t = 0; t < time; ++t) x[i + d * t] = x_t[t + time * i];
  }
  LayerNorm direct("ln", shape);
  LayerSession contiguous(direct, w);
  contiguous.setup();
  const std::vector<float> expected = contiguous.run(x, {d, time}, {d, time, 1, 1});

  SequenceModule seq("seq");
  seq.modules = {new kestrix_test::TransposeView(), new LayerNorm("ln", shape)};
  LayerSession viewed(seq, w);
  viewed.setup();
  EXPECT_EQ(viewed.run(x_t, {time, d}, {d, time, 1, 1}), expected);
}

// ---------------------------------------------------------------------------
// BatchNorm1d

TEST(BatchNorm1d, MatchesDoubleReferenceWithRunTimeEps) {
  const int channels = 4;
  const int64_t time = 6, batch = 3;
  for (const Target& target : kestrix_test::test_targets()) {
    SCOPED_TRACE(target.name);
    GgufWriter w;
    const std::vector<float> weight = write_values(w, "bn.weight", GGML_TYPE_F32, {channels}, 81);
    const std::vector<float> bias = write_values(w, "bn.bias", GGML_TYPE_F32, {channels}, 82);
    const std::vector<float> mean = write_values(w, "bn.running_mean", GGML_TYPE_F32, {channels}, 83, 0.01f);
    // Variances of the order of eps, so that a wrong eps shows.
    std::vector<float> var = kestrix_test::random_floats(channels, 84, 2e-5f);
    for (float& v : var) v += 2e-5f;
    w.add_tensor_f32("bn.running_var", {channels}, var);
    w.add_tensor_f32("bn.eps", {1}, {0.5f});  // never read
    BatchNorm1d layer("bn", channels, true);
    LayerSession ls(layer, w, target);
    ls.setup();

    float eps = 0;
    ls.session().read_model_tensor("bn.eps", &eps, sizeof(eps));
    EXPECT_EQ(eps, 1e-5f);
    for (const char* name : {"bn.weight", "bn.bias", "bn.running_mean", "bn.running_var"}) {
      EXPECT_EQ(extents(ls.session().model_container->get_tensor_by_name(name).tensor),
                (std::array<int64_t, 4>{1, channels, 1, 1}))
          << name;
    }

    const std::vector<float> x =
        kestrix_test::random_floats(static_cast<size_t>(time * channels * batch), 85, 0.01f);
    const std::vector<float> y = ls.run(x, {time, channels, batch}, {time, channels, batch, 1});
    // Six F32 operations: x - mean, var + eps, sqrt, division, scale, shift.
    std::vector<double> expected, tolerance;
    for (int64_t n = 0; n < batch; ++n) {
      for (int ch = 0; ch < channels; ++ch) {
        const double sd = std::sqrt(static_cast<double>(var[ch]) + static_cast<double>(1e-5f));
        for (int64_t t = 0; t < time; ++t) {
          const double xv = x[static_cast<size_t>(t + time * (ch + channels * n))];
          const double normed = (xv - mean[ch]) / sd * weight[ch];
          expected.push_back(normed + bias[ch]);
          tolerance.push_back(8 * kUnitF32 * (std::fabs(normed) + std::fabs(bias[ch])));
        }
      }
    }
    kestrix_test::expect_within(y, expected, tolerance);
  }
}

// A transposed view (a block handing on [channels, time] activations as
// [time, channels]) gives the same values as its contiguous copy, for the
// layers whose ggml operations read rows of adjacent elements.
TEST(BatchNorm1dAndReLU, NonContiguousInputGivesTheSameValues) {
  const int channels = 4;
  const int64_t time = 6, batch = 2;
  GgufWriter w;
  write_values(w, "bn.weight", GGML_TYPE_F32, {channels}, 86);
  write_values(w, "bn.bias", GGML_TYPE_F32, {channels}, 87);
  write_values(w, "bn.running_mean", GGML_TYPE_F32, {channels}, 88);
  std::vector<float> var = kestrix_test::random_floats(channels, 89, 0.5f);
  for (float& v : var) v += 1.0f;
  w.add_tensor_f32("bn.running_var", {channels}, var);
  // x_t: [channels, time, batch]; x: its transpose [time, channels, batch]
  const std::vector<float> x_t =
      kestrix_test::random_floats(static_cast<size_t>(channels * time * batch), 90);
  std::vector<float> x(x_t.size());
  for (int64_t n = 0; n < batch; ++n) {
    for (int c = 0; c < channels; ++c) {
      for (int64_t t = 0; t < time; ++t)
        x[t + time * (c + channels * n)] = x_t[c + channels * (t + time * n)];
    }
  }
  const std::array<int64_t, 4> out_ne = {time, channels, batch, 1};
  for (bool relu : {false, true}) {
    SCOPED_TRACE(relu ? "ReLU" : "BatchNorm1d");
    auto make = [&]() -> Module* {
      if (relu) return new ReLU("act");
      return new BatchNorm1d("bn", channels, true);
    };
    std::unique_ptr<Module> direct(make());
    LayerSession contiguous(*direct, w);
    contiguous.setup();
    const std::vector<float> expected = contiguous.run(x, {time, channels, batch}, out_ne);

    SequenceModule seq("seq");
    seq.modules = {new kestrix_test::TransposeView(), make()};
    LayerSession viewed(seq, w);
    viewed.setup();
    EXPECT_EQ(viewed.run(x_t, {channels, time, batch}, out_ne), expected);
  }
}

// ---------------------------------------------------------------------------
// ReLU and SequenceModule

TEST(ReLU, ClampsNegativesExactly) {
  GgufWriter w;
  ReLU layer("act");
  LayerSession ls(layer, w);
  ls.setup();
  std::vector<float> x = kestrix_test::random_floats(24, 91);
  x[3] = 0.0f;
  x[4] = -0.0f;
  const std::vector<float> y = ls.run(x, {6, 4}, {6, 4, 1, 1});
  for (size_t i = 0; i < x.size(); ++i) EXPECT_EQ(y[i], x[i] > 0 ? x[i] : 0.0f) << i;
}

TEST(SequenceModule, LinearReluLinearMatchesComposedReference) {
  GgufWriter w;
  const std::vector<float> w1 = write_values(w, "seq.0.weight", GGML_TYPE_F32, {8, 6}, 101);
  const std::vector<float> b1 = write_values(w, "seq.0.bias", GGML_TYPE_F32, {6}, 102);
  const std::vector<float> w2 = write_values(w, "seq.2.weight", GGML_TYPE_F32, {6, 3}, 103);
  const std::vector<float> b2 = write_values(w, "seq.2.bias", GGML_TYPE_F32, {3}, 104);
  SequenceModule seq("seq");
  seq.modules.push_back(new Linear("seq.0", 8, 6, true));
  seq.modules.push_back(new ReLU("seq.1"));
  seq.modules.push_back(new Linear("seq.2", 6, 3, true));
  LayerSession ls(seq, w);
  ls.setup();
  const std::vector<float> x = kestrix_test::random_floats(8 * 5, 105);
  const std::vector<float> y = ls.run(x, {8, 5}, {3, 5, 1, 1});

  // The first product's bound passes through the 1-Lipschitz ReLU and is
  // weighted by |w2| in the second product.
  std::vector<double> expected, tolerance;
  for (int r = 0; r < 5; ++r) {
    std::vector<double> h(6), h_err(6);
    for (int o = 0; o < 6; ++o) {
      DotSum s;
      for (int k = 0; k < 8; ++k) s.add(w1[o * 8 + k], x[r * 8 + k]);
      h[o] = std::fmax(s.sum + b1[o], 0.0);
      h_err[o] = kestrix_test::dot_tolerance(s, b1[o], DotPrecision{});
    }
    for (int o = 0; o < 3; ++o) {
      DotSum s;
      double carried = 0;
      for (int k = 0; k < 6; ++k) {
        s.add(w2[o * 6 + k], h[k]);
        carried += std::fabs(w2[o * 6 + k]) * h_err[k];
      }
      expected.push_back(s.sum + b2[o]);
      tolerance.push_back(kestrix_test::dot_tolerance(s, b2[o], DotPrecision{}) + 1.01 * carried);
    }
  }
  kestrix_test::expect_within(y, expected, tolerance);
}

// A child that records its calls and its destruction into a shared log.
class LoggingChild : public Module {
 public:
  LoggingChild(std::string id, std::vector<std::string>* log, int outputs)
      : id_(id), log_(log), outputs_(outputs) {}
  ~LoggingChild() override { log_->push_back("delete " + id_); }
  void define_tensors(Session*) override { log_->push_back("define " + id_); }
  void set_data(Session*) override { log_->push_back("fill " + id_); }
  TensorBag build_graph(Session*, TensorBag inputs, TensorContainer* run_container) override {
    log_->push_back("build " + id_ + " with " + std::to_string(inputs.tensor_count()));
    received = inputs;
    // Returns `outputs_` entries, each a new node over entry 0.
    TensorBag out;
    const ggml_runtime::ggml_bf_tensor x = inputs.get_tensor(0);
    for (int i = 0; i < outputs_; ++i) {
      out.add_tensor({ggml_scale(run_container->get_ctx_of_buffer_type(x.buft).ctx, x.tensor, 2.0f), x.buft});
    }
    produced = out;
    return out;
  }
  TensorBag received, produced;

 private:
  std::string id_;
  std::vector<std::string>* log_;
  int outputs_;
};

TEST(SequenceModule, PassesWholeBagsInOrderAndDeletesChildrenFirstToLast) {
  std::vector<std::string> log;
  GgufWriter w;
  auto seq = std::make_unique<SequenceModule>("seq");
  auto* a = new LoggingChild("a", &log, 2);
  auto* b = new LoggingChild("b", &log, 1);
  seq->modules = {a, b};
  LayerSession ls(*seq, w);
  ls.setup();

  DirectBuild build(ls.manager());
  const TensorBag input = build.input({4, 1, 1, 1}, DirectBuild::foreign_label());
  const TensorBag result = seq->build_graph(&ls.session(), input, &build.container);
  EXPECT_EQ(a->received.tensors.size(), 1u);
  EXPECT_EQ(a->received.get_tensor(0).tensor, input.get_tensor(0).tensor);
  // b gets both of a's entries; the result is b's bag.
  ASSERT_EQ(b->received.tensor_count(), 2u);
  EXPECT_EQ(b->received.get_tensor(1).tensor, a->produced.get_tensor(1).tensor);
  ASSERT_EQ(result.tensor_count(), 1u);
  EXPECT_EQ(result.get_tensor(0).tensor, b->produced.get_tensor(0).tensor);

  seq.reset();
  EXPECT_EQ(log, (std::vector<std::string>{"define a", "define b", "fill a", "fill b", "build a with 1",
                                           "build b with 2", "delete a", "delete b"}));
}

TEST(SequenceModule, WithoutChildrenReturnsAnEmptyBag) {
  auto manager = std::make_unique<ggml_runtime::BackendManager>(ggml_runtime::Params{});
  SequenceModule seq("seq");
  DirectBuild build(*manager);
  EXPECT_EQ(
      seq.build_graph(nullptr, build.input({4, 1, 1, 1}, DirectBuild::foreign_label()), &build.container)
          .tensor_count(),
      0u);
}

// ---------------------------------------------------------------------------
// Buffer types of the outputs

TEST(ConvNormLayers, OutputBufferTypes) {
  GgufWriter w;
  write_values(w, "conv.weight", GGML_TYPE_F32, {3, 3, 2, 4}, 1);
  write_values(w, "conv.bias", GGML_TYPE_F32, {4}, 2);
  write_values(w, "dw.weight", GGML_TYPE_F16, {3, 3, 1, 2}, 3);
  write_values(w, "dw.bias", GGML_TYPE_F32, {2}, 4);
  write_values(w, "ln.weight", GGML_TYPE_F32, {8}, 5);
  write_values(w, "ln.bias", GGML_TYPE_F32, {8}, 6);
  for (const char* n : {"bn.weight", "bn.bias", "bn.running_mean", "bn.running_var"}) {
    write_values(w, n, GGML_TYPE_F32, {8}, 7);
  }
  const int64_t ln_shape[4] = {8, 1, 1, 1};
  SequenceModule all("all");  // holds the layers; its own graph is not used
  auto* conv = new Conv2D("conv", 2, 4, 3, 1, 1, 1);
  auto* dw = new Conv2DDW("dw", 2, 2, 3, 1, 1, 1);
  auto* ln = new LayerNorm("ln", ln_shape);
  auto* bn = new BatchNorm1d("bn", 8, true);
  auto* relu = new ReLU("relu");
  all.modules = {conv, dw, ln, bn, relu};
  LayerSession ls(all, w);
  ls.setup();
  const ggml_backend_buffer_type_t weight_buft =
      ls.session().model_container->get_tensor_by_name("ln.weight").buft;
  const ggml_backend_buffer_type_t label = DirectBuild::foreign_label();

  struct Case {
    Module* layer;
    std::array<int64_t, 4> x_ne;
    ggml_backend_buffer_type_t expected;
  };
  for (const Case& c : {Case{conv, {6, 5, 2, 2}, weight_buft}, Case{dw, {6, 5, 2, 2}, weight_buft},
                        Case{ln, {8, 3, 1, 1}, weight_buft}, Case{bn, {5, 8, 2, 1}, label},
                        Case{relu, {5, 8, 2, 1}, label}}) {
    DirectBuild b(ls.manager());
    TensorBag out = c.layer->build_graph(&ls.session(), b.input(c.x_ne, label), &b.container);
    ASSERT_EQ(out.tensor_count(), 1u);
    EXPECT_EQ(out.get_tensor(0).buft, c.expected);
    EXPECT_TRUE(b.created_in(out.get_tensor(0).tensor, c.expected));
  }
}

// ---------------------------------------------------------------------------
// Error paths

class ConvNormSetupErrors : public ::testing::TestWithParam<SetupErrorCase> {};

TEST_P(ConvNormSetupErrors, Message) { kestrix_test::expect_setup_error(GetParam()); }

void write_q8_0(GgufWriter& w, const std::string& name) {
  w.add_tensor(name, GGML_TYPE_Q8_0, {32, 1}, kestrix_test::q8_0_weights(32, 1, 1).bytes);
}

Module* make_conv() { return new Conv2D("conv", 2, 3, 3, 1, 1, 1); }
Module* make_dw() { return new Conv2DDW("dw", 3, 3, 3, 1, 1, 1); }
Module* make_ln() {
  const int64_t shape[4] = {4, 1, 1, 1};
  return new LayerNorm("ln", shape);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConvNormSetupErrors,
    ::testing::Values(
        SetupErrorCase{"conv2d_q8_0",
                       make_conv,
                       [](GgufWriter& w) { write_q8_0(w, "conv.weight"); },
                       "Conv2D requires F16, BF16, or F32 weights: conv.weight",
                       {}},
        SetupErrorCase{"conv2ddw_q8_0",
                       make_dw,
                       [](GgufWriter& w) { write_q8_0(w, "dw.weight"); },
                       "Conv2DDW requires F16, BF16, or F32 weights: dw.weight",
                       {}},
        // Combinations that ggml's CPU backend cannot compute.
        SetupErrorCase{
            "conv2ddw_f32",
            make_dw,
            [](GgufWriter& w) {
              write_values(w, "dw.weight", GGML_TYPE_F32, {3, 3, 1, 3}, 1);
            },
            "Conv2DDW weight dw.weight has type f32, which ggml's CPU backend cannot convolve (only f16 "
            "depthwise kernels)",
            {}},
        SetupErrorCase{
            "conv2ddw_bf16",
            make_dw,
            [](GgufWriter& w) {
              write_values(w, "dw.weight", GGML_TYPE_BF16, {3, 3, 1, 3}, 1);
            },
            "Conv2DDW weight dw.weight has type bf16, which ggml's CPU backend cannot convolve (only f16 "
            "depthwise kernels)",
            {}},
        SetupErrorCase{"conv2d_weight_missing",
                       make_conv,
                       [](GgufWriter& w) { write_values(w, "conv.bias", GGML_TYPE_F32, {3}, 1); },
                       "Tensor not found: conv.weight",
                       {}},
        SetupErrorCase{"conv2d_bias_missing",
                       make_conv,
                       [](GgufWriter& w) {
                         write_values(w, "conv.weight", GGML_TYPE_F32, {3, 3, 2, 3}, 1);
                       },
                       "Tensor not found: conv.bias",
                       {"conv.weight"}},
        SetupErrorCase{
            "conv2d_bias_f16",
            make_conv,
            [](GgufWriter& w) {
              write_values(w, "conv.weight", GGML_TYPE_F32, {3, 3, 2, 3}, 1);
              write_values(w, "conv.bias", GGML_TYPE_F16, {3}, 2);
            },
            "load_weight(conv.bias): cannot load on-disk dtype 1 into in-memory dtype 0 (only same-dtype "
            "copy or F32->F16 convert supported)",
            {"conv.weight", "conv.bias"}},
        SetupErrorCase{"layer_norm_weight_f16",
                       make_ln,
                       [](GgufWriter& w) {
                         write_values(w, "ln.weight", GGML_TYPE_F16, {4}, 1);
                         write_values(w, "ln.bias", GGML_TYPE_F32, {4}, 2);
                       },
                       "layer norm(ln) weight ln.weight or bias ln.bias is not f32 (got types 1/0)",
                       {}},
        SetupErrorCase{"layer_norm_bias_missing",
                       make_ln,
                       [](GgufWriter& w) { write_values(w, "ln.weight", GGML_TYPE_F32, {4}, 1); },
                       "Tensor not found: ln.bias",
                       {}},
        SetupErrorCase{"batch_norm_not_affine",
                       [] { return new BatchNorm1d("bn", 4, false); },
                       [](GgufWriter&) {},
                       "BatchNorm1d without affine is not supported",
                       {}},
        SetupErrorCase{"batch_norm_var_missing",
                       [] { return new BatchNorm1d("bn", 4, true); },
                       [](GgufWriter& w) {
                         for (const char* n : {"bn.weight", "bn.bias", "bn.running_mean"}) {
                           write_values(w, n, GGML_TYPE_F32, {4}, 1);
                         }
                       },
                       "Tensor not found: bn.running_var",
                       {"bn.weight", "bn.bias", "bn.running_mean"}},
        SetupErrorCase{
            "batch_norm_mean_f16",
            [] { return new BatchNorm1d("bn", 4, true); },
            [](GgufWriter& w) {
              for (const char* n : {"bn.weight", "bn.bias", "bn.running_var"}) {
                write_values(w, n, GGML_TYPE_F32, {4}, 1);
              }
              write_values(w, "bn.running_mean", GGML_TYPE_F16, {4}, 1);
            },
            "load_weight(bn.running_mean): cannot load on-disk dtype 1 into in-memory dtype 0 (only "
            "same-dtype copy or F32->F16 convert supported)",
            {"bn.weight", "bn.bias", "bn.running_mean"}}),
    [](const ::testing::TestParamInfo<SetupErrorCase>& info) { return std::string(info.param.label); });

TEST(ConvNormLayers, ActivationTypesTheCpuCannotComputeAreRefusedWhenTheGraphIsBuilt) {
  GgufWriter w;
  write_values(w, "conv.weight", GGML_TYPE_F16, {3, 3, 2, 3}, 1);
  write_values(w, "conv.bias", GGML_TYPE_F32, {3}, 2);
  write_values(w, "ln.weight", GGML_TYPE_F32, {6}, 3);
  write_values(w, "ln.bias", GGML_TYPE_F32, {6}, 4);
  const int64_t shape[4] = {6, 1, 1, 1};
  Conv2D conv("conv", 2, 3, 3, 1, 1, 1);
  LayerNorm ln("ln", shape);
  const std::vector<float> x(6 * 5 * 2, 0.25f);
  {
    LayerSession ls(conv, w);
    ls.setup();
    EXPECT_EQ(kestrix_test::error_text([&] {
                ls.run(x, {6, 5, 2, 1}, {6, 5, 3, 1}, GGML_TYPE_BF16);
              }),
              "Conv2D(conv) cannot convolve a bf16 input on ggml's CPU backend (f32 needed)");
  }
  {
    LayerSession ls(ln, w);
    ls.setup();
    EXPECT_EQ(kestrix_test::error_text([&] {
                ls.run(x, {6, 10}, {6, 10, 1, 1}, GGML_TYPE_BF16);
              }),
              "layer norm(ln) cannot normalise a bf16 input on ggml's CPU backend (f32 needed)");
  }
}

TEST(ConvNormLayers, ConstructorArguments) {
  using kestrix_test::error_text;
  EXPECT_EQ(error_text([] { Conv2D("c", 2, 3, 0, 1, 0, 1); }), "Conv2D(c): kernel must be positive, got 0");
  EXPECT_EQ(error_text([] { Conv2DDW("d", 2, 3, 3, 1, 0, 1); }),
            "Conv2DDW(d): in_channels (2) must equal out_channels (3)");
  EXPECT_EQ(error_text([] { Conv2DDW("d", 2, 2, 3, 1, -2, 1); }),
            "Conv2DDW(d): padding must not be negative, got -2");
  const int64_t bad_shape[4] = {0, 1, 1, 1};
  EXPECT_EQ(error_text([&] { LayerNorm("ln", bad_shape); }),
            "LayerNorm(ln): shape[0] must be positive, got 0");
  EXPECT_EQ(error_text([] { BatchNorm1d("bn", 0, true); }),
            "BatchNorm1d(bn): num_features must be positive, got 0");
  // Without affine the layer is built; it fails only when declared.
  EXPECT_NO_THROW(BatchNorm1d("bn", 4, false));
}

}  // namespace
