// Session runs: graph key, graph cache, build limits, execution paths,
// diagnostics and the schedule report.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "ggml-backend.h"
#include "ggml-cpu.h"
#include "runtime/ggml/log_capture.h"
#include "runtime/ggml/session.h"
#include "runtime/ggml/session_test_modules.h"
#include "support/error_text.h"
#include "support/gguf_writer.h"

namespace {

using kestrix_test::error_text;

using ggml_runtime::BackendManager;
using ggml_runtime::DeviceTensor;
using ggml_runtime::ggml_bf_tensor;
using ggml_runtime::Session;
using ggml_runtime::SessionState;
using ggml_runtime::TensorBag;
using ggml_runtime::TensorContainer;
using kestrix_test::FnModule;
using kestrix_test::host_input;
using kestrix_test::host_output;

// Death-test children re-run the binary, so process-wide switches start unread.
void prepare_child_tests() {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  setenv("GGML_NO_BACKTRACE", "1", 1);
}

// Ends a child: status 0 when `actual` equals `expected`, else both on stderr.
[[noreturn]] void finish_child(const std::string& actual, const std::string& expected) {
  if (actual == expected) std::exit(0);
  std::fprintf(stderr, "expected:\n%s\nactual:\n%s\n", expected.c_str(), actual.c_str());
  std::exit(1);
}

bool has_gpu_device() {
  for (size_t i = 0; i < ggml_backend_dev_count(); ++i) {
    const enum ggml_backend_dev_type type = ggml_backend_dev_type(ggml_backend_dev_get(i));
    if (type == GGML_BACKEND_DEVICE_TYPE_GPU || type == GGML_BACKEND_DEVICE_TYPE_IGPU) return true;
  }
  return false;
}

// A CPU session over a module whose graph is y = x + 1 (x of any shape).
struct ScalarSession {
  explicit ScalarSession(size_t capacity = 4) {
    module.build = kestrix_test::add_scalar_graph(1.0f);
    session = std::make_unique<Session>(*manager, &module, nullptr);
    session->cache_capacity = capacity;
    session->setup();
  }
  // Runs y = x + 1 for an input named `name` with `n` elements; checks the values.
  void run(const std::string& name, int64_t n) {
    std::vector<float> x = kestrix_test::random_floats(static_cast<size_t>(n), static_cast<uint32_t>(n));
    std::vector<float> y(static_cast<size_t>(n));
    std::vector<Session::Output> outputs = {host_output(0, y.data(), y.size())};
    session->run({host_input(name, x.data(), {n})}, outputs);
    for (size_t i = 0; i < y.size(); ++i) {
      // One F32 operation x * 1 + 1: the correctly rounded double result.
      ASSERT_EQ(y[i], static_cast<float>(static_cast<double>(x[i]) + 1.0)) << name << " " << i;
    }
  }
  uint64_t key(const std::string& name, int64_t n) const {
    return session->graph_key({host_input(name, nullptr, {n})});
  }
  int builds() const { return module.build_calls / 2; }  // two passes per built graph

