// Shared pieces of the layer tests: a session over one layer and a tiny GGUF
// file, the backends to run on, error capture, and the error bounds of ggml's
// dot products.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ggml-backend.h"
#include "ggml.h"
#include "runtime/ggml/backend.h"
#include "runtime/ggml/loader.h"
#include "runtime/ggml/module.h"
#include "runtime/ggml/session.h"
#include "support/error_text.h"
#include "support/gguf_writer.h"

namespace kestrix_test {

// Unit roundoffs: half an ulp relative to the value.
constexpr double kUnitF32 = 0x1p-24;
constexpr double kUnitF16 = 0x1p-11;
constexpr double kUnitBf16 = 0x1p-8;

inline bool has_gpu_device() {
  for (size_t i = 0; i < ggml_backend_dev_count(); ++i) {
    const enum ggml_backend_dev_type type = ggml_backend_dev_type(ggml_backend_dev_get(i));
    if (type == GGML_BACKEND_DEVICE_TYPE_GPU || type == GGML_BACKEND_DEVICE_TYPE_IGPU) return true;
  }
  return false;
}

// Where a layer test runs: always the CPU, and the GPU where one exists.
struct Target {
  const char* name;
  bool gpu;
};
inline std::vector<Target> test_targets() {
  std::vector<Target> targets = {{"cpu", false}};
  if (has_gpu_device()) targets.push_back({"gpu", true});
  return targets;
}

// Values uniform in [-scale, scale) that the type stores exactly, so that the
// reference sees the very weights the layer multiplies with.
inline std::vector<float> exact_values(ggml_type type, size_t n, uint32_t seed, float scale = 1.0f) {
  std::vector<float> v = random_floats(n, seed, scale);
  for (float& x : v) {
    if (type == GGML_TYPE_F16) x = round_f16(x);
    if (type == GGML_TYPE_BF16) x = round_bf16(x);
  }
  return v;
}

// The error of one ggml dot product plus bias, against the exact double sum.
// Each term w*x may carry the weight's rounding at load (u_weight) and the
// activation's rounding to the product's input type (u_input); the sum of
// `terms` products is accumulated with unit u_acc (F32 lanes on x86 and for
// F32/BF16 kernels; F16 lanes for F16 kernels on arm64 and on GPUs); the
// result and the bias add round once more each in F32.
struct DotPrecision {
  double u_weight = 0;
  double u_input = 0;
  double u_acc = kUnitF32;
};

// Sum of products, the sum of their magnitudes, and any extra absolute
// bound (block-quantised activations).
struct DotSum {
  double sum = 0;
  double abs_sum = 0;
  double extra = 0;
  int terms = 0;
  void add(double w, double x) {
    sum += w * x;
    abs_sum += std::fabs(w * x);
    ++terms;
  }
};

inline double dot_tolerance(const DotSum& s, double bias, const DotPrecision& p) {
  const double rel = p.u_weight + p.u_input + (s.terms + 2) * p.u_acc;
  return rel * s.abs_sum + s.extra + 4 * kUnitF32 * (std::fabs(s.sum) + std::fabs(bias)) + 1e-30;
}

// Accumulation unit of products with F16 operands: F32 lanes with x86 F16C,
// F16 lanes with arm64 FP16 arithmetic and on GPUs.
inline double f16_accumulation_unit(bool gpu) {
#if defined(__aarch64__)
  (void)gpu;
  return kUnitF16;
#else
  return gpu ? kUnitF16 : kUnitF32;
#endif
}

// Precision of a matrix product on a weight of type `weight` with F32
// activations that the product converts to the weight's dot-product type.
inline DotPrecision matmul_precision(ggml_type weight, bool gpu) {
  DotPrecision p;
  p.u_acc = gpu ? kUnitF16 : kUnitF32;
  if (weight == GGML_TYPE_F16) {
    p.u_input = kUnitF16;
    p.u_acc = f16_accumulation_unit(gpu);
  } else if (weight == GGML_TYPE_BF16) {
    p.u_input = kUnitBf16;
  }
  return p;
}

// Q8_0 blocks of random scales and quants: raw bytes for the file and the
// exact weight values they stand for. `ne0` must be a multiple of 32.
struct Q8Weights {
  std::vector<uint8_t> bytes;
  std::vector<float> values;
};
inline Q8Weights q8_0_weights(int64_t ne0, int64_t rows, uint32_t seed) {
  Q8Weights w;
  std::vector<float> r = random_floats(static_cast<size_t>(ne0 * rows * 2), seed);
  size_t next = 0;
  for (int64_t row = 0; row < rows; ++row) {
    for (int64_t block = 0; block < ne0 / 32; ++block) {
      const ggml_fp16_t d = ggml_fp32_to_fp16(0.004f + 0.003f * r[next++]);
      const float scale = ggml_fp16_to_fp32(d);
      w.bytes.push_back(static_cast<uint8_t>(d & 0xff));
      w.bytes.push_back(static_cast<uint8_t>(d >> 8));
      for (int j = 0; j < 32; ++j) {
        const int8_t q = static_cast<int8_t>(std::lround(127.0f * r[next++]));
        w.bytes.push_back(static_cast<uint8_t>(q));
        w.values.push_back(scale * q);
      }
    }
  }
  return w;
}

// Extra bound of a product whose F32 activations are quantised to Q8_0 on
// the way in: per block of 32 the scale is d = amax / 127 stored as F16, and
// each activation comes back as q * f16(d), off by at most
// d / 2 + 127 * d * 2^-11 < 0.57 d.
inline double q8_0_input_bound(const float* w, const float* x, int64_t n) {
  double bound = 0;
  for (int64_t b = 0; b < n; b += 32) {
    double amax = 0, wabs = 0;
    for (int64_t k = b; k < b + 32 && k < n; ++k) {
      amax = std::fmax(amax, std::fabs(x[k]));
      wabs += std::fabs(w[k]);
    }
    bound += wabs * 0.57 * amax / 127.0;
  }
  return bound;
}

inline std::vector<uint16_t> to_bf16_bits(const std::vector<float>& v) {
  std::vector<uint16_t> bits(v.size());
  for (size_t i = 0; i < v.size(); ++i) bits[i] = ggml_fp32_to_bf16(v[i]).bits;
  return bits;
}

// A session over one layer and the model file written from `writer`.
class LayerSession {
 public:
  LayerSession(ggml_runtime::Module& module, const GgufWriter& writer, Target target = {"cpu", false})
      : path_(temp_path("layer.gguf")), target_(target) {
    writer.write(path_);
    // The manager first: it installs the system's log sink before the reader logs.
    ggml_runtime::Params params;
    params.use_gpu = target.gpu;
    manager_ = std::make_unique<ggml_runtime::BackendManager>(params);
    loader_ = std::make_unique<ggml_runtime::GGUFLoader>(path_);
    session_ = std::make_unique<ggml_runtime::Session>(*manager_, &module, loader_.get());
  }

