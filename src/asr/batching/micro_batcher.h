// Request batcher: gathers requests with equal keys from many callers into one
// call of a batch callback, on a worker thread with a bounded queue and a
// waiting deadline, or runs each request at once on its caller's thread.
//
// Threading contract of MicroBatcher:
// - `run` may be called from any number of threads at once. A request on the
//   queued path blocks its caller until the worker has run its batch; there is
//   no time-out.
// - The batch callback may run on several threads at the same time: on the
//   worker (at most one per batcher) and on every caller that takes the direct
//   path. It must be safe for that.
// - The batch callback must not call `run` or `shutdown` of its own batcher:
//   both throw std::logic_error when called from inside it. Destroying the
//   batcher from inside its callback therefore ends the process (the
//   destructor cannot throw). A callback must also not wait for a thread that
//   is inside `shutdown`, since `shutdown` waits for the callback.
// - `shutdown` may be called from any other thread, also concurrently with
//   submissions and with itself; it returns once every request accepted before
//   it has been answered. The owner must make sure that no thread is inside or
//   about to call `run` when the batcher is destroyed.
// - When a worker batch fails, each of its callers rethrows the same exception
//   object (one std::exception_ptr shared by all of them).
// - The counters are relaxed atomics and may be read at any time without a
//   lock; a set of them read one by one is not a snapshot.
//
// Lock order: `lifetime_mutex` before `queue_mutex`. `queue_mutex` is held
// only for bookkeeping, never during a callback or while a caller waits.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

namespace olvan_speech::asr {

// Request-batching settings of one batched stage. `MicroBatcher` clamps them
// (see clamp_batching_config); it never rejects a value.
struct BatchingConfig {
  bool enabled = false;           // gather requests on a worker thread
  int32_t max_batch = 1024;       // requests per callback call; default cohort target (>= 1)
  int32_t max_wait_us = 5000;     // microseconds the queue head waits for its cohort (>= 0)
  int32_t queue_capacity = 2048;  // requests waiting in the queue at most (>= max_batch)
  int32_t reserved0 = 20000;      // reserved, unused (>= 0)
  int32_t n_slots = 16;           // stream slots of the streaming encoder service (>= 1)
  int32_t reserved1 = 0;          // reserved, unused
};

// A batcher's counters as the owners report them. The first eight fields copy
// the batcher's counters of the same names; the last five are reserved and 0.
struct BatchMetrics {
  uint64_t batches = 0;                 // successful callback calls, direct and worker
  uint64_t requests = 0;                // requests answered by those calls
  uint64_t single_request_batches = 0;  // those calls that held one request
  uint64_t max_batch_seen = 0;          // largest batch so far (requests)
  uint64_t cohort_target_met = 0;       // worker batches that reached the head's target
  uint64_t cohort_deadline_hit = 0;     // worker batches cut short by the deadline or shutdown
  uint64_t cohort_target_sum = 0;       // head targets of all worker batches, added up (requests)
  uint64_t wait_ns_sum = 0;             // head waits, submission to cohort taken (nanoseconds)
  uint64_t reserved0 = 0;               // reserved, 0
  uint64_t reserved1 = 0;               // reserved, 0
  uint64_t reserved2 = 0;               // reserved, 0
  uint64_t reserved3 = 0;               // reserved, 0
  uint64_t reserved4 = 0;               // reserved, 0
};

// How many equal-key requests this thread's next submissions ask the batchers
// to wait for: 0 the configured largest batch, 1 run at once on this thread.
// One variable per thread for the whole program, 0 when the thread starts.
inline thread_local int g_batch_cohort_target = 0;

// The settings a batcher works with: max_batch >= 1, max_wait_us >= 0,
// queue_capacity >= max_batch, reserved0 >= 0, n_slots >= 1; `enabled` and
// `reserved1` unchanged.
inline BatchingConfig clamp_batching_config(BatchingConfig config) {
  config.max_batch = std::max<int32_t>(config.max_batch, 1);
  config.max_wait_us = std::max<int32_t>(config.max_wait_us, 0);
  config.reserved0 = std::max<int32_t>(config.reserved0, 0);
  config.queue_capacity = std::max<int32_t>(config.queue_capacity, config.max_batch);
  config.n_slots = std::max<int32_t>(config.n_slots, 1);
  return config;
}

namespace batching_detail {

using Clock = std::chrono::steady_clock;
using TimePoint = std::chrono::time_point<Clock, std::chrono::nanoseconds>;

// Latest moment the head of the queue waits for its cohort. Computed in 64-bit
// nanoseconds: the largest wait (2^31 - 1 microseconds) does not fit 32 bits.
inline TimePoint cohort_deadline(TimePoint enqueue_time, int32_t max_wait_us) {
  return enqueue_time + std::chrono::nanoseconds(static_cast<int64_t>(max_wait_us) * 1000);
}

// The batchers whose callback the current thread is running, innermost first,
// so that a callback calling back into its own batcher is refused instead of
// deadlocking.
struct CallbackFrame {
  const void* batcher;
  const CallbackFrame* outer;
};
inline thread_local const CallbackFrame* g_callback_frames = nullptr;

inline bool in_callback_of(const void* batcher) {
  for (const CallbackFrame* frame = g_callback_frames; frame != nullptr; frame = frame->outer) {
    if (frame->batcher == batcher) return true;
  }
  return false;
}

class CallbackScope {
 public:
  explicit CallbackScope(const void* batcher) : frame_{batcher, g_callback_frames} {
    g_callback_frames = &frame_;
  }
  ~CallbackScope() { g_callback_frames = frame_.outer; }
  CallbackScope(const CallbackScope&) = delete;
  CallbackScope& operator=(const CallbackScope&) = delete;

