// What ggml's CPU backend computes, probed operation by operation: the record
// behind the layers' type rules. A combination marked as running computes; one
// marked as not stops the process in ggml (checked in a death test). The
// rules of cpu_supports_mul_mat / cpu_supports_im2col and the layers' set-up
// checks must agree with the record. When a ggml update changes a line here,
// the layers' refusals can change with it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ggml-alloc.h"
#include "ggml-backend.h"
#include "ggml-cpp.h"
#include "ggml-cpu.h"
#include "ggml.h"
#include "runtime/ggml/layers.h"
#include "runtime/ggml/layers_test_support.h"

namespace {

using MakeGraph = std::function<ggml_tensor*(ggml_context*)>;

// Death-test children re-run the binary (and this setting) from the start.
void prepare_death_tests() {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  setenv("GGML_NO_BACKTRACE", "1", 1);
}

// ggml's own stops: a failed assertion or an abort for a missing kernel.
constexpr const char* kGgmlStop = "GGML_ASSERT|fatal error";

struct CpuGraph {
  explicit CpuGraph(const MakeGraph& make)
      : ctx(ggml_init({16u << 20, nullptr, true})), cpu(ggml_backend_cpu_init()) {
    out = make(ctx.get());
    graph = ggml_new_graph(ctx.get());
    ggml_build_forward_expand(graph, out);
    buffer.reset(ggml_backend_alloc_ctx_tensors(ctx.get(), cpu.get()));
    ggml_backend_buffer_clear(buffer.get(), 0);
  }
  bool compute() { return ggml_backend_graph_compute(cpu.get(), graph) == GGML_STATUS_SUCCESS; }
  bool supports_every_node() {
    for (int i = 0; i < ggml_graph_n_nodes(graph); ++i) {
      if (!ggml_backend_supports_op(cpu.get(), ggml_graph_node(graph, i))) return false;
    }
    return true;
  }

