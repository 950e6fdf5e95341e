// Tests of the request batcher. Submissions are ordered by holding the worker
// inside a gated callback and watching the queue length, never by sleeping.
#include "asr/batching/micro_batcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

int* cohort_target_address_in_other_unit();

namespace {

using olvan_speech::asr::BatchingConfig;
using olvan_speech::asr::BatchMetrics;
using olvan_speech::asr::MicroBatcher;
using Clock = std::chrono::steady_clock;

// Requests and results are move-only, so any copy inside the batcher fails to compile.
using Request = std::unique_ptr<int>;
struct Result {
  std::unique_ptr<int> value;  // echoes the request's value
  std::thread::id thread;      // where the callback ran
  size_t batch_size = 0;       // requests in the callback call that answered it
};
using Batcher = MicroBatcher<int, Request, Result>;

struct Call {
  int key;
  std::vector<int> values;
  std::thread::id thread;
};

constexpr int kGateKey = -1;
constexpr int32_t kForever = std::numeric_limits<int32_t>::max();  // microseconds, about 36 minutes
constexpr auto kGiveUp = std::chrono::seconds(60);                 // a broken batcher fails, not hangs

BatchingConfig worker_config(int32_t max_batch, int32_t max_wait_us) {
  BatchingConfig config;
  config.enabled = true;
  config.max_batch = max_batch;
  config.max_wait_us = max_wait_us;
  return config;
}

// batches, requests, single_request_batches, max_batch_seen, cohort_target_met,
// cohort_deadline_hit, cohort_target_sum
std::array<uint64_t, 7> counts(const BatchMetrics& m) {
  return {m.batches,          m.requests,          m.single_request_batches,
          m.max_batch_seen,   m.cohort_target_met, m.cohort_deadline_hit,
          m.cohort_target_sum};
}

template <typename E, typename F>
void expect_error(F&& f, const std::string& message) {
  try {
    f();
    ADD_FAILURE() << "no exception, expected \"" << message << "\"";
  } catch (const E& e) {
    EXPECT_EQ(e.what(), message);
  } catch (const std::exception& e) {
    ADD_FAILURE() << "wrong exception type: " << e.what();
  }
}

// One request submitted from its own thread. The outcome is read only after
// the thread has been joined, so a shared exception object is never freed by
// a thread that the reader has not synchronised with.
class Submission {
 public:
  template <typename Run>
  explicit Submission(Run run) {
    thread_ = std::thread([this, run] {
      try {
        result_.emplace(run());
      } catch (...) {
        error_ = std::current_exception();
      }
      finished_.set_value();
    });
  }
  ~Submission() { wait(); }
  Submission(const Submission&) = delete;
  Submission& operator=(const Submission&) = delete;

  bool finished_within(std::chrono::seconds limit) {
    return finished_future_.wait_for(limit) == std::future_status::ready;
  }
  void wait() {
    if (thread_.joinable()) thread_.join();
  }
  Result get() {
    wait();
    if (error_) {
      std::exception_ptr error;
      std::swap(error, error_);
      std::rethrow_exception(error);
    }
    return std::move(*result_);
  }

 private:
  std::optional<Result> result_;
  std::exception_ptr error_;
  std::promise<void> finished_;
  std::future<void> finished_future_ = finished_.get_future();
  std::thread thread_;
};

// A batcher whose callback echoes every request and records every call. Calls
// with kGateKey block until release_gate(). `hook` runs at the end of every
// call and may throw, call back into the batcher or change the results.
class Harness {
 public:
  using Hook = std::function<void(int key, std::vector<Result>& results)>;

  explicit Harness(BatchingConfig config, Hook hook = nullptr)
      : hook_(std::move(hook)),
        gate_open_(gate_.get_future().share()),
        batcher(config, [this](const int& key, std::vector<Request>&& requests) {
          return answer(key, std::move(requests));
        }) {}

  ~Harness() {
    release_gate();
    batcher.shutdown();
    submissions_.clear();  // joins the submitting threads
  }