  ggml_runtime::Session& session() { return *session_; }
  ggml_runtime::BackendManager& manager() { return *manager_; }
  bool gpu() const { return target_.gpu; }
  void setup() { session_->setup(); }

  // One run on input "x" of `shape` (F32 values, sent as `type`: F32 or
  // BF16); checks the output extents and returns its values.
  std::vector<float> run(const std::vector<float>& x, const std::vector<int64_t>& shape,
                         const std::array<int64_t, 4>& expected_ne, ggml_type type = GGML_TYPE_F32) {
    std::vector<uint16_t> bits;
    ggml_runtime::Session::Input in;
    in.name = "x";
    in.dtype = type;
    in.shape = shape;
    if (type == GGML_TYPE_BF16) {
      bits = to_bf16_bits(x);
      in.data = bits.data();
    } else {
      in.data = x.data();
    }
    size_t count = 1;
    for (int64_t e : expected_ne) count *= static_cast<size_t>(e);
    std::vector<float> y(count, NAN);
    ggml_runtime::DeviceTensor device;
    ggml_runtime::Session::Output out;
    out.index = 0;
    out.data = y.data();
    out.size = y.size() * sizeof(float);
    out.device = &device;
    std::vector<ggml_runtime::Session::Output> outputs = {out};
    session_->run({in}, outputs);
    const std::array<int64_t, 4> ne = {outputs[0].ne[0], outputs[0].ne[1], outputs[0].ne[2],
                                       outputs[0].ne[3]};
    EXPECT_EQ(ne, expected_ne);
    last_output = device;
    return y;
  }

  // The output tensor of the last run (lives in the cached graph).
  ggml_runtime::DeviceTensor last_output;

