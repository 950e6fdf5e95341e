// Overhead of Session::run on a cached graph: the same small graph run
// through a session and computed by ggml alone, in one process.
//
//   session_run_bench [elements] [runs]
//
// Prints microseconds per run (best of several rounds) and the ratios.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ggml-alloc.h"
#include "ggml-backend.h"
#include "ggml-cpu.h"
#include "runtime/ggml/backend.h"
#include "runtime/ggml/module.h"
#include "runtime/ggml/session.h"

namespace {

using ggml_runtime::Session;

constexpr int kThreads = 4;  // what a session sets on every backend
constexpr int kRounds = 7;

// y = x * 2 + 1. x: [n] -> y: [n]
ggml_tensor* build(ggml_context* ctx, ggml_tensor* x) {
  ggml_tensor* y = ggml_scale_bias(ctx, x, 2.0f, 1.0f);
  ggml_set_name(y, "y");
  return y;
}

class ScaleModule : public ggml_runtime::Module {
 public:
  void define_tensors(Session*) override {}
  void set_data(Session*) override {}
  ggml_runtime::TensorBag build_graph(Session*, ggml_runtime::TensorBag in,
                                      ggml_runtime::TensorContainer* rc) override {
    ggml_runtime::ggml_bf_tensor x = in.get_tensor(0);
    ggml_runtime::TensorBag out;
    out.add_tensor({build(rc->get_ctx_of_buffer_type(x.buft).ctx, x.tensor), x.buft});
    return out;
  }
};

// Microseconds per call of `step`, best round of kRounds.
double time_per_run(int runs, const std::function<void()>& step) {
  for (int i = 0; i < runs / 10 + 1; ++i) step();  // warm-up
  double best = 1e300;
  for (int round = 0; round < kRounds; ++round) {
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < runs; ++i) step();
    const auto t1 = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double, std::micro>(t1 - t0).count() / runs);
  }
  return best;
}

void check(const std::vector<float>& x, const std::vector<float>& y, const char* what) {
  for (size_t i = 0; i < x.size(); ++i) {
    if (y[i] != x[i] * 2.0f + 1.0f) {
      std::fprintf(stderr, "%s: wrong value at %zu\n", what, i);
      std::exit(1);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int64_t n = argc > 1 ? std::atoll(argv[1]) : 1024;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 20000;
  std::vector<float> x(static_cast<size_t>(n)), y(static_cast<size_t>(n));
  for (int64_t i = 0; i < n; ++i) x[static_cast<size_t>(i)] = static_cast<float>(i % 17) * 0.25f;

  ggml_runtime::BackendManager manager(ggml_runtime::Params{});

  // 1. Through the session: a cache hit every run.
  ScaleModule module;
  Session session(manager, &module, nullptr);
  session.setup();
  Session::Input input;
  input.name = "x";
  input.dtype = GGML_TYPE_F32;
  input.data = x.data();
  input.shape = {n};
  const std::vector<Session::Input> inputs = {input};
  Session::Output output;
  output.index = 0;
  output.data = y.data();
  output.size = y.size() * sizeof(float);
  std::vector<Session::Output> outputs = {output};
  const double session_us = time_per_run(runs, [&] { session.run(inputs, outputs); });
  check(x, y, "session");

  // 2. ggml alone, with the scheduler over the same backends: the graph is
  // built once; each run allocates, uploads, computes, reads and resets.
  std::vector<ggml_backend_t> backends = manager.get_backends();
  ggml_init_params params = {ggml_tensor_overhead() * 8 + ggml_graph_overhead(), nullptr, true};
  std::unique_ptr<ggml_context, ggml_context_deleter> ctx(ggml_init(params));
  ggml_tensor* gx = ggml_new_tensor_1d(ctx.get(), GGML_TYPE_F32, n);
  ggml_set_input(gx);
  ggml_tensor* gy = build(ctx.get(), gx);
  ggml_set_output(gy);
  ggml_cgraph* graph = ggml_new_graph(ctx.get());
  ggml_build_forward_expand(graph, gy);
  std::unique_ptr<ggml_backend_buffer, ggml_backend_buffer_deleter> input_buffer(
      ggml_backend_alloc_ctx_tensors_from_buft(ctx.get(), ggml_backend_cpu_buffer_type()));
  for (ggml_backend_t b : backends) {
    ggml_backend_reg_t reg = ggml_backend_dev_backend_reg(ggml_backend_get_device(b));
    auto set_threads = reinterpret_cast<ggml_backend_set_n_threads_t>(
        ggml_backend_reg_get_proc_address(reg, "ggml_backend_set_n_threads"));
    if (set_threads != nullptr) set_threads(b, kThreads);
  }
  ggml_backend_sched_t sched = ggml_backend_sched_new(
      backends.data(), nullptr, static_cast<int>(backends.size()), Session::kSchedGraphSize, false, false);
  std::fill(y.begin(), y.end(), 0.0f);
  const double sched_us = time_per_run(runs, [&] {
    ggml_backend_sched_alloc_graph(sched, graph);
    ggml_backend_tensor_set(gx, x.data(), 0, ggml_nbytes(gx));
    ggml_backend_sched_graph_compute(sched, graph);
    ggml_backend_tensor_get(gy, y.data(), 0, ggml_nbytes(gy));
    ggml_backend_sched_reset(sched);
  });
  check(x, y, "ggml scheduler");
  ggml_backend_sched_free(sched);

  // 3. ggml alone on the CPU backend, no scheduler: the floor.
  ggml_backend_t cpu = backends.back();
  ggml_gallocr_t galloc = ggml_gallocr_new(ggml_backend_cpu_buffer_type());
  ggml_gallocr_alloc_graph(galloc, graph);
  std::fill(y.begin(), y.end(), 0.0f);
  const double cpu_us = time_per_run(runs, [&] {
    ggml_backend_tensor_set(gx, x.data(), 0, ggml_nbytes(gx));
    ggml_backend_graph_compute(cpu, graph);
    ggml_backend_tensor_get(gy, y.data(), 0, ggml_nbytes(gy));
  });
  check(x, y, "ggml cpu backend");
  ggml_gallocr_free(galloc);

  std::printf("graph: y = 2x + 1 on %lld floats; backends:", static_cast<long long>(n));
  for (ggml_backend_t b : backends) std::printf(" %s", ggml_backend_name(b));
  std::printf("; %d runs per round, best of %d rounds\n", runs, kRounds);
  std::printf("session run (cached)        %8.2f us/run\n", session_us);
  std::printf("ggml scheduler alone        %8.2f us/run   session / scheduler = %.2f (+%.2f us)\n", sched_us,
              session_us / sched_us, session_us - sched_us);
  std::printf("ggml CPU backend, no sched  %8.2f us/run   session / backend   = %.2f (+%.2f us)\n", cpu_us,
              session_us / cpu_us, session_us - cpu_us);
  return 0;
}