  Submission& submit(int key, int value, int cohort_target) {
    submissions_.push_back(std::make_unique<Submission>([this, key, value, cohort_target] {
      return batcher.run(key, std::make_unique<int>(value), cohort_target);
    }));
    return *submissions_.back();
  }

  // Submits, then waits until the queue holds `queued_after` requests.
  Submission& enqueue(int key, int value, size_t queued_after) {
    Submission& s = submit(key, value, 0);
    EXPECT_TRUE(wait_queued(queued_after)) << "request " << value << " never reached the queue";
    return s;
  }

  // Holds the worker inside a gate call (needs a short max_wait_us); the
  // submission is answered once the gate is released.
  Submission& occupy_worker() {
    Submission& s = submit(kGateKey, 0, 0);
    EXPECT_EQ(gate_entered_future_.wait_for(kGiveUp), std::future_status::ready);
    return s;
  }

  void release_gate() {
    std::call_once(released_once_, [this] { gate_.set_value(); });
  }

  bool wait_queued(size_t n) const {
    const auto give_up = Clock::now() + kGiveUp;
    while (batcher.queued() < n) {
      if (Clock::now() > give_up) return false;
      std::this_thread::yield();
    }
    return true;
  }

  std::vector<Call> calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

 private:
  std::vector<Result> answer(int key, std::vector<Request>&& requests) {
    Call call{key, {}, std::this_thread::get_id()};
    for (const Request& r : requests) call.values.push_back(*r);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      calls_.push_back(call);
    }
    if (key == kGateKey) {
      std::call_once(entered_once_, [this] { gate_entered_.set_value(); });
      gate_open_.wait();
    }
    std::vector<Result> results;
    for (const Request& r : requests) {
      results.push_back(Result{std::make_unique<int>(*r), std::this_thread::get_id(), requests.size()});
    }
    if (hook_) hook_(key, results);
    return results;
  }

  Hook hook_;
  mutable std::mutex mutex_;
  std::vector<Call> calls_;
  std::promise<void> gate_;
  std::shared_future<void> gate_open_;
  std::once_flag released_once_;
  std::promise<void> gate_entered_;
  std::future<void> gate_entered_future_ = gate_entered_.get_future();
  std::once_flag entered_once_;
  std::vector<std::unique_ptr<Submission>> submissions_;

 public:
  Batcher batcher;  // declared last: destroyed, and its worker joined, first
};

// --- settings --------------------------------------------------------------

TEST(BatchingConfigTest, BatcherClampsEveryField) {
  struct Case {
    BatchingConfig in;
    BatchingConfig want;
  };
  const BatchingConfig defaults;
  const std::vector<Case> cases = {
      {defaults, {false, 1024, 5000, 2048, 20000, 16, 0}},
      {{true, 0, -5, 0, -1, 0, -7}, {true, 1, 0, 1, 0, 1, -7}},
      {{false, -3, 7, -10, 3, -2, 9}, {false, 1, 7, 1, 3, 1, 9}},
      {{true, 8, 0, 3, 0, 1, 0}, {true, 8, 0, 8, 0, 1, 0}},  // capacity raised to the batch
      {{true, 8, 0, 9, 0, 4, 0}, {true, 8, 0, 9, 0, 4, 0}},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE("case " + std::to_string(i));
    Batcher b(cases[i].in, [](const int&, std::vector<Request>&&) { return std::vector<Result>(); });
    const BatchingConfig& got = b.config;
    const BatchingConfig& want = cases[i].want;
    EXPECT_EQ(got.enabled, want.enabled);
    EXPECT_EQ(got.max_batch, want.max_batch);
    EXPECT_EQ(got.max_wait_us, want.max_wait_us);
    EXPECT_EQ(got.queue_capacity, want.queue_capacity);
    EXPECT_EQ(got.reserved0, want.reserved0);
    EXPECT_EQ(got.n_slots, want.n_slots);
    EXPECT_EQ(got.reserved1, want.reserved1);
  }
}