  std::unique_ptr<ggml_context, ggml_context_deleter> ctx;
  std::unique_ptr<ggml_backend, ggml_backend_deleter> cpu;
  std::unique_ptr<ggml_backend_buffer, ggml_backend_buffer_deleter> buffer;
  ggml_tensor* out = nullptr;
  ggml_cgraph* graph = nullptr;
};

bool computes(const MakeGraph& make) { return CpuGraph(make).compute(); }

// Expects the graph to compute, or to stop the process inside ggml.
void expect_outcome(const MakeGraph& make, bool runs) {
  if (runs) {
    EXPECT_TRUE(computes(make));
  } else {
    EXPECT_DEATH(computes(make), kGgmlStop);
  }
}

std::string type_label(ggml_type t) { return ggml_type_name(t); }

// ---------------------------------------------------------------------------
// Matrix products: weight (src0) x activations (src1)

struct MulMatProbe {
  ggml_type weight, input;
  bool runs;
};

// ggml 0.15.1, CPU backend.
const MulMatProbe kMulMat[] = {
    {GGML_TYPE_F32, GGML_TYPE_F32, true},   {GGML_TYPE_F32, GGML_TYPE_F16, false},
    {GGML_TYPE_F32, GGML_TYPE_BF16, false}, {GGML_TYPE_F16, GGML_TYPE_F32, true},
    {GGML_TYPE_F16, GGML_TYPE_F16, true},   {GGML_TYPE_F16, GGML_TYPE_BF16, false},
    {GGML_TYPE_BF16, GGML_TYPE_F32, true},  {GGML_TYPE_BF16, GGML_TYPE_F16, false},
    {GGML_TYPE_BF16, GGML_TYPE_BF16, true}, {GGML_TYPE_Q8_0, GGML_TYPE_F32, true},
    {GGML_TYPE_Q8_0, GGML_TYPE_F16, false}, {GGML_TYPE_Q8_0, GGML_TYPE_BF16, false},
    {GGML_TYPE_Q4_0, GGML_TYPE_F32, true},  {GGML_TYPE_Q4_0, GGML_TYPE_BF16, false},
    {GGML_TYPE_Q4_K, GGML_TYPE_F32, true},  {GGML_TYPE_Q4_K, GGML_TYPE_F16, false},
};

MakeGraph mul_mat_graph(ggml_type weight, ggml_type input) {
  return [=](ggml_context* ctx) {
    // weight: [256, 4]; activations: [256, 3] -> [4, 3]
    return ggml_mul_mat(ctx, ggml_new_tensor_2d(ctx, weight, 256, 4), ggml_new_tensor_2d(ctx, input, 256, 3));
  };
}

TEST(CpuProbeDeathTest, MatrixProducts) {
  prepare_death_tests();
  for (const MulMatProbe& p : kMulMat) {
    SCOPED_TRACE(type_label(p.weight) + " x " + type_label(p.input));
    EXPECT_EQ(ggml_runtime::cpu_supports_mul_mat(p.weight, p.input), p.runs);
    // For the matrix product the backend's own claim is right.
    EXPECT_EQ(CpuGraph(mul_mat_graph(p.weight, p.input)).supports_every_node(), p.runs);
    expect_outcome(mul_mat_graph(p.weight, p.input), p.runs);
  }
}

TEST(CpuProbe, TypesWithoutADotProductAreNotMultiplied) {
  EXPECT_FALSE(ggml_runtime::cpu_supports_mul_mat(GGML_TYPE_I32, GGML_TYPE_F32));
  EXPECT_FALSE(ggml_runtime::cpu_supports_mul_mat(GGML_TYPE_I8, GGML_TYPE_F32));
  EXPECT_FALSE(ggml_runtime::cpu_supports_mul_mat(GGML_TYPE_COUNT, GGML_TYPE_F32));
}

// ---------------------------------------------------------------------------
// im2col: kernel tensor (its extents and, for F16 output, its type), image, output type

struct Im2colProbe {
  ggml_type kernel, input, dst;
  bool runs;
};

const Im2colProbe kIm2col[] = {
    {GGML_TYPE_F32, GGML_TYPE_F32, GGML_TYPE_F32, true},
    {GGML_TYPE_F16, GGML_TYPE_F32, GGML_TYPE_F32, true},
    {GGML_TYPE_BF16, GGML_TYPE_F32, GGML_TYPE_F32, true},
    {GGML_TYPE_F32, GGML_TYPE_F16, GGML_TYPE_F32, false},
    {GGML_TYPE_F16, GGML_TYPE_F32, GGML_TYPE_F16, true},
    {GGML_TYPE_F16, GGML_TYPE_F16, GGML_TYPE_F16, true},
    {GGML_TYPE_F32, GGML_TYPE_F32, GGML_TYPE_F16, false},
    {GGML_TYPE_BF16, GGML_TYPE_F32, GGML_TYPE_F16, false},
    {GGML_TYPE_BF16, GGML_TYPE_F32, GGML_TYPE_BF16, false},
    {GGML_TYPE_F32, GGML_TYPE_F32, GGML_TYPE_BF16, false},
    {GGML_TYPE_F16, GGML_TYPE_BF16, GGML_TYPE_F16, false},
};

MakeGraph im2col_graph(ggml_type kernel, ggml_type input, ggml_type dst) {
  return [=](ggml_context* ctx) {
    // kernel: [3, 3, 2, 4]; image: [9, 8, 2, 2]
    return ggml_im2col(ctx, ggml_new_tensor_4d(ctx, kernel, 3, 3, 2, 4),
                       ggml_new_tensor_4d(ctx, input, 9, 8, 2, 2), 1, 1, 1, 1, 1, 1, true, dst);
  };
}

TEST(CpuProbeDeathTest, Im2col) {
  prepare_death_tests();
  for (const Im2colProbe& p : kIm2col) {
    SCOPED_TRACE(type_label(p.kernel) + " kernel, " + type_label(p.input) + " image -> " + type_label(p.dst));
    EXPECT_EQ(ggml_runtime::cpu_supports_im2col(p.kernel, p.input, p.dst), p.runs);
    // The backend claims every im2col, so the layers cannot ask it.
    EXPECT_TRUE(CpuGraph(im2col_graph(p.kernel, p.input, p.dst)).supports_every_node());
    expect_outcome(im2col_graph(p.kernel, p.input, p.dst), p.runs);
  }
}

// ---------------------------------------------------------------------------
// The 2-D convolution graphs per weight type, and what the layers accept

struct ConvProbe {
  bool depthwise;
  ggml_type weight;
  bool runs;        // ggml's own graph for this kernel type
  bool layer_runs;  // the layer (Conv2D widens a BF16 kernel to F32 itself)
};

const ConvProbe kConv2d[] = {
    {false, GGML_TYPE_F32, true, true},   {false, GGML_TYPE_F16, true, true},
    {false, GGML_TYPE_BF16, false, true}, {true, GGML_TYPE_F32, false, false},
    {true, GGML_TYPE_F16, true, true},    {true, GGML_TYPE_BF16, false, false},
};

MakeGraph conv2d_graph(bool depthwise, ggml_type weight) {
  return [=](ggml_context* ctx) {
    // image: [9, 8, 2, 2]
    ggml_tensor* x = ggml_new_tensor_4d(ctx, GGML_TYPE_F32, 9, 8, 2, 2);
    if (depthwise)
      return ggml_conv_2d_dw(ctx, ggml_new_tensor_4d(ctx, weight, 3, 3, 1, 2), x, 2, 2, 1, 1, 1, 1);
    return ggml_conv_2d(ctx, ggml_new_tensor_4d(ctx, weight, 3, 3, 2, 4), x, 2, 2, 1, 1, 1, 1);
  };
}

TEST(CpuProbeDeathTest, Conv2dGraphsAndTheLayersThatRefuseThem) {
  prepare_death_tests();
  for (const ConvProbe& p : kConv2d) {
    SCOPED_TRACE(std::string(p.depthwise ? "conv_2d_dw " : "conv_2d ") + type_label(p.weight));
    expect_outcome(conv2d_graph(p.depthwise, p.weight), p.runs);

    // The layer sets up exactly when the graph it builds can run.
    kestrix_test::GgufWriter w;
    const int64_t channels = p.depthwise ? 1 : 2;
    w.add_tensor_from_f32("conv.weight", p.weight, {3, 3, channels, 2},
                          std::vector<float>(9 * channels * 2, 0.5f));
    w.add_tensor_f32("conv.bias", {2}, {0.0f, 0.0f});
    std::unique_ptr<ggml_runtime::Module> layer;
    if (p.depthwise) {
      layer = std::make_unique<ggml_runtime::Conv2DDW>("conv", 2, 2, 3, 2, 1, 1);
    } else {
      layer = std::make_unique<ggml_runtime::Conv2D>("conv", 2, 2, 3, 2, 1, 1);
    }
    kestrix_test::LayerSession ls(*layer, w);
    if (p.layer_runs) {
      EXPECT_NO_THROW(ls.setup());
    } else {
      EXPECT_THROW(ls.setup(), std::runtime_error);
    }
  }
}

// ---------------------------------------------------------------------------
// ggml_conv_1d over a batch

// ggml_conv_1d multiplies its [in * kernel, time' * batch] columns with the
// kernel into [time' * batch, out] and relabels that [time', out, batch]:
// right for one batch item, items and channels mixed for more. This is why
// the batched regular Conv1D regroups its product itself.
TEST(CpuProbe, GgmlConv1dMixesBatchItemsAndChannels) {
  const int kernel = 3, in = 2, out = 3, time = 7, batch = 2;
  std::vector<float> w(kernel * in * out), x(time * in * batch);
  for (size_t i = 0; i < w.size(); ++i) w[i] = static_cast<float>(static_cast<int>(i % 5) - 2);
  for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(static_cast<int>(i % 7) - 3);
  ggml_tensor* wt = nullptr;
  ggml_tensor* xt = nullptr;
  CpuGraph g([&](ggml_context* ctx) {
    wt = ggml_new_tensor_3d(ctx, GGML_TYPE_F16, kernel, in, out);  // [kernel, in, out]
    xt = ggml_new_tensor_3d(ctx, GGML_TYPE_F32, time, in, batch);  // [time, in, batch]
    return ggml_conv_1d(ctx, wt, xt, 1, 1, 1);                     // [time, out, batch]
  });
  std::vector<ggml_fp16_t> wh(w.size());
  ggml_fp32_to_fp16_row(w.data(), wh.data(), static_cast<int64_t>(w.size()));
  ggml_backend_tensor_set(wt, wh.data(), 0, ggml_nbytes(wt));
  ggml_backend_tensor_set(xt, x.data(), 0, ggml_nbytes(xt));
  ASSERT_TRUE(g.compute());
  std::vector<float> y(static_cast<size_t>(ggml_nelements(g.out)));
  ggml_backend_tensor_get(g.out, y.data(), 0, ggml_nbytes(g.out));

  // Small integers: every product and sum is exact, so any difference is layout.
  int wrong = 0;
  for (int n = 0; n < batch; ++n) {
    for (int oc = 0; oc < out; ++oc) {
      for (int t = 0; t < time; ++t) {
        double acc = 0;
        for (int ic = 0; ic < in; ++ic) {
          for (int k = 0; k < kernel; ++k) {
            const int ti = t - 1 + k;
            if (ti >= 0 && ti < time) acc += w[k + kernel * (ic + in * oc)] * x[ti + time * (ic + in * n)];
          }
        }
        if (y[t + time * (oc + out * n)] != acc) ++wrong;
      }
    }
  }
  EXPECT_GT(wrong, 0);
}

}  // namespace
