// Log-mel feature front end: the analysis window and mel filter bank, the CPU
// log-mel computation with its own radix-2 FFT, and the incremental producer
// that hands a stream each complete frame exactly once.
//
// Threading contract of MelSpectrogramExtractor:
// - Construction, init_window, init_mel_basis and set_mel_basis are not
//   synchronised with anything. The owner finishes them (the diarization
//   model installs its filter bank right after construction) before it
//   shares the extractor.
// - From then on the tables are read-only and compute / compute_padded are
//   const: any number of threads may compute on one extractor at once. The
//   CPU path keeps no shared mutable state; the timing switch is read once
//   per process under a thread-safe one-time initialisation.
// - GPU graph runs are serialised on the extractor's own mutex, taken before
//   the backend manager's mutex (inside the session run). With a GPU batcher,
//   equal-shaped requests of several threads are gathered into one graph run
//   on the batcher's worker; an exception of that run reaches every request
//   of the batch.
// - The destructor stops the batcher's worker first, while the mutex and the
//   session still exist.
// - The extractor is neither copied nor moved: its owner keeps it at a fixed
//   address, because the GPU batcher points back to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "asr/batching/micro_batcher.h"

namespace ggml_runtime {
class BackendManager;
class Session;
}  // namespace ggml_runtime

// The feature computation as a ggml graph (asr/features/fe_module.h).
class FeModule;

// Feature front-end settings. The diarization model fills the sample rate,
// FFT size, mel count, window, stride, pre-emphasis and log guard from the
// model and sets normalize and center_window on, the rest off or 0.
struct MelSpecConfig {
  int32_t sample_rate = 16000;           // Hz
  int32_t n_fft = 512;                   // samples: FFT size and frame length, a power of two (>= 2)
  int32_t n_mels = 80;                   // mel bands, values per frame (>= 1)
  float window_size = 0.025f;            // seconds of analysis window (1 to n_fft samples)
  float window_stride = 0.01f;           // seconds between frames (at least 1 sample)
  float preemph = 0.97f;                 // pre-emphasis coefficient; 0 switches it off
  bool normalize = false;                // per-band normalisation allowed (a call must also ask)
  float log_zero_guard = 5.9604645e-8f;  // added to every mel energy before the log (2^-24)
  float f_min = 0.0f;                    // Hz, lowest filter-bank frequency
  float f_max = 0.0f;                    // Hz, highest filter-bank frequency; <= 0: sample_rate / 2
  bool center_window = true;             // window in the middle of the n_fft frame, not at its start
  bool periodic_window = false;          // periodic Hann (denominator win_length), else symmetric
  bool mask_tail = false;                // zero the frames from valid length / hop on
};

// Where the extractor builds its feature graph.
enum class FeGraphPlacement {
  kGpuOnly,     // only when the manager has a GPU backend in use (the normal case)
  kAnyBackend,  // on whatever backends the manager has, the CPU included
};

class MelSpectrogramExtractor {
 public:
  class GpuBatcher;

  // One request of a graph run: `audio` holds the padded samples, of which
  // the first `valid_len` are real.
  struct BatchRequest {
    std::vector<float> audio;
    size_t valid_len = 0;
    bool center = false;
    bool normalize = false;
  };
  // Frames of one request, frame-major, n_mels values each.
  struct BatchResult {
    std::vector<float> mel;
    int64_t n_frames = 0;
  };

  // Copies `cfg` (resolving f_max <= 0 to sample_rate / 2) and builds the
  // window and the default filter bank. `manager` is borrowed and may be null;
  // `batching` concerns only the GPU parts. The feature graph and its
  // session are built when the manager has a GPU backend in use, or on any
  // manager with FeGraphPlacement::kAnyBackend. Throws std::runtime_error "n_fft
  // must be power of 2 for this FE" for an n_fft of 2 or more that is no power
  // of two, std::invalid_argument naming field and value for a configuration
  // the computation cannot support (n_fft < 2, hop < 1, window length < 1 or
  // > n_fft, n_mels < 1), std::overflow_error for a hop or window length
  // beyond int32.
  MelSpectrogramExtractor(const MelSpecConfig& cfg, ggml_runtime::BackendManager* manager,
                          const olvan_speech::asr::BatchingConfig& batching,
                          FeGraphPlacement placement = FeGraphPlacement::kGpuOnly);
  ~MelSpectrogramExtractor();

  MelSpectrogramExtractor(const MelSpectrogramExtractor&) = delete;
  MelSpectrogramExtractor& operator=(const MelSpectrogramExtractor&) = delete;
  MelSpectrogramExtractor(MelSpectrogramExtractor&&) = delete;
  MelSpectrogramExtractor& operator=(MelSpectrogramExtractor&&) = delete;

  // Recompute the window and the default filter bank from the configuration.
  void init_window();
  void init_mel_basis();

  // Replaces the filter bank by a row-major n_mels x n_bins matrix, also in
  // the feature graph's tensor (cached graphs see it). Throws
  // std::runtime_error "MelSpectrogramExtractor::set_mel_basis: shape mismatch
  // - got (a, b), expected (c, d)" and keeps the bank when the shape differs.
  void set_mel_basis(const float* data, int n_mels, int n_bins);

  // compute_padded with padded_len = valid_len = n.
  void compute(const float* samples, size_t n, std::vector<float>& out, int64_t& n_frames, bool center,
               bool normalize) const;