 private:
  CallbackFrame frame_;
};

}  // namespace batching_detail

template <typename Key, typename Request, typename Result, typename KeyEq = std::equal_to<Key>>
class MicroBatcher {
 public:
  // Turns one key and the batch's requests (in queue order) into exactly one
  // result per request, in the same order.
  using Callback = std::function<std::vector<Result>(const Key&, std::vector<Request>&&)>;

  // Clamps the settings and starts the worker when batching is enabled and the
  // clamped max_batch exceeds 1. Throws std::invalid_argument for an empty
  // callback; a failed thread start propagates as std::system_error.
  MicroBatcher(BatchingConfig batching, Callback batch_callback, KeyEq eq = KeyEq())
      : config(clamp_batching_config(batching)), callback(std::move(batch_callback)), key_eq(std::move(eq)) {
    if (!callback) throw std::invalid_argument("MicroBatcher: run callback is empty");
    if (config.enabled && config.max_batch >= 2) worker = std::thread([this] { worker_loop(); });
  }

  ~MicroBatcher() { shutdown(); }

  MicroBatcher(const MicroBatcher&) = delete;
  MicroBatcher& operator=(const MicroBatcher&) = delete;

  // Submits one request and blocks until its result exists. cohort_target 1
  // runs it at once on this thread; 0 or less waits for max_batch equal-key
  // requests; any other value for that many (at most max_batch). Without a
  // worker every request runs at once on this thread.
  Result run(Key key, Request request, int cohort_target) {
    if (batching_detail::in_callback_of(this)) {
      throw std::logic_error("MicroBatcher: run called from the batch callback");
    }
    std::shared_lock<std::shared_mutex> lifetime(lifetime_mutex);
    if (!worker.joinable() || cohort_target == 1) return run_direct(key, std::move(request));

    const int32_t target =
        cohort_target <= 0 ? config.max_batch : std::min<int32_t>(cohort_target, config.max_batch);
    const auto job = std::make_shared<Job>(std::move(key), std::move(request), target);
    {
      std::lock_guard<std::mutex> lock(queue_mutex);
      if (stopping) throw std::runtime_error("MicroBatcher: submit after shutdown");
      if (queue.size() >= static_cast<size_t>(config.queue_capacity)) {
        throw std::runtime_error("MicroBatcher: queue is full");
      }
      queue.push_back(job);
    }
    queue_cv.notify_one();
    // The job is queued, so shutdown cannot finish before it is answered; the
    // wait itself touches only the job.
    lifetime.unlock();
    return job->wait();
  }