TEST(BatchingConfigTest, EmptyCallbackIsRejected) {
  expect_error<std::invalid_argument>([] { Batcher b(worker_config(4, 0), nullptr); },
                                      "MicroBatcher: run callback is empty");
}

TEST(BatchingConfigTest, DeadlineArithmeticDoesNotOverflow) {
  using olvan_speech::asr::batching_detail::cohort_deadline;
  const olvan_speech::asr::batching_detail::TimePoint t0 = Clock::now();
  // (2^31 - 1) us = 2147483647000 ns, far beyond 32 bits.
  EXPECT_EQ((cohort_deadline(t0, kForever) - t0).count(), 2147483647000LL);
  EXPECT_EQ((cohort_deadline(t0, 5000) - t0).count(), 5000000LL);
  EXPECT_EQ((cohort_deadline(t0, 0) - t0).count(), 0);
}

TEST(BatchCohortTargetTest, OneVariablePerThreadSharedByAllUnits) {
  using olvan_speech::asr::g_batch_cohort_target;
  EXPECT_EQ(g_batch_cohort_target, 0);
  EXPECT_EQ(cohort_target_address_in_other_unit(), &g_batch_cohort_target);
  g_batch_cohort_target = 5;
  EXPECT_EQ(*cohort_target_address_in_other_unit(), 5);

  int seen = -1;
  const int* other_thread_address = nullptr;
  std::thread([&] {
    seen = g_batch_cohort_target;
    other_thread_address = cohort_target_address_in_other_unit();
  }).join();
  EXPECT_EQ(seen, 0);
  EXPECT_NE(other_thread_address, &g_batch_cohort_target);
  g_batch_cohort_target = 0;
}

// --- direct path -----------------------------------------------------------

TEST(MicroBatcherDirectPath, WithoutWorkerEveryRequestRunsOnItsCallersThread) {
  BatchingConfig off = worker_config(8, 0);
  off.enabled = false;
  const std::vector<BatchingConfig> configs = {off, worker_config(1, 0), worker_config(0, 0),
                                               worker_config(-4, 0)};
  for (size_t i = 0; i < configs.size(); ++i) {
    SCOPED_TRACE("config " + std::to_string(i));
    Harness h(configs[i]);
    // Target 0 would queue if a worker ran.
    Result a = h.batcher.run(3, std::make_unique<int>(30), 0);
    std::thread::id other_id;
    Result b;
    std::thread other([&] {
      other_id = std::this_thread::get_id();
      b = h.batcher.run(4, std::make_unique<int>(40), 0);
    });
    other.join();
    Result c = h.batcher.run(3, std::make_unique<int>(31), 5);

    EXPECT_EQ(*a.value, 30);
    EXPECT_EQ(*b.value, 40);
    EXPECT_EQ(*c.value, 31);
    const std::vector<Call> calls = h.calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].values, std::vector<int>{30});
    EXPECT_EQ(calls[0].thread, std::this_thread::get_id());
    EXPECT_EQ(calls[1].values, std::vector<int>{40});
    EXPECT_EQ(calls[1].thread, other_id);
    EXPECT_EQ(calls[2].values, std::vector<int>{31});
    EXPECT_EQ(calls[2].thread, std::this_thread::get_id());
    const BatchMetrics m = h.batcher.metrics();
    EXPECT_EQ(counts(m), (std::array<uint64_t, 7>{3, 3, 3, 1, 0, 0, 0}));
    EXPECT_EQ(m.wait_ns_sum, 0u);
  }
}