  // Log-mel frames of `padded_len` samples of which the first `valid_len` are
  // audio (the rest is read as zeros). `out` is replaced by the frames,
  // frame-major, n_mels values each; `n_frames` is set to their count.
  // `center` puts n_fft / 2 zeros in front of the audio; `normalize` asks for
  // per-band normalisation, done only when the configuration allows it.
  // Throws std::invalid_argument "valid audio length exceeds padded length"
  // (before anything else) and std::overflow_error for a length whose signal
  // or output cannot be represented.
  void compute_padded(const float* samples, size_t padded_len, size_t valid_len, std::vector<float>& out,
                      int64_t& n_frames, bool center, bool normalize) const;

  // The feature graph's path, used by compute_padded when the graph exists.
  // Its frame counts differ from the CPU path's on purpose: the graph's row
  // holds one zero sample after the padded input, so a centred request gives
  // (len + 1) / hop + 1 frames (CPU: len / hop + 1), and a non-centred one
  // d + 1 frames with d = (len + 1 - n_fft / 2) / hop truncated toward zero
  // (CPU: (len - n_fft / 2) / hop + 1, none below n_fft / 2 samples); none
  // only when d < 0. Values differ from the CPU FFT by rounding.
  void compute_gpu_via_session(const float* samples, size_t padded_len, size_t valid_len,
                               std::vector<float>& out, int64_t& n_frames, bool center, bool normalize) const;
  // One graph run for all requests, which must share their length, centring
  // and normalisation flag ("GPU frontend batch contains incompatible
  // inputs" otherwise); one result per request, in order.
  std::vector<BatchResult> compute_gpu_batch_via_session(std::vector<BatchRequest>&& requests) const;
  // The GPU batcher's counters; all zero without one.
  olvan_speech::asr::BatchMetrics batch_metrics() const;
  // The feature graph's session, null unless it was built (introspection).
  const ggml_runtime::Session* feature_session() const { return session_.get(); }

  const MelSpecConfig& config() const { return config_; }
  const std::vector<float>& window() const { return window_; }        // win_length values
  const std::vector<float>& mel_basis() const { return mel_basis_; }  // n_mels x n_bins, row-major
  ggml_runtime::BackendManager* manager() const { return manager_; }

  // Derived sizes, the same for every computation of the front end.
  int32_t hop() const { return hop_; }                // window_stride * sample_rate + 0.5, truncated
  int32_t win_length() const { return win_length_; }  // window_size * sample_rate + 0.5, truncated
  int32_t n_bins() const { return n_bins_; }          // n_fft / 2 + 1

 private:
  // The CPU path of compute_padded, after its checks and path choice;
  // `do_normalize` already combines the call's flag with the configuration's.
  void compute_cpu(const float* samples, size_t padded_len, size_t valid_len, std::vector<float>& out,
                   int64_t& n_frames, bool center, bool do_normalize) const;

  // Tail masking and per-band normalisation of computed frames, shared by
  // both paths.
  void finish_frames(std::vector<float>& out, size_t frames, size_t valid_len, bool do_normalize) const;
  void build_feature_graph(const olvan_speech::asr::BatchingConfig& batching);

  // Declaration order is destruction order (reversed): the session goes
  // before the module it uses as its root, both after the batcher, which the
  // destructor stops first.
  MelSpecConfig config_;
  std::vector<float> window_;
  std::vector<float> mel_basis_;
  ggml_runtime::BackendManager* manager_ = nullptr;
  std::unique_ptr<FeModule> fe_module_;
  std::unique_ptr<ggml_runtime::Session> session_;
  std::unique_ptr<GpuBatcher> gpu_batcher_;
  mutable std::mutex mutex_;  // serialises GPU graph runs

  int32_t hop_ = 0;
  int32_t win_length_ = 0;
  int32_t n_bins_ = 0;
};

// Gathers equal-shaped feature-graph requests of several threads into one
// graph run (see MicroBatcher for its threading contract).
class MelSpectrogramExtractor::GpuBatcher {
 public:
  struct Key {
    size_t n_samples = 0;  // the padded length
    bool center = false;
    bool normalize = false;
    bool operator==(const Key& other) const {
      return n_samples == other.n_samples && center == other.center && normalize == other.normalize;
    }
  };

  GpuBatcher(const MelSpectrogramExtractor* owner, const olvan_speech::asr::BatchingConfig& cfg);

  // Submits one request with this thread's g_batch_cohort_target.
  BatchResult run(const float* samples, size_t padded_len, size_t valid_len, bool center, bool normalize);

  const MelSpectrogramExtractor* const owner;
  olvan_speech::asr::MicroBatcher<Key, BatchRequest, BatchResult, std::equal_to<Key>> micro;
};

// The log-mel frames of a stream that have become complete since the last
// call, numbered over the whole stream and placed as in one centred
// computation of the whole recording (frame f centred on sample f * hop).
// `audio` holds the stream's samples from absolute index `first_sample` on;
// `next_frame` is the first frame not yet produced. A frame is complete when
// f * hop + n_fft / 2 <= first_sample + audio.size(). `out` is replaced by the
// new frames (n_mels values each); returns their count.
//
// The caller keeps the whole stream (first_sample 0) while
// next_frame * hop < n_fft / 2, and afterwards at least the samples from
// next_frame * hop - n_fft / 2 on. A call that breaks this while frames are
// due, or any call with a negative next_frame, throws std::invalid_argument;
// std::overflow_error when the stream end does not fit 64 bits. `out` is
// empty after any exception.
long long produce_new_mel_frames(MelSpectrogramExtractor& fe, const std::vector<float>& audio,
                                 size_t first_sample, long long next_frame, std::vector<float>& out);