  // Stops accepting submissions, lets the worker answer every queued request
  // without waiting for deadlines, and joins it. Waits for direct-path calls in
  // progress. A second call does nothing. Throws std::logic_error when called
  // from inside this batcher's callback.
  void shutdown() {
    if (batching_detail::in_callback_of(this)) {
      throw std::logic_error("MicroBatcher: shutdown called from the batch callback");
    }
    std::unique_lock<std::shared_mutex> lifetime(lifetime_mutex);
    {
      std::lock_guard<std::mutex> lock(queue_mutex);
      if (stopping) return;
      stopping = true;
    }
    queue_cv.notify_all();
    if (worker.joinable()) worker.join();
  }

  // The counters, read one by one.
  BatchMetrics metrics() const {
    BatchMetrics m;
    m.batches = batches.load(std::memory_order_relaxed);
    m.requests = requests.load(std::memory_order_relaxed);
    m.single_request_batches = single_request_batches.load(std::memory_order_relaxed);
    m.max_batch_seen = max_batch_seen.load(std::memory_order_relaxed);
    m.cohort_target_met = cohort_target_met.load(std::memory_order_relaxed);
    m.cohort_deadline_hit = cohort_deadline_hit.load(std::memory_order_relaxed);
    m.cohort_target_sum = cohort_target_sum.load(std::memory_order_relaxed);
    m.wait_ns_sum = wait_ns_sum.load(std::memory_order_relaxed);
    return m;
  }

  // Requests waiting in the queue now.
  size_t queued() const {
    std::lock_guard<std::mutex> lock(queue_mutex);
    return queue.size();
  }

  const BatchingConfig config;  // the clamped settings

  // Counters (see BatchMetrics); owners read them, only the batcher writes.
  std::atomic<uint64_t> batches{0};
  std::atomic<uint64_t> requests{0};
  std::atomic<uint64_t> single_request_batches{0};
  std::atomic<uint64_t> max_batch_seen{0};
  std::atomic<uint64_t> cohort_target_met{0};
  std::atomic<uint64_t> cohort_deadline_hit{0};
  std::atomic<uint64_t> cohort_target_sum{0};
  std::atomic<uint64_t> wait_ns_sum{0};

 private:
  using TimePoint = batching_detail::TimePoint;

  // One queued request, held by the queue (then the worker) and by its caller;
  // allocated with its shared count in one allocation. The worker answers it
  // through `result` or `error` and then sets `done`.
  struct Job {
    Job(Key k, Request r, int32_t target)
        : key(std::move(k)),
          request(std::move(r)),
          enqueue_time(batching_detail::Clock::now()),
          cohort_target(target) {}

    Key key;
    Request request;
    TimePoint enqueue_time;  // when the job was created, before the queue checks
    int32_t cohort_target;   // equal-key requests to wait for as head, in [2, max_batch]
    std::mutex done_mutex;
    std::condition_variable done_cv;
    bool done = false;             // guarded by done_mutex
    std::optional<Result> result;  // written before done is set
    std::exception_ptr error;      // written before done is set

    // Worker side: publishes the answer written into result or error.
    void finish() {
      {
        std::lock_guard<std::mutex> lock(done_mutex);
        done = true;
      }
      done_cv.notify_one();
    }

    // Caller side: blocks until finish(), then takes the answer out.
    Result wait() {
      std::unique_lock<std::mutex> lock(done_mutex);
      done_cv.wait(lock, [this] { return done; });
      if (error) {
        std::exception_ptr taken;
        std::swap(taken, error);
        lock.unlock();
        std::rethrow_exception(taken);
      }
      return std::move(*result);
    }
  };

  Result run_direct(const Key& key, Request request) {
    {
      std::lock_guard<std::mutex> lock(queue_mutex);
      if (stopping) throw std::runtime_error("MicroBatcher: submit after shutdown");
    }
    std::vector<Request> batch;
    batch.reserve(1);
    batch.push_back(std::move(request));
    std::vector<Result> results = call_callback(key, std::move(batch));
    if (results.size() != 1) {
      throw std::runtime_error("MicroBatcher: scalar callback returned wrong result count");
    }
    count_batch(1);
    return std::move(results.front());
  }

  std::vector<Result> call_callback(const Key& key, std::vector<Request>&& batch) {
    batching_detail::CallbackScope scope(this);
    return callback(key, std::move(batch));
  }

