// Sessions of one manager used from several threads at once: every run and
// state operation is serialised on the manager's mutex.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "runtime/ggml/session.h"
#include "runtime/ggml/session_test_modules.h"

namespace {

using ggml_runtime::Session;
using ggml_runtime::SessionState;
using ggml_runtime::TensorBag;
using ggml_runtime::TensorContainer;
using kestrix_test::FnModule;

TEST(SessionThreads, SessionsOfOneManagerRunConcurrently) {
  auto manager = kestrix_test::cpu_manager();
  constexpr int kSessions = 3;
  constexpr int kRuns = 40;
  std::vector<std::unique_ptr<FnModule>> modules;
  std::vector<std::unique_ptr<Session>> sessions;
  for (int s = 0; s < kSessions; ++s) {
    modules.push_back(std::make_unique<FnModule>());
    modules.back()->build = kestrix_test::add_scalar_graph(static_cast<float>(s));
    sessions.push_back(std::make_unique<Session>(*manager, modules.back().get(), nullptr));
    sessions.back()->cache_capacity = 2;  // three shapes per thread: evictions and rebuilds as well
    sessions.back()->setup();
  }
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int s = 0; s < kSessions; ++s) {
    threads.emplace_back([&, s] {
      SessionState state = sessions[s]->make_session_state();
      for (int r = 0; r < kRuns; ++r) {
        const int64_t n = 8 + (r % 3) * 8;
        std::vector<float> x(static_cast<size_t>(n), static_cast<float>(r)), y(static_cast<size_t>(n), -1.0f);
        std::vector<Session::Output> outputs = {kestrix_test::host_output(0, y.data(), y.size())};
        sessions[s]->run({kestrix_test::host_input("x", x.data(), {n})}, outputs,
                         r % 2 == 0 ? &state : nullptr);
        for (float v : y) {
          if (v != static_cast<float>(r + s)) ++wrong;  // small integers: exact
        }
        if (r % 10 == 0) sessions[s]->reset_session_state(state);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
  for (const auto& session : sessions) EXPECT_LE(session->cached_graph_count(), 2u);
}

}  // namespace