TEST(MicroBatcherDirectPath, CohortTargetOneBypassesABusyWorker) {
  Harness h(worker_config(4, 0));
  Submission& gate = h.occupy_worker();
  // The worker is stuck in the gate call, so this can only finish on this thread.
  Result direct = h.batcher.run(5, std::make_unique<int>(7), 1);
  EXPECT_EQ(*direct.value, 7);
  EXPECT_EQ(direct.thread, std::this_thread::get_id());
  EXPECT_EQ(direct.batch_size, 1u);
  h.release_gate();
  const Result gated = gate.get();
  EXPECT_NE(gated.thread, std::this_thread::get_id());
  EXPECT_EQ(counts(h.batcher.metrics()), (std::array<uint64_t, 7>{2, 2, 2, 1, 0, 1, 4}));
}

TEST(MicroBatcherDirectPath, CallbackFailureReachesTheCallerAndMovesNoCounter) {
  struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
  };
  std::atomic<bool> fail{true};
  std::atomic<bool> extra_result{false};
  BatchingConfig off;
  Harness h(off, [&](int, std::vector<Result>& results) {
    if (extra_result) results.push_back(Result{std::make_unique<int>(0), {}, 0});
    if (fail) throw Failure("callback failed");
  });
  expect_error<Failure>([&] { h.batcher.run(1, std::make_unique<int>(1), 0); }, "callback failed");
  fail = false;
  extra_result = true;
  expect_error<std::runtime_error>([&] { h.batcher.run(1, std::make_unique<int>(2), 0); },
                                   "MicroBatcher: scalar callback returned wrong result count");
  EXPECT_EQ(counts(h.batcher.metrics()), (std::array<uint64_t, 7>{0, 0, 0, 0, 0, 0, 0}));
  extra_result = false;
  EXPECT_EQ(*h.batcher.run(1, std::make_unique<int>(3), 0).value, 3);
  EXPECT_EQ(counts(h.batcher.metrics()), (std::array<uint64_t, 7>{1, 1, 1, 1, 0, 0, 0}));
}

// --- queued path -----------------------------------------------------------

TEST(MicroBatcherQueuedPath, GroupsEqualKeysUpToMaxBatchAndKeepsOtherKeysInOrder) {
  constexpr int kA = 1, kB = 2;
  Harness h(worker_config(3, 0));
  Submission& gate = h.occupy_worker();
  // Queue while the worker is held: A1 A2 B1 A3 B2 A4 A5 (values 1..7).
  const std::vector<int> keys = {kA, kA, kB, kA, kB, kA, kA};
  std::vector<Submission*> queued;
  for (size_t i = 0; i < keys.size(); ++i) {
    queued.push_back(&h.enqueue(keys[i], static_cast<int>(i) + 1, i + 1));
  }
  h.release_gate();
  const std::thread::id worker_id = gate.get().thread;
  const std::vector<size_t> want_sizes = {3, 3, 2, 3, 2, 2, 2};
  for (size_t i = 0; i < queued.size(); ++i) {
    const Result r = queued[i]->get();
    EXPECT_EQ(*r.value, static_cast<int>(i) + 1);
    EXPECT_EQ(r.thread, worker_id);
    EXPECT_EQ(r.batch_size, want_sizes[i]) << "request " << i + 1;
  }

  const std::vector<Call> calls = h.calls();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[1].key, kA);
  EXPECT_EQ(calls[1].values, (std::vector<int>{1, 2, 4}));  // cut at max_batch, B1 skipped
  EXPECT_EQ(calls[2].key, kB);
  EXPECT_EQ(calls[2].values, (std::vector<int>{3, 5}));  // B1 became the head
  EXPECT_EQ(calls[3].key, kA);
  EXPECT_EQ(calls[3].values, (std::vector<int>{6, 7}));
  for (const Call& c : calls) EXPECT_EQ(c.thread, worker_id);
  // Every head had the target 3 (max_batch); only the first A cohort reached it.
  EXPECT_EQ(counts(h.batcher.metrics()), (std::array<uint64_t, 7>{4, 8, 1, 3, 1, 3, 12}));
}