  void count_batch(uint64_t size) {
    batches.fetch_add(1, std::memory_order_relaxed);
    requests.fetch_add(size, std::memory_order_relaxed);
    if (size == 1) single_request_batches.fetch_add(1, std::memory_order_relaxed);
    uint64_t seen = max_batch_seen.load(std::memory_order_relaxed);
    while (seen < size && !max_batch_seen.compare_exchange_weak(seen, size, std::memory_order_relaxed)) {
    }
  }

  // Queued jobs whose key equals `key`, counted from the head up to max_batch.
  // Caller holds queue_mutex.
  size_t count_cohort(const Key& key) {
    const size_t cap = static_cast<size_t>(config.max_batch);
    size_t n = 0;
    for (const std::shared_ptr<Job>& job : queue) {
      if (key_eq(job->key, key) && ++n >= cap) break;
    }
    return n;
  }

  void worker_loop() {
    const size_t cap = static_cast<size_t>(config.max_batch);
    // Grows with the batches actually taken (and keeps its capacity): room
    // for max_batch jobs up front could be more memory than there is.
    std::vector<std::shared_ptr<Job>> taken;
    for (;;) {
      std::unique_lock<std::mutex> lock(queue_mutex);
      queue_cv.wait(lock, [this] { return stopping || !queue.empty(); });
      if (queue.empty()) return;  // stopping, and nothing left to answer

      std::shared_ptr<Job> head = queue.front();
      const size_t target = static_cast<size_t>(head->cohort_target);
      const TimePoint deadline = batching_detail::cohort_deadline(head->enqueue_time, config.max_wait_us);
      queue_cv.wait_until(lock, deadline, [&] { return stopping || count_cohort(head->key) >= target; });

      const TimePoint now = batching_detail::Clock::now();
      for (auto it = queue.begin(); it != queue.end() && taken.size() < cap;) {
        if (key_eq((*it)->key, head->key)) {
          taken.push_back(std::move(*it));
          it = queue.erase(it);
        } else {
          ++it;
        }
      }
      if (taken.size() < target) {
        cohort_deadline_hit.fetch_add(1, std::memory_order_relaxed);
      } else {
        cohort_target_met.fetch_add(1, std::memory_order_relaxed);
      }
      cohort_target_sum.fetch_add(target, std::memory_order_relaxed);
      wait_ns_sum.fetch_add(static_cast<uint64_t>((now - head->enqueue_time).count()),
                            std::memory_order_relaxed);
      lock.unlock();

      run_batch(head->key, taken);
      head.reset();
      taken.clear();
    }
  }

  // Runs one worker batch and answers every job of it, with its result or with
  // the batch's exception.
  void run_batch(const Key& key, std::vector<std::shared_ptr<Job>>& jobs) {
    std::vector<Result> results;
    std::exception_ptr error;
    try {
      std::vector<Request> batch;
      batch.reserve(jobs.size());
      for (const std::shared_ptr<Job>& job : jobs) batch.push_back(std::move(job->request));
      results = call_callback(key, std::move(batch));
      if (results.size() != jobs.size()) {
        throw std::runtime_error("MicroBatcher: callback returned wrong result count");
      }
    } catch (...) {
      error = std::current_exception();
    }
    if (error) {
      // Every caller of the batch shares the one exception object. The worker
      // gives up its own references before the first caller can see it, so a
      // caller is always the one that frees it.
      for (size_t i = 0; i + 1 < jobs.size(); ++i) jobs[i]->error = error;
      jobs.back()->error = std::move(error);
      for (const std::shared_ptr<Job>& job : jobs) job->finish();
      return;
    }
    count_batch(jobs.size());
    for (size_t i = 0; i < jobs.size(); ++i) {
      try {
        jobs[i]->result.emplace(std::move(results[i]));
      } catch (...) {
        jobs[i]->error = std::current_exception();
      }
      jobs[i]->finish();
    }
  }

  Callback callback;
  KeyEq key_eq;
  std::shared_mutex lifetime_mutex;  // shared: a submission choosing its path or running direct
  mutable std::mutex queue_mutex;    // guards queue and stopping
  std::condition_variable queue_cv;  // the worker waits on it
  std::deque<std::shared_ptr<Job>> queue;
  bool stopping = false;
  std::thread worker;  // not joinable when no worker was started
};

}  // namespace olvan_speech::asr
