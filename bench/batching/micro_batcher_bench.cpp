// Cost of the request batcher itself, with a callback that does next to
// nothing: the direct path on the caller's thread, and the queued path with
// several submitting threads gathered by the worker.
//
// Reported per run: items_per_second (requests per second over all threads),
// ns_per_request (wall time per request over all threads, printed in seconds
// with an SI prefix) and, for the
// queued path, avg_batch (requests per callback call).
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "asr/batching/micro_batcher.h"

namespace {

using olvan_speech::asr::BatchingConfig;
using Batcher = olvan_speech::asr::MicroBatcher<int, int, int>;

std::vector<int> add_one(const int&, std::vector<int>&& requests) {
  for (int& r : requests) r += 1;
  return std::move(requests);
}

std::unique_ptr<Batcher> g_batcher;

void report(benchmark::State& state) {
  // Summed over threads, divided by wall time, inverted: seconds per request.
  state.counters["ns_per_request"] = benchmark::Counter(
      static_cast<double>(state.iterations()), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.SetItemsProcessed(state.iterations());
}

void make_direct(const benchmark::State&) {
  BatchingConfig config;  // batching off
  g_batcher = std::make_unique<Batcher>(config, add_one);
}

// Args: max_batch, max_wait_us.
void make_queued(const benchmark::State& state) {
  BatchingConfig config;
  config.enabled = true;
  config.max_batch = static_cast<int32_t>(state.range(0));
  config.max_wait_us = static_cast<int32_t>(state.range(1));
  g_batcher = std::make_unique<Batcher>(config, add_one);
}

void destroy(const benchmark::State&) { g_batcher.reset(); }

void BM_DirectPath(benchmark::State& state) {
  int value = state.thread_index();
  for (auto _ : state) {
    value = g_batcher->run(0, value, 0);
    benchmark::DoNotOptimize(value);
  }
  report(state);
}
BENCHMARK(BM_DirectPath)->Setup(make_direct)->Teardown(destroy)->UseRealTime()->Threads(1)->Threads(8);

// Arg 2: the cohort target each caller passes (0: max_batch).
void BM_QueuedPath(benchmark::State& state) {
  const int target = static_cast<int>(state.range(2));
  int value = state.thread_index();
  for (auto _ : state) {
    value = g_batcher->run(0, value, target);
    benchmark::DoNotOptimize(value);
  }
  report(state);
  if (state.thread_index() == 0) {
    const auto m = g_batcher->metrics();
    state.counters["avg_batch"] = m.batches ? static_cast<double>(m.requests) / m.batches : 0.0;
  }
}
BENCHMARK(BM_QueuedPath)
    ->Setup(make_queued)
    ->Teardown(destroy)
    ->ArgNames({"max_batch", "max_wait_us", "target"})
    ->Args({8, 5000, 0})     // cohorts of all 8 callers
    ->Args({8, 0, 0})        // whatever is queued when the worker looks
    ->Args({1024, 5000, 8})  // the usual settings with a cohort target of 8
    ->UseRealTime()
    ->Threads(8);

}  // namespace

BENCHMARK_MAIN();