  std::unique_ptr<BackendManager> manager = kestrix_test::cpu_manager();
  FnModule module;
  std::unique_ptr<Session> session;
};

// ---------------------------------------------------------------------------
// Graph key

// FNV-1a written out here: each name byte, one zero byte, then 64-bit words.
struct Fnv {
  uint64_t h = 14695981039346656037ULL;
  void byte(uint8_t b) { h = (h ^ b) * 1099511628211ULL; }
  void word(uint64_t w) { h = (h ^ w) * 1099511628211ULL; }
  void record(const std::string& name, uint32_t type, std::array<int64_t, 4> ne) {
    for (char c : name) byte(static_cast<uint8_t>(c));
    byte(0);
    word(type);
    for (int64_t e : ne) word(static_cast<uint64_t>(e));
  }
};

TEST(SessionGraphKey, ValuesAgainstFnv) {
  auto manager = kestrix_test::cpu_manager();
  FnModule module;
  module.define = [](Session* s) { s->model_container->create_tensor_2d("w.weight", GGML_TYPE_F16, 4, 3); };
  module.build = kestrix_test::add_scalar_graph(0.0f);
  Session session(*manager, &module, nullptr);
  session.setup();

  // A 1-D input hashes its extent and three ones.
  Fnv one;
  one.record("x", GGML_TYPE_F32, {7, 1, 1, 1});
  EXPECT_EQ(session.graph_key({host_input("x", nullptr, {7})}), one.h);

  Fnv two;
  two.record("input.mel", GGML_TYPE_F32, {80, 340, 2, 1});
  two.record("input.positions", GGML_TYPE_I32, {5, 1, 1, 1});
  Session::Input positions = host_input("input.positions", nullptr, {5});
  positions.dtype = GGML_TYPE_I32;
  EXPECT_EQ(session.graph_key({host_input("input.mel", nullptr, {80, 340, 2}), positions}), two.h);
  EXPECT_NE(session.graph_key({positions, host_input("input.mel", nullptr, {80, 340, 2})}), two.h);
  EXPECT_EQ(session.graph_key({}), Fnv{}.h);

  // A persistent input contributes the weight's type and extents, whatever its record says.
  Session::Input persistent = host_input("w.weight", nullptr, {99});
  persistent.persistent = true;
  Fnv p;
  p.record("w.weight", GGML_TYPE_F16, {4, 3, 1, 1});
  EXPECT_EQ(session.graph_key({persistent}), p.h);
  p.record("w.weight", GGML_TYPE_F16, {4, 3, 1, 1});
  EXPECT_EQ(session.graph_key({persistent, persistent}), p.h);

  // A device binding adds its address (data + offset).
  alignas(64) static float memory[8];
  ggml_init_params params = {ggml_tensor_overhead(), nullptr, true};
  std::unique_ptr<ggml_context, ggml_context_deleter> ctx(ggml_init(params));
  ggml_tensor* t = ggml_new_tensor_1d(ctx.get(), GGML_TYPE_F32, 8);
  std::unique_ptr<ggml_backend_buffer, ggml_backend_buffer_deleter> buffer(
      ggml_backend_cpu_buffer_from_ptr(memory, sizeof(memory)));
  ASSERT_EQ(ggml_backend_tensor_alloc(buffer.get(), t, memory), GGML_STATUS_SUCCESS);
  DeviceTensor device{t, ggml_backend_cpu_buffer_type(), 8};
  Session::Input bound = host_input("x", nullptr, {6});
  bound.upload = false;
  bound.device = &device;
  Fnv d;
  d.record("x", GGML_TYPE_F32, {6, 1, 1, 1});
  d.word(reinterpret_cast<uintptr_t>(memory) + 8);
  EXPECT_EQ(session.graph_key({bound}), d.h);
  device.offset = 12;
  EXPECT_NE(session.graph_key({bound}), d.h);

  // Names are hashed whole: a ggml tensor name would keep only 63 bytes.
  const std::string long_a = std::string(63, 'n') + ".a";
  const std::string long_b = std::string(63, 'n') + ".b";
  Fnv la;
  la.record(long_a, GGML_TYPE_F32, {2, 1, 1, 1});
  EXPECT_EQ(session.graph_key({host_input(long_a, nullptr, {2})}), la.h);
  EXPECT_NE(session.graph_key({host_input(long_a, nullptr, {2})}),
            session.graph_key({host_input(long_b, nullptr, {2})}));
}

TEST(SessionGraphKey, FlagsAndHostPointersDoNotChangeTheKey) {
  ScalarSession s;
  float data[4] = {};
  const Session::Input base = host_input("x", nullptr, {4, 1});
  const uint64_t key = s.session->graph_key({base});
  Session::Input changed = base;
  changed.upload = false;
  EXPECT_EQ(s.session->graph_key({changed}), key);
  changed.sync_upload = true;
  changed.data = data;
  EXPECT_EQ(s.session->graph_key({changed}), key);

  struct Case {
    const char* what;
    Session::Input input;
  };
  std::vector<Case> different;
  different.push_back({"name", host_input("y", nullptr, {4, 1})});
  different.push_back({"shape", host_input("x", nullptr, {1, 4})});
  Session::Input typed = base;
  typed.dtype = GGML_TYPE_F16;
  different.push_back({"type", typed});
  for (const Case& c : different) EXPECT_NE(s.session->graph_key({c.input}), key) << c.what;
}

// ---------------------------------------------------------------------------
// Graph cache

TEST(SessionGraphCache, LeastRecentlyUsedEviction) {
  ScalarSession s(2);
  s.run("k1", 1);
  s.run("k2", 2);
  EXPECT_EQ(s.builds(), 2);
  s.run("k1", 1);  // a hit; k1 becomes the most recent
  EXPECT_EQ(s.builds(), 2);
  EXPECT_EQ(s.session->lru_order(), (std::vector<uint64_t>{s.key("k2", 2), s.key("k1", 1)}));
  s.run("k3", 3);  // evicts k2
  EXPECT_EQ(s.session->find_cached_run(s.key("k2", 2)), nullptr);
  EXPECT_NE(s.session->find_cached_run(s.key("k1", 1)), nullptr);
  s.run("k2", 2);  // rebuilt, evicts k1
  EXPECT_EQ(s.builds(), 4);
  EXPECT_EQ(s.session->find_cached_run(s.key("k1", 1)), nullptr);
  EXPECT_EQ(s.session->lru_order(), (std::vector<uint64_t>{s.key("k3", 3), s.key("k2", 2)}));

  // The plain order of three keys with capacity 2: k1 goes first.
  ScalarSession t(2);
  t.run("k1", 1);
  t.run("k2", 2);
  t.run("k3", 3);
  EXPECT_EQ(t.session->find_cached_run(t.key("k1", 1)), nullptr);
  t.run("k1", 1);
  EXPECT_EQ(t.builds(), 4);
  EXPECT_EQ(t.session->find_cached_run(t.key("k2", 2)), nullptr);
  EXPECT_EQ(t.session->cached_graph_count(), 2u);
}

TEST(SessionGraphCache, CapacityZeroAndOneKeepTheNewestGraph) {
  for (size_t capacity : {0u, 1u}) {
    ScalarSession s(capacity);
    s.run("a", 3);
    s.run("a", 3);
    EXPECT_EQ(s.builds(), 1) << capacity;
    s.run("b", 5);
    EXPECT_EQ(s.session->cached_graph_count(), 1u) << capacity;
    EXPECT_EQ(s.session->find_cached_run(s.key("a", 3)), nullptr) << capacity;
    s.run("b", 5);
    s.run("a", 3);
    EXPECT_EQ(s.builds(), 3) << capacity;
    EXPECT_EQ(s.session->lru_order(), (std::vector<uint64_t>{s.key("a", 3)})) << capacity;
  }
}

TEST(SessionGraphCache, KeyCollisionIsAMissNotTheWrongGraph) {
  ScalarSession s;
  // Two different input sets forced onto one key: the stored signature tells them apart.
  auto run_with_key = [&](const std::string& name, int64_t n) {
    std::vector<float> x(static_cast<size_t>(n), 2.0f);
    std::vector<float> y(static_cast<size_t>(n), 0.0f);
    const std::vector<Session::Input> inputs = {host_input(name, x.data(), {n})};
    std::vector<Session::Output> outputs = {host_output(0, y.data(), y.size())};
    const Session::GraphSignature signature = s.session->graph_signature(inputs);
    s.session->run_impl(
        42, [&](Session* ss, TensorContainer* c) { return ss->declare_inputs(inputs, c); },
        [&](Session* ss, TensorContainer* c) { return ss->upload_inputs(inputs, c); },
        [&](Session* ss, TensorBag bag, TensorContainer* c) { return ss->read_outputs(outputs, bag, c); },
        nullptr, &signature);
    return y;
  };
  EXPECT_EQ(run_with_key("a", 3), std::vector<float>(3, 3.0f));
  EXPECT_EQ(run_with_key("a", 3), std::vector<float>(3, 3.0f));
  EXPECT_EQ(s.builds(), 1);
  EXPECT_EQ(run_with_key("b", 5), std::vector<float>(5, 3.0f));  // same key, other inputs: rebuilt
  EXPECT_EQ(s.builds(), 2);
  EXPECT_EQ(s.session->cached_graph_count(), 1u);
  ASSERT_NE(s.session->find_cached_run(42), nullptr);
  EXPECT_EQ(s.session->find_cached_run(42)->signature[0].name, "b");
}

TEST(SessionGraphCache, RealPassArenasSizedFromTheMeasuringPass) {
  ScalarSession s;
  s.run("x", 4);
  const Session::CachedRun* entry = s.session->find_cached_run(s.key("x", 4));
  ASSERT_NE(entry, nullptr);
  const TensorContainer::ArenaSizes& sizes = entry->container->arena_sizes();
  // 105 % of the bytes used, plus 64 KiB, rounded up to 4096.
  auto grown = [](size_t used) {
    const size_t v = static_cast<size_t>(static_cast<double>(used) * 1.05) + 65536;
    return (v + 4095) / 4096 * 4096;
  };
  EXPECT_TRUE(sizes.named_only);
  EXPECT_EQ(sizes.default_ctx_bytes, 4194304u);
  // The measuring pass made one template (the input) and two tensors (x, y),
  // exactly as the real pass did.
  EXPECT_EQ(sizes.temp_ctx_bytes, grown(ggml_tensor_overhead()));
  ggml_backend_buffer_type_t cpu = ggml_backend_cpu_buffer_type();
  ASSERT_EQ(sizes.ctx_bytes_by_buft.size(), 1u);
  const size_t used = entry->container->measure().ctx_bytes_by_buft.at(cpu);
  EXPECT_EQ(used, 2 * ggml_tensor_overhead());
  EXPECT_EQ(sizes.ctx_bytes_by_buft.at(cpu), grown(used));
  EXPECT_EQ(entry->container->measure().temp_ctx_bytes, 0u);  // freed after allocation
  EXPECT_EQ(entry->inputs.tensor_count(), 1u);
  EXPECT_EQ(entry->outputs.tensor_count(), 1u);
  EXPECT_NE(entry->inputs.tensors[0].tensor->data, nullptr);  // the input has storage of its own
}

TEST(SessionGraphCache, FailedFirstRunLeavesNoEntry) {
  ScalarSession s;
  std::vector<float> x(4, 1.0f);
  std::vector<float> y(4, -1.0f);
  const std::vector<Session::Input> inputs = {host_input("x", x.data(), {4})};
  std::vector<Session::Output> small = {host_output(0, y.data(), 3)};
  EXPECT_EQ(error_text([&] { s.session->run(inputs, small); }),
            "Session::Output buffer too small for tensor (have 12, need 16)");
  EXPECT_EQ(s.session->cached_graph_count(), 0u);
  EXPECT_TRUE(s.session->lru_order().empty());
  EXPECT_TRUE(s.manager->mutex.try_lock());
  s.manager->mutex.unlock();

  std::vector<Session::Output> fine = {host_output(0, y.data(), 4)};
  s.session->run(inputs, fine);
  EXPECT_EQ(s.builds(), 2);  // built again
  EXPECT_EQ(y, std::vector<float>(4, 2.0f));

  // A failure on a graph that was already cached keeps it.
  EXPECT_THROW(s.session->run(inputs, small), std::runtime_error);
  EXPECT_EQ(s.session->cached_graph_count(), 1u);
  s.session->run(inputs, fine);
  EXPECT_EQ(s.builds(), 2);
}

TEST(SessionGraphCache, BuildErrorKeepsEarlierEvictionsOnly) {
  ScalarSession s(1);
  s.run("a", 2);
  std::vector<float> x(4, 1.0f);
  std::vector<Session::Output> none;
  Session::Input bad = host_input("b", x.data(), {4, 0});
  EXPECT_EQ(error_text([&] { s.session->run({bad}, none); }),
            "Session::Input 'b': extent 1 is 0 (need >= 1)");
  EXPECT_EQ(s.session->cached_graph_count(), 0u);  // "a" was evicted before the build failed
}

// A graph of exactly `n` nodes: chains of ggml_scale by 1 from the input
// x: [1]; every chain end is an output, the first one holds x.
FnModule::BuildFn chain_graph(int n) {
  return [n](Session*, TensorBag& in, TensorContainer* rc) {
    ggml_bf_tensor x = in.get_tensor(0);
    ggml_context* ctx = rc->get_ctx_of_buffer_type(x.buft).ctx;
    TensorBag out;
    int left = n;
    while (left > 0) {
      const int length = left < 1000 ? left : 1000;
      ggml_tensor* t = x.tensor;
      for (int i = 0; i < length; ++i) t = ggml_scale(ctx, t, 1.0f);
      out.add_tensor({t, x.buft});
      left -= length;
    }
    return out;
  };
}

TEST(SessionGraphLimits, WarningAndErrorAtTheirBoundaries) {
  struct Case {
    int nodes;
    bool warned;
    bool fails;
  };
  const std::vector<Case> cases = {{1, false, false},
                                   {52428, false, false},
                                   {52429, true, false},
                                   {62259, true, false},
                                   {62260, false, true}};
  for (const Case& c : cases) {
    auto manager = kestrix_test::cpu_manager();
    FnModule module;
    module.build = chain_graph(c.nodes);
    Session session(*manager, &module, nullptr);
    session.setup();
    const float x = 0.75f;
    float y = -1.0f;
    const std::vector<Session::Input> inputs = {host_input("x", &x, {1})};
    std::vector<Session::Output> outputs = {host_output(0, &y, 1)};
    kestrix_test::LogCapture capture;
    const std::string error = error_text([&] { session.run(inputs, outputs); });
    size_t warnings = 0;
    for (const auto& [level, text] : capture.records()) {
      if (level != GGML_LOG_LEVEL_WARN) continue;
      ++warnings;
      EXPECT_NE(text.find("<run_impl> graph has " + std::to_string(c.nodes) +
                          " nodes, above 80% of scheduler cap 65536 — consider bumping kSchedGraphSize\n"),
                std::string::npos)
          << text;
    }
    EXPECT_EQ(warnings, c.warned ? 1u : 0u) << c.nodes;
    if (c.fails) {
      EXPECT_EQ(error, "graph has " + std::to_string(c.nodes) +
                           " nodes, above 95% of scheduler cap 65536 — bump kSchedGraphSize in session");
      EXPECT_EQ(y, -1.0f);  // nothing computed
      EXPECT_EQ(session.cached_graph_count(), 0u);
      continue;
    }
    EXPECT_EQ(error, "<no exception>") << c.nodes;
    EXPECT_EQ(y, x) << c.nodes;  // scaling by 1 is exact
    const Session::CachedRun* entry = session.find_cached_run(session.graph_key(inputs));
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(ggml_graph_n_nodes(entry->graph), c.nodes);
    // Room for twice the nodes plus 2048, at most the scheduler's graph size.
    const int expected_size = std::min(2 * c.nodes + 2048, 65536);
    EXPECT_EQ(ggml_graph_size(entry->graph), expected_size) << c.nodes;
    EXPECT_EQ(entry->graph_mem.size(), ggml_graph_overhead_custom(expected_size, false) + 4096);
  }
}

TEST(SessionGraphLimits, GraphAboveTheSchedulerSizeIsReported) {
  auto manager = kestrix_test::cpu_manager();
  FnModule module;
  module.build = chain_graph(70000);
  Session session(*manager, &module, nullptr);
  session.setup();
  const float x = 1.0f;
  float y = 0.0f;
  std::vector<Session::Output> outputs = {host_output(0, &y, 1)};
  EXPECT_EQ(error_text([&] { session.run({host_input("x", &x, {1})}, outputs); }),
            "graph has 70000 nodes, above 95% of scheduler cap 65536 — bump kSchedGraphSize in session");
}

// ---------------------------------------------------------------------------
// Staleness and execution paths

TEST(SessionExecution, GrownSchedulerBufferMakesOtherGraphsStale) {
  ScalarSession s;
  s.run("small", 4);
  const uint64_t after_small = s.session->current_generation();
  EXPECT_EQ(after_small, 1u);  // the first compute buffer is a change
  EXPECT_EQ(s.session->find_cached_run(s.key("small", 4))->generation, 1u);
  s.run("big", 1 << 16);  // needs a larger compute buffer
  EXPECT_EQ(s.session->current_generation(), 2u);
  EXPECT_EQ(s.builds(), 2);
  s.run("small", 4);  // stale: rebuilt, and its run changes no size
  EXPECT_EQ(s.builds(), 3);
  EXPECT_EQ(s.session->current_generation(), 2u);
  s.run("big", 1 << 16);
  s.run("small", 4);
  EXPECT_EQ(s.builds(), 3);
}

TEST(SessionExecution, CpuOnlyManagerNeverGoesDirect) {
  ScalarSession s;
  for (int i = 0; i < 3; ++i) s.run("x", 8);
  const Session::CachedRun* entry = s.session->find_cached_run(s.key("x", 8));
  ASSERT_NE(entry, nullptr);
  EXPECT_FALSE(entry->direct);
  EXPECT_EQ(entry->direct_backend, nullptr);

  // With a state given the run is scheduled as well.
  SessionState state = s.session->make_session_state();
  std::vector<float> x(8, 1.0f), y(8);
  std::vector<Session::Output> outputs = {host_output(0, y.data(), 8)};
  s.session->run({host_input("x", x.data(), {8})}, outputs, &state);
  EXPECT_EQ(y, std::vector<float>(8, 2.0f));
  EXPECT_FALSE(entry->direct);
}

// A lone product large enough for the BLAS backend is scheduled whole on it,
// in one split; BLAS is an accelerator device that runs on the CPU, so the
// graph still never goes direct.
TEST(SessionExecution, GraphWholeOnBlasNeverGoesDirect) {
  auto manager = kestrix_test::cpu_manager();
  ggml_backend_t blas = nullptr;
  for (ggml_backend_t b : manager->get_backends()) {
    if (std::string(ggml_backend_name(b)) == "BLAS") blas = b;
  }
  if (blas == nullptr) GTEST_SKIP() << "no BLAS backend";
  FnModule module;
  // x: [64, 64] -> x^T x: [64, 64]
  module.build = [](Session*, TensorBag& in, TensorContainer* rc) {
    ggml_bf_tensor x = in.get_tensor(0);
    ggml_tensor* y = ggml_mul_mat(rc->get_ctx_of_buffer_type(x.buft).ctx, x.tensor, x.tensor);
    ggml_set_name(y, "y");
    TensorBag out;
    out.add_tensor({y, x.buft});
    return out;
  };
  Session session(*manager, &module, nullptr);
  session.setup();
  // Small integers: every product and sum is exact.
  std::vector<float> x(64 * 64), y(64 * 64);
  for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(static_cast<int>(i % 5) - 2);
  const std::vector<Session::Input> inputs = {host_input("x", x.data(), {64, 64})};
  std::vector<Session::Output> outputs = {host_output(0, y.data(), y.size())};
  for (int r = 0; r < 2; ++r) session.run(inputs, outputs);
  const Session::CachedRun* entry = session.find_cached_run(session.graph_key(inputs));
  ASSERT_NE(entry, nullptr);
  ASSERT_EQ(ggml_graph_n_nodes(entry->graph), 1);
  EXPECT_FALSE(entry->direct);
  EXPECT_EQ(entry->direct_backend, nullptr);
  for (int i = 0; i < 64; ++i) {
    for (int j = 0; j < 64; ++j) {
      double dot = 0;
      for (int k = 0; k < 64; ++k) dot += static_cast<double>(x[k + 64 * i]) * x[k + 64 * j];
      ASSERT_EQ(y[i + 64 * j], dot) << i << " " << j;
    }
  }
}

TEST(SessionExecution, ExpandGraphMarksInputsAndOutputs) {
  ggml_init_params params = {ggml_tensor_overhead() * 8, nullptr, true};
  std::unique_ptr<ggml_context, ggml_context_deleter> ctx(ggml_init(params));
  ggml_tensor* x = ggml_new_tensor_1d(ctx.get(), GGML_TYPE_F32, 8);
  ggml_tensor* y = ggml_scale(ctx.get(), x, 2.0f);
  ggml_tensor* view = ggml_view_1d(ctx.get(), y, 4, 0);
  TensorBag inputs, outputs;
  inputs.add_tensor({x, nullptr});
  outputs.add_tensor({view, nullptr});
  std::vector<uint8_t> mem;
  ggml_cgraph* graph = ggml_runtime::expand_graph_into(inputs, outputs, 100, mem);
  EXPECT_EQ(mem.size(), ggml_graph_overhead_custom(100, false) + 4096);
  EXPECT_EQ(ggml_graph_size(graph), 100);
  EXPECT_EQ(ggml_graph_n_nodes(graph), 2);  // the scale and the view
  EXPECT_NE(x->flags & GGML_TENSOR_FLAG_INPUT, 0);
  EXPECT_NE(view->flags & GGML_TENSOR_FLAG_OUTPUT, 0);
  EXPECT_NE(y->flags & GGML_TENSOR_FLAG_OUTPUT, 0);  // along the view-source chain
  EXPECT_NE(y->flags & GGML_TENSOR_FLAG_COMPUTE, 0);
}

// ---------------------------------------------------------------------------
// Diagnostics, each switch in a child process

void timing_child() {
  setenv("OLVAN_SPEECH_TIMING", "", 1);
  ScalarSession s;
  s.run("x", 4);
  std::exit(0);
}

void memstats_run_child(bool capture) {
  setenv("OLVAN_SPEECH_MEMSTATS", "1", 1);
  if (capture) setenv("OLVAN_SPEECH_SCHEDULE_CAPTURE", "", 1);
  ScalarSession s;
  s.run("x", 4);
  std::exit(0);
}

TEST(SessionDiagnostics, TimingLine) {
  prepare_child_tests();
  const std::string ms = "[0-9]+\\.[0-9]{2}";
  EXPECT_EXIT(timing_child(), testing::ExitedWithCode(0),
              "^\\[timing\\] session out=y {20}nodes=1 in=" + ms + " alloc=" + ms + " compute=" + ms +
                  " out=" + ms + " total=" + ms + " ms\n$");
}

TEST(SessionDiagnostics, MemstatsLinesOfARun) {
  prepare_child_tests();
  const std::string mb = "[0-9]+\\.[0-9]{2} MB";
  // The entry line, the listing of its container (input x, the scale y), and
  // nothing from the scheduler while the capture switch is off.
  EXPECT_EXIT(memstats_run_child(false), testing::ExitedWithCode(0),
              "\\[memstats\\] model-container device=0\\.00 MB\n"
              "\\[memstats\\] cache-entry out=y {20}nodes=1 graph_meta=" +
                  mb + " device_arenas=" + mb +
                  " \\(entries now 1\\)\n"
                  "\\[memstats\\]   2 tensors, 0\\.00 MB total; largest:\n"
                  "(\\[memstats\\]  +0\\.00 MB  (NONE|SCALE) +[xy] +\\[4,1,1,1\\]\n){2}$");
  EXPECT_EXIT(memstats_run_child(true), testing::ExitedWithCode(0),
              "\\]   2 tensors[^\n]*\n[^\n]*\n[^\n]*\n"
              "\\[memstats\\] sched-compute-buffer backend=(BLAS|CPU) size=0\\.00 MB\n$");
}

// ---------------------------------------------------------------------------
// Schedule report

TEST(SessionScheduleReport, NoSnapshotWithoutRunOrCapture) {
  ScalarSession s;
  std::ostringstream never;
  s.session->dump_schedule(never, "fresh");
  EXPECT_EQ(never.str(), "== fresh ==\n  <no snapshot — call Session::run() first>\n\n");
  s.run("x", 4);  // the capture switch is off in this process
  std::ostringstream off;
  s.session->dump_schedule(off, "off");
  EXPECT_EQ(off.str(), "== off ==\n  <no snapshot — call Session::run() first>\n\n");
}

// y1 = x * 2, y2 = y1 + 1 on [n]: two CPU operations.
void cpu_only_report_child() {
  setenv("OLVAN_SPEECH_SCHEDULE_CAPTURE", "", 1);
  auto manager = kestrix_test::cpu_manager();
  FnModule module;
  module.build = [](Session*, TensorBag& in, TensorContainer* rc) {
    ggml_bf_tensor x = in.get_tensor(0);
    ggml_context* ctx = rc->get_ctx_of_buffer_type(x.buft).ctx;
    ggml_tensor* y1 = ggml_scale(ctx, x.tensor, 2.0f);
    ggml_set_name(y1, "doubled");
    ggml_tensor* y2 = ggml_scale_bias(ctx, y1, 1.0f, 1.0f);
    ggml_set_name(y2, "y");
    TensorBag out;
    out.add_tensor({y2, x.buft});
    return out;
  };
  Session session(*manager, &module, nullptr);
  session.setup();
  std::vector<float> x(4, 1.0f), y(4);
  std::vector<Session::Output> outputs = {host_output(0, y.data(), 4)};
  session.run({host_input("x", x.data(), {4})}, outputs);
  session.run({host_input("x", x.data(), {4})}, outputs);  // captured once per entry
  std::ostringstream report;
  session.dump_schedule(report, "cpu");
  finish_child(report.str(),
               "== cpu ==\n"
               "cached graphs: 1\n"
               "backend summary:\n"
               "  CPU: 2 nodes\n"
               "sample (first 2 of 2 nodes):\n"
               "  SCALE  doubled  -> CPU\n"
               "  SCALE  y        -> CPU\n"
               "CPU-only run (no GPU backend to fall back from) ✓\n\n");
}

// A product large enough for the BLAS backend, then CPU operations:
// w: [64, 64] weight, x: [64, 64] -> mm = w^T x: [64, 64] -> scaled -> y.
void blas_report_child() {
  setenv("OLVAN_SPEECH_SCHEDULE_CAPTURE", "", 1);
  auto manager = kestrix_test::cpu_manager();
  FnModule module;
  module.define = [](Session* s) { s->model_container->create_tensor_2d("w", GGML_TYPE_F32, 64, 64); };
  module.fill = [](Session* s) {
    const std::vector<float> w = kestrix_test::random_floats(64 * 64, 21);
    ggml_backend_tensor_set(s->model_container->get_tensor_by_name("w").tensor, w.data(), 0, w.size() * 4);
  };
  module.build = [](Session* s, TensorBag& in, TensorContainer* rc) {
    ggml_bf_tensor w = s->model_container->get_tensor_by_name("w");
    ggml_bf_tensor x = in.get_tensor(0);
    ggml_context* ctx = rc->get_ctx_of_buffer_type(w.buft).ctx;
    ggml_tensor* mm = ggml_mul_mat(ctx, w.tensor, x.tensor);
    ggml_set_name(mm, "mm");
    ggml_tensor* scaled = ggml_scale(ctx, mm, 0.5f);
    ggml_set_name(scaled, "scaled");
    ggml_tensor* y = ggml_add(ctx, scaled, x.tensor);
    ggml_set_name(y, "y");
    TensorBag out;
    out.add_tensor({y, w.buft});
    return out;
  };
  Session session(*manager, &module, nullptr);
  session.setup();
  std::vector<float> x = kestrix_test::random_floats(64 * 64, 22), y(64 * 64);
  std::vector<Session::Output> outputs = {host_output(0, y.data(), y.size())};
  session.run({host_input("x", x.data(), {64, 64})}, outputs);
  std::ostringstream report;
  session.dump_schedule(report, "blas");
  finish_child(report.str(),
               "== blas ==\n"
               "cached graphs: 1\n"
               "backend summary:\n"
               "  BLAS: 1 nodes\n"
               "  CPU:  2 nodes\n"
               "sample (first 3 of 3 nodes):\n"
               "  MUL_MAT  mm      -> BLAS\n"
               "  SCALE    scaled  -> CPU\n"
               "  ADD      y       -> CPU\n"
               "CPU-fallback ops ✗:\n"
               "  ADD  x1  (e.g. y)\n"
               "  SCALE  x1  (e.g. scaled)\n"
               "\n");
}

// Two cached graphs of 300 and 5 nodes: the sample shows 20 of 305.
void long_report_child() {
  setenv("OLVAN_SPEECH_SCHEDULE_CAPTURE", "", 1);
  auto manager = kestrix_test::cpu_manager();
  FnModule module;
  int nodes = 300;
  module.build = [&nodes](Session* s, TensorBag& in, TensorContainer* rc) {
    return chain_graph(nodes)(s, in, rc);
  };
  Session session(*manager, &module, nullptr);
  session.setup();
  const float x = 1.0f;
  float y = 0.0f;
  std::vector<Session::Output> outputs = {host_output(0, &y, 1)};
  session.run({host_input("long", &x, {1})}, outputs);
  nodes = 5;
  session.run({host_input("short", &x, {1})}, outputs);
  std::ostringstream report;
  session.dump_schedule(report, "two");
  std::string expected =
      "== two ==\n"
      "cached graphs: 2\n"
      "backend summary:\n"
      "  CPU: 305 nodes\n"
      "sample (first 20 of 305 nodes):\n";
  for (int i = 0; i < 20; ++i) {
    // Unnamed nodes get ggml's "node_<index>" names when the graph is expanded.
    const std::string name = "node_" + std::to_string(i);
    expected += "  SCALE  " + name + std::string(7 - name.size(), ' ') + "  -> CPU\n";
  }
  expected += "CPU-only run (no GPU backend to fall back from) ✓\n\n";
  finish_child(report.str(), expected);
}

TEST(SessionScheduleReport, ReportsOnThisMachine) {
  prepare_child_tests();
  EXPECT_EXIT(cpu_only_report_child(), testing::ExitedWithCode(0), "");
  EXPECT_EXIT(long_report_child(), testing::ExitedWithCode(0), "");
  ggml_backend_dev_t blas = nullptr;
  for (size_t i = 0; i < ggml_backend_dev_count(); ++i) {
    if (std::string(ggml_backend_dev_name(ggml_backend_dev_get(i))) == "BLAS") blas = ggml_backend_dev_get(i);
  }
  if (blas == nullptr || has_gpu_device())
    GTEST_SKIP() << "the fallback report is checked on a CPU+BLAS machine";
  EXPECT_EXIT(blas_report_child(), testing::ExitedWithCode(0), "");
}

// ---------------------------------------------------------------------------
// GPU only: direct runs and the "(none)" report line.

void gpu_direct_child() {
  setenv("OLVAN_SPEECH_TIMING", "", 1);
  setenv("OLVAN_SPEECH_SCHEDULE_CAPTURE", "", 1);
  ggml_runtime::Params params;
  params.use_gpu = true;
  BackendManager manager(params);
  FnModule module;
  module.build = kestrix_test::add_scalar_graph(1.0f);
  Session session(manager, &module, nullptr);
  session.setup();
  std::vector<float> x = kestrix_test::random_floats(256, 23), y(256);
  const std::vector<Session::Input> inputs = {host_input("x", x.data(), {256})};
  std::vector<Session::Output> outputs = {host_output(0, y.data(), y.size())};
  session.run(inputs, outputs);  // builds: scheduled
  const Session::CachedRun* entry = session.find_cached_run(session.graph_key(inputs));
  if (entry == nullptr || !entry->direct || entry->direct_backend != manager.gpu_backend) {
    std::fprintf(stderr, "entry not direct after its first run\n");
    std::exit(1);
  }
  for (float& v : x) v += 1.0f;
  session.run(inputs, outputs);  // direct
  for (size_t i = 0; i < y.size(); ++i) {
    if (y[i] != static_cast<float>(static_cast<double>(x[i]) + 1.0)) {
      std::fprintf(stderr, "wrong value at %zu\n", i);
      std::exit(1);
    }
  }
  SessionState state = session.make_session_state();
  session.run(inputs, outputs, &state);  // scheduled: a state is given
  std::ostringstream report;
  session.dump_schedule(report, "gpu");
  std::fprintf(stderr, "%s", report.str().c_str());
  std::exit(0);
}

TEST(SessionGpu, DirectRunsAndReport) {
  if (!has_gpu_device()) GTEST_SKIP() << "no GPU device: direct runs need a GPU backend";
  prepare_child_tests();
  EXPECT_EXIT(gpu_direct_child(), testing::ExitedWithCode(0),
              "alloc=[^\n]*\n[^\n]*direct compute=[^\n]*\n[^\n]*alloc=[^\n]*\n"
              "(.|\n)*CPU-fallback ops \\(none\\) ✓\n\n$");
}

}  // namespace