TEST(MicroBatcherQueuedPath, CohortThatMeetsItsTargetRunsAsOneBatch) {
  // The deadline is ~36 minutes away (and overflows in 32-bit arithmetic), so
  // only the third request can start the batch.
  Harness h(worker_config(8, kForever));
  const auto t0 = Clock::now();
  std::vector<Submission*> cohort;
  cohort.push_back(&h.submit(1, 10, 3));
  ASSERT_TRUE(h.wait_queued(1));
  const auto t1 = Clock::now();  // the head is queued by now
  cohort.push_back(&h.submit(1, 11, 3));
  ASSERT_TRUE(h.wait_queued(2));
  const auto t2 = Clock::now();  // the cohort is taken only after this
  cohort.push_back(&h.submit(1, 12, 3));
  for (Submission* s : cohort) EXPECT_EQ(s->get().batch_size, 3u);
  const auto t_end = Clock::now();

  const std::vector<Call> calls = h.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].values, (std::vector<int>{10, 11, 12}));
  const BatchMetrics m = h.batcher.metrics();
  EXPECT_EQ(counts(m), (std::array<uint64_t, 7>{1, 3, 0, 3, 1, 0, 3}));
  EXPECT_GE(m.wait_ns_sum, static_cast<uint64_t>(std::chrono::nanoseconds(t2 - t1).count()));
  EXPECT_LE(m.wait_ns_sum, static_cast<uint64_t>(std::chrono::nanoseconds(t_end - t0).count()));
}

TEST(MicroBatcherQueuedPath, DeadlineCutsAShortCohort) {
  constexpr int32_t kWaitUs = 2000;
  constexpr uint64_t kWaitNs = 2000u * 1000u;
  Harness h(worker_config(8, kWaitUs));
  const auto t0 = Clock::now();
  Submission& gate = h.occupy_worker();
  const auto t_entered = Clock::now();
  // The gate head (target 8, alone) can only have been taken at its deadline.
  const uint64_t gate_wait = h.batcher.metrics().wait_ns_sum;
  EXPECT_GE(gate_wait, kWaitNs);
  EXPECT_LE(gate_wait, static_cast<uint64_t>(std::chrono::nanoseconds(t_entered - t0).count()));

  Submission& a1 = h.enqueue(1, 1, 1);
  Submission& a2 = h.enqueue(1, 2, 2);
  h.release_gate();
  EXPECT_EQ(a1.get().batch_size, 2u);
  EXPECT_EQ(a2.get().batch_size, 2u);
  gate.get();

  const std::vector<Call> calls = h.calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].values, (std::vector<int>{1, 2}));
  const BatchMetrics m = h.batcher.metrics();
  EXPECT_EQ(counts(m), (std::array<uint64_t, 7>{2, 3, 1, 2, 0, 2, 16}));
  EXPECT_GE(m.wait_ns_sum - gate_wait, kWaitNs);
}

TEST(MicroBatcherQueuedPath, CohortTargetIsClampedToMaxBatch) {
  // Each request is alone and max_wait_us is 0, so every head is cut at once
  // and adds its effective target to cohort_target_sum.
  struct Case {
    int target;
    uint64_t effective;
  };
  const std::vector<Case> cases = {{0, 4}, {-2, 4}, {2, 2}, {3, 3}, {4, 4}, {9, 4}};
  Harness h(worker_config(4, 0));
  uint64_t sum = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE("target " + std::to_string(c.target));
    const Result r = h.batcher.run(1, std::make_unique<int>(c.target), c.target);
    EXPECT_NE(r.thread, std::this_thread::get_id());
    sum += c.effective;
    EXPECT_EQ(h.batcher.metrics().cohort_target_sum, sum);
  }
  EXPECT_EQ(h.batcher.metrics().cohort_deadline_hit, cases.size());
}