 private:
  std::string path_;
  Target target_;
  std::unique_ptr<ggml_runtime::BackendManager> manager_;
  std::unique_ptr<ggml_runtime::GGUFLoader> loader_;
  std::unique_ptr<ggml_runtime::Session> session_;
};

// Hands its input on with extents 0 and 1 swapped: a view, not contiguous.
class TransposeView : public ggml_runtime::Module {
 public:
  void define_tensors(ggml_runtime::Session*) override {}
  void set_data(ggml_runtime::Session*) override {}
  // x: [a, b, ...] -> [b, a, ...]
  ggml_runtime::TensorBag build_graph(ggml_runtime::Session*, ggml_runtime::TensorBag inputs,
                                      ggml_runtime::TensorContainer* run_container) override {
    const ggml_runtime::ggml_bf_tensor x = inputs.get_tensor(0);
    ggml_context* ctx = run_container->get_ctx_of_buffer_type(x.buft).ctx;
    ggml_runtime::TensorBag out;
    out.add_tensor({ggml_permute(ctx, x.tensor, 1, 0, 2, 3), x.buft});
    return out;
  }
};

// Compares values with references within per-element bounds; reports the
// first few misses.
inline void expect_within(const std::vector<float>& actual, const std::vector<double>& expected,
                          const std::vector<double>& tolerance) {
  ASSERT_EQ(actual.size(), expected.size());
  int misses = 0;
  for (size_t i = 0; i < actual.size() && misses < 8; ++i) {
    const double err = std::fabs(static_cast<double>(actual[i]) - expected[i]);
    if (!(err <= tolerance[i])) {
      ADD_FAILURE() << "element " << i << ": got " << actual[i] << ", expected " << expected[i] << " (error "
                    << err << ", bound " << tolerance[i] << ")";
      ++misses;
    }
  }
}

// A run container for building one layer's graph directly (no compute):
// small arenas, and a buffer-type label that differs from every real one.
// Building a graph only keys contexts by the label; it is never dereferenced.
struct DirectBuild {
  explicit DirectBuild(ggml_runtime::BackendManager& manager)
      : container(manager.get_buft_list(), small_arenas()) {}
  static ggml_runtime::TensorContainer::ArenaSizes small_arenas() {
    ggml_runtime::TensorContainer::ArenaSizes sizes;
    sizes.temp_ctx_bytes = 1 << 20;
    sizes.default_ctx_bytes = 4 << 20;
    return sizes;
  }
  // An F32 input created in the container, labelled with `label`.
  ggml_runtime::TensorBag input(const std::array<int64_t, 4>& ne, ggml_backend_buffer_type_t label,
                                ggml_type type = GGML_TYPE_F32) {
    ggml_runtime::ggml_bf_tensor x = container.create_tensor_4d("x", type, ne[0], ne[1], ne[2], ne[3]);
    ggml_runtime::TensorBag bag;
    bag.add_tensor({x.tensor, label});
    return bag;
  }
  // Whether `tensor` was created in the container's context for `buft`.
  bool created_in(ggml_tensor* tensor, ggml_backend_buffer_type_t buft) {
    ggml_context* ctx = container.get_ctx_of_buffer_type(buft).ctx;
    for (ggml_tensor* t = ggml_get_first_tensor(ctx); t != nullptr; t = ggml_get_next_tensor(ctx, t)) {
      if (t == tensor) return true;
    }
    return false;
  }
  static ggml_backend_buffer_type_t foreign_label() {
    static char tag;
    return reinterpret_cast<ggml_backend_buffer_type_t>(&tag);
  }

  ggml_runtime::TensorContainer container;
};

// One set-up failure of a layer: the model file it is given, the exact
// message, and the weights handed to load_weight before the failure.
struct SetupErrorCase {
  const char* label;
  std::function<ggml_runtime::Module*()> make;
  std::function<void(GgufWriter&)> write;
  std::string message;
  std::vector<std::string> handed_to_load_weight;  // names the weight-load hook saw before the failure
};

inline void expect_setup_error(const SetupErrorCase& c) {
  std::unique_ptr<ggml_runtime::Module> layer(c.make());
  GgufWriter w;
  c.write(w);
  LayerSession ls(*layer, w);
  std::vector<std::string> seen;
  ls.session().weight_load_hook = [&seen](const std::string& name, ggml_runtime::ggml_bf_tensor&,
                                          ggml_runtime::GGUFLoader*) { seen.push_back(name); };
  EXPECT_EQ(error_text([&] { ls.setup(); }), c.message);
  EXPECT_EQ(seen, c.handed_to_load_weight);
}

}  // namespace kestrix_test