TEST(MicroBatcherQueuedPath, LargestPossibleMaxBatchStillWorks) {
  // The worker must not set aside room for max_batch requests up front: for
  // 2^31 - 1 that is far more memory than a machine has.
  Harness h(worker_config(std::numeric_limits<int32_t>::max(), 0));
  const Result r = h.batcher.run(1, std::make_unique<int>(3), 2);
  EXPECT_EQ(*r.value, 3);
  EXPECT_NE(r.thread, std::this_thread::get_id());
  EXPECT_EQ(h.batcher.config.queue_capacity, std::numeric_limits<int32_t>::max());
}

TEST(MicroBatcherQueuedPath, FullQueueRefusesTheSubmission) {
  BatchingConfig config = worker_config(2, 0);
  config.queue_capacity = 1;  // raised to max_batch, so two requests fit
  Harness h(config);
  Submission& gate = h.occupy_worker();
  Submission& a1 = h.enqueue(1, 1, 1);
  Submission& a2 = h.enqueue(1, 2, 2);
  // Refused at once; a batcher that queued it would leave it waiting behind the gate.
  Submission& a3 = h.submit(1, 3, 0);
  ASSERT_TRUE(a3.finished_within(kGiveUp));
  expect_error<std::runtime_error>([&] { a3.get(); }, "MicroBatcher: queue is full");
  EXPECT_EQ(h.batcher.queued(), 2u);
  h.release_gate();
  EXPECT_EQ(*a1.get().value, 1);
  EXPECT_EQ(*a2.get().value, 2);
  gate.get();
  const std::vector<Call> calls = h.calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].values, (std::vector<int>{1, 2}));
}

TEST(MicroBatcherQueuedPath, BatchFailureReachesEveryCallerAndTheWorkerGoesOn) {
  struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
  };
  struct Case {
    const char* name;
    bool throw_failure;  // else return one result too many
  };
  for (const Case& c : {Case{"throws", true}, Case{"wrong count", false}}) {
    SCOPED_TRACE(c.name);
    std::atomic<int> call_index{0};
    Harness h(worker_config(3, kForever), [&](int, std::vector<Result>& results) {
      if (call_index++ != 0) return;
      if (c.throw_failure) throw Failure("batch failed");
      results.push_back(Result{std::make_unique<int>(0), {}, 0});
    });
    std::vector<Submission*> failing;
    for (int v = 1; v <= 3; ++v) failing.push_back(&h.submit(1, v, 3));
    // All three callers share one exception object: let them all finish first.
    for (Submission* s : failing) s->wait();
    for (Submission* s : failing) {
      if (c.throw_failure) {
        expect_error<Failure>([&] { s->get(); }, "batch failed");
      } else {
        expect_error<std::runtime_error>([&] { s->get(); },
                                         "MicroBatcher: callback returned wrong result count");
      }
    }
    // The failed batch met its target (counted before the call) but is not a batch.
    EXPECT_EQ(counts(h.batcher.metrics()), (std::array<uint64_t, 7>{0, 0, 0, 0, 1, 0, 3}));

    std::vector<Submission*> next;
    for (int v = 4; v <= 6; ++v) next.push_back(&h.submit(2, v, 3));
    for (int v = 4; v <= 6; ++v) EXPECT_EQ(*next[v - 4]->get().value, v);
    EXPECT_EQ(counts(h.batcher.metrics()), (std::array<uint64_t, 7>{1, 3, 0, 3, 2, 0, 6}));
  }
}

// --- shutdown --------------------------------------------------------------

TEST(MicroBatcherShutdown, DrainsTheQueueWithoutWaitingForDeadlines) {
  constexpr int kA = 1, kB = 2;
  Harness h(worker_config(8, kForever));
  // Target 8 is never reached and the deadline is far away: only shutdown can
  // release these.
  std::vector<Submission*> queued;
  queued.push_back(&h.enqueue(kA, 1, 1));
  queued.push_back(&h.enqueue(kA, 2, 2));
  queued.push_back(&h.enqueue(kB, 3, 3));
  queued.push_back(&h.enqueue(kA, 4, 4));
  h.batcher.shutdown();

  // The worker answered everything before shutdown returned.
  const std::vector<Call> calls = h.calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].key, kA);
  EXPECT_EQ(calls[0].values, (std::vector<int>{1, 2, 4}));
  EXPECT_EQ(calls[1].key, kB);
  EXPECT_EQ(calls[1].values, (std::vector<int>{3}));
  EXPECT_EQ(h.batcher.queued(), 0u);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(*queued[i]->get().value, i + 1);
  EXPECT_EQ(counts(h.batcher.metrics()), (std::array<uint64_t, 7>{2, 4, 1, 3, 0, 2, 16}));

  h.batcher.shutdown();  // second call: nothing happens
  expect_error<std::runtime_error>([&] { h.batcher.run(kA, std::make_unique<int>(5), 0); },
                                   "MicroBatcher: submit after shutdown");
  EXPECT_EQ(h.calls().size(), 2u);
}

TEST(MicroBatcherShutdown, SubmissionAfterShutdownFailsOnEitherPath) {
  struct Case {
    const char* name;
    bool enabled;
    int target;
  };
  for (const Case& c : {Case{"no worker", false, 0}, Case{"queued", true, 0}, Case{"direct", true, 1}}) {
    SCOPED_TRACE(c.name);
    BatchingConfig config = worker_config(4, 0);
    config.enabled = c.enabled;
    Harness h(config);
    h.batcher.shutdown();
    h.batcher.shutdown();
    expect_error<std::runtime_error>([&] { h.batcher.run(1, std::make_unique<int>(1), c.target); },
                                     "MicroBatcher: submit after shutdown");
    EXPECT_TRUE(h.calls().empty());
  }
}

TEST(MicroBatcherShutdown, CallingBackFromTheCallbackFailsInsteadOfDeadlocking) {
  struct Case {
    const char* name;
    bool worker;
    bool call_shutdown;  // else call run
    const char* message;
  };
  const std::vector<Case> cases = {
      {"shutdown, direct", false, true, "MicroBatcher: shutdown called from the batch callback"},
      {"shutdown, worker", true, true, "MicroBatcher: shutdown called from the batch callback"},
      {"run, direct", false, false, "MicroBatcher: run called from the batch callback"},
      {"run, worker", true, false, "MicroBatcher: run called from the batch callback"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BatchingConfig config = worker_config(4, 0);
    config.enabled = c.worker;
    std::atomic<bool> call_back{true};
    Batcher* self = nullptr;
    Harness h(config, [&](int, std::vector<Result>&) {
      if (!call_back) return;
      if (c.call_shutdown) {
        self->shutdown();
      } else {
        self->run(1, std::make_unique<int>(0), 1);
      }
    });
    self = &h.batcher;
    expect_error<std::logic_error>([&] { h.batcher.run(1, std::make_unique<int>(1), 0); }, c.message);
    // The batcher is still running.
    call_back = false;
    EXPECT_EQ(*h.batcher.run(1, std::make_unique<int>(2), 0).value, 2);
    EXPECT_EQ(h.batcher.metrics().batches, 1u);
  }
}

TEST(MicroBatcherShutdown, RacingSubmissionsAreAnsweredOrRefused) {
  constexpr int kThreads = 8, kPerThread = 200;
  Harness h(worker_config(4, 50));
  std::atomic<int> answered{0};
  std::vector<int> refused(kThreads, 0), wrong(kThreads, 0), answered_after_refusal(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        const int value = t * 1000 + i;
        try {
          const Result r = h.batcher.run(value % 3, std::make_unique<int>(value), i % 2);
          if (*r.value != value) ++wrong[t];
          if (refused[t] > 0) ++answered_after_refusal[t];
          ++answered;
        } catch (const std::runtime_error& e) {
          if (std::string(e.what()) == "MicroBatcher: submit after shutdown") {
            ++refused[t];
          } else {
            ++wrong[t];
          }
        }
      }
    });
  }
  const auto give_up = Clock::now() + kGiveUp;
  while (answered < kThreads * kPerThread / 8 && Clock::now() < give_up) std::this_thread::yield();
  h.batcher.shutdown();
  const size_t calls_at_shutdown = h.calls().size();
  for (std::thread& t : threads) t.join();

  EXPECT_EQ(h.calls().size(), calls_at_shutdown) << "a callback ran after shutdown returned";
  int total_refused = 0;
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(wrong[t], 0);
    EXPECT_EQ(answered_after_refusal[t], 0);
    total_refused += refused[t];
  }
  EXPECT_EQ(answered + total_refused, kThreads * kPerThread);
  EXPECT_EQ(h.batcher.metrics().requests, static_cast<uint64_t>(answered.load()));
}

// --- many callers ----------------------------------------------------------

TEST(MicroBatcherConcurrency, EveryCallerGetsItsOwnResult) {
  constexpr int kThreads = 8, kPerThread = 150, kMaxBatch = 4, kKeys = 3;
  Harness h(worker_config(kMaxBatch, 100));
  // Threads 0 and 4 go direct (target 1), the others through the worker.
  auto is_direct = [](int t) { return t % 4 == 0; };
  std::vector<std::vector<int>> got(kThreads);
  std::vector<std::thread::id> ids(kThreads);
  std::vector<int> misplaced(kThreads, 0);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ids[t] = std::this_thread::get_id();
      for (int i = 0; i < kPerThread; ++i) {
        const int value = t * 1000 + i;
        try {
          const Result r = h.batcher.run(value % kKeys, std::make_unique<int>(value), is_direct(t) ? 1 : 0);
          got[t].push_back(*r.value);
          if ((r.thread == ids[t]) != is_direct(t)) ++misplaced[t];
        } catch (...) {
          ++failures;
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();

  EXPECT_EQ(failures, 0);
  std::vector<int> all_values;
  for (int t = 0; t < kThreads; ++t) {
    std::vector<int> want(kPerThread);
    for (int i = 0; i < kPerThread; ++i) want[i] = t * 1000 + i;
    EXPECT_EQ(got[t], want) << "thread " << t;
    EXPECT_EQ(misplaced[t], 0) << "thread " << t;
    all_values.insert(all_values.end(), want.begin(), want.end());
  }

  const std::vector<Call> calls = h.calls();
  std::vector<int> seen;
  uint64_t worker_calls = 0;
  std::thread::id worker_id;
  for (const Call& c : calls) {
    ASSERT_FALSE(c.values.empty());
    EXPECT_LE(c.values.size(), static_cast<size_t>(kMaxBatch));
    const int owner = c.values[0] / 1000;
    if (is_direct(owner)) {
      EXPECT_EQ(c.values.size(), 1u);
      EXPECT_EQ(c.thread, ids[owner]);
    } else {
      if (worker_calls++ == 0) worker_id = c.thread;
      EXPECT_EQ(c.thread, worker_id);
    }
    for (int v : c.values) {
      EXPECT_EQ(v % kKeys, c.key);
      seen.push_back(v);
    }
  }
  std::sort(seen.begin(), seen.end());
  std::sort(all_values.begin(), all_values.end());
  EXPECT_EQ(seen, all_values);  // each request answered by exactly one call

  const BatchMetrics m = h.batcher.metrics();
  EXPECT_EQ(m.batches, calls.size());
  EXPECT_EQ(m.requests, static_cast<uint64_t>(kThreads * kPerThread));
  EXPECT_EQ(m.cohort_target_met + m.cohort_deadline_hit, worker_calls);
  EXPECT_EQ(m.cohort_target_sum, worker_calls * kMaxBatch);
  EXPECT_LE(m.max_batch_seen, static_cast<uint64_t>(kMaxBatch));
  EXPECT_EQ(m.batches, h.batcher.batches.load());
  EXPECT_EQ(m.reserved0 + m.reserved1 + m.reserved2 + m.reserved3 + m.reserved4, 0u);
}

}  // namespace
