#include "asr/features/fe.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "asr/features/fe_module.h"
#include "ggml.h"
#include "runtime/ggml/backend.h"
#include "runtime/ggml/session.h"

namespace {

// The front end's own reading of OLVAN_SPEECH_TIMING: once per process, on
// first use, set to any value means on.
bool fe_timing_enabled() {
  static const bool enabled = std::getenv("OLVAN_SPEECH_TIMING") != nullptr;
  return enabled;
}

// Prints the timing line of one compute_padded call when it goes out of
// scope, also when the call ends by an exception.
struct FeTimer {
  bool enabled = false;
  std::chrono::steady_clock::time_point start;
  size_t n_samples = 0;               // the padded length
  const int64_t* n_frames = nullptr;  // the caller's frame count, read at the end
  bool gpu = false;                   // the GPU path ran

  FeTimer(size_t padded_len, const int64_t* caller_frames)
      : enabled(fe_timing_enabled()), n_samples(padded_len), n_frames(caller_frames) {
    if (enabled) start = std::chrono::steady_clock::now();
  }
  FeTimer(const FeTimer&) = delete;
  FeTimer& operator=(const FeTimer&) = delete;
  ~FeTimer() {
    if (!enabled) return;
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const double ms =
        static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()) / 1e6;
    std::fprintf(stderr, "[timing] fe path=%s n_samples=%zu n_frames=%lld = %.2f ms\n", gpu ? "gpu" : "cpu",
                 n_samples, static_cast<long long>(*n_frames), ms);
  }
};

// sine and cosine of x from one single-precision call where the platform has one.
void sincos_f32(float x, float* s, float* c) {
#if defined(__APPLE__)
  __sincosf(x, s, c);
#elif defined(__GLIBC__)
  ::sincosf(x, s, c);
#else
  *s = std::sin(x);
  *c = std::cos(x);
#endif
}

// x * sample_rate + 0.5 in one single-precision fused multiply-add, truncated
// toward zero: the hop and the window length in samples.
int32_t seconds_to_samples(float seconds, int32_t sample_rate, const char* field) {
  const float value = std::fma(seconds, static_cast<float>(sample_rate), 0.5f);
  const std::string what = std::string(field) + "=" + std::to_string(seconds) +
                           " s at sample_rate=" + std::to_string(sample_rate) + " Hz";
  if (!(value >= 1.0f)) {
    throw std::invalid_argument("MelSpecConfig: " + what + " is less than 1 sample");
  }
  if (!(value < 2147483648.0f)) {
    throw std::overflow_error("MelSpecConfig: " + what + " does not fit a 32-bit sample count");
  }
  return static_cast<int32_t>(value);
}

// The frame kernels below are compiled twice on x86-64: once for the base
// instruction set, where every fused multiply-add is a library call, and
// once with the FMA instructions, chosen at run time when the processor has
// them. Both compute the same correctly rounded fused operations, so the
// results are identical; only the speed differs.
#if defined(__GNUC__)
#define FE_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define FE_ALWAYS_INLINE inline
#endif
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define FE_FMA_DISPATCH 1
#else
#define FE_FMA_DISPATCH 0
#endif

// The iterative radix-2 decimation-in-time FFT of one n-point size, with the
// bit-reversal swaps and every stage's twiddles prepared once. The twiddles
// are those of the per-block recurrence from (1, 0) with the stage's sincos
// step; they do not depend on the block, so a table holds them exactly.
class Radix2Fft {
 public:
  explicit Radix2Fft(int32_t n) : n_(n) {
    // Bit reversal by reversed increment of j.
    uint32_t j = 0;
    const uint32_t un = static_cast<uint32_t>(n);
    for (uint32_t i = 1; i < un; ++i) {
      uint32_t bit = un;
      uint32_t test = 0;
      do {
        bit >>= 1;
        test = j & bit;
        j ^= bit;
      } while (test != 0);
      if (i < j) swaps_.emplace_back(i, j);
    }
    // Stage with half-length h keeps its h twiddles at [h - 1, 2h - 1).
    tw_re_.resize(n > 1 ? n - 1 : 0);
    tw_im_.resize(tw_re_.size());
    for (int32_t len = 2; len <= n; len *= 2) {
      float s = 0.0f;
      float c = 0.0f;
      sincos_f32(-6.2831855f / static_cast<float>(len), &s, &c);
      const int32_t half = len / 2;
      float wr = 1.0f;
      float wi = 0.0f;
      for (int32_t k = 0; k < half; ++k) {
        tw_re_[half - 1 + k] = wr;
        tw_im_[half - 1 + k] = wi;
        const float next_wi = std::fma(wr, s, c * wi);
        const float next_wr = std::fma(wr, c, wi * (-s));
        wi = next_wi;
        wr = next_wr;
      }
    }
  }

  // In-place transform of n values.
  FE_ALWAYS_INLINE void run(float* re, float* im) const {
    for (const auto& [a, b] : swaps_) {
      std::swap(re[a], re[b]);
      std::swap(im[a], im[b]);
    }
    for (int32_t len = 2; len <= n_; len *= 2) {
      const int32_t half = len / 2;
      const float* twr = tw_re_.data() + (half - 1);
      const float* twi = tw_im_.data() + (half - 1);
      for (int32_t i = 0; i < n_; i += len) {
        float* ur = re + i;
        float* ui = im + i;
        float* vr = re + i + half;
        float* vi = im + i + half;
        for (int32_t k = 0; k < half; ++k) {
          const float wr = twr[k];
          const float wi = twi[k];
          const float br = vr[k];
          const float bi = vi[k];
          const float t_re = std::fma(br, wr, -(wi * bi));
          const float t_im = std::fma(br, wi, wr * bi);
          const float ar = ur[k];
          const float ai = ui[k];
          vr[k] = ar - t_re;
          vi[k] = ai - t_im;
          ur[k] = ar + t_re;
          ui[k] = ai + t_im;
        }
      }
    }
  }

 private:
  int32_t n_;
  std::vector<std::pair<uint32_t, uint32_t>> swaps_;
  std::vector<float> tw_re_;
  std::vector<float> tw_im_;
};

// Everything the per-frame work reads and writes.
struct FrameJob {
  const float* signal = nullptr;  // pre-emphasised, padded signal
  size_t frames = 0;
  size_t hop = 0;
  size_t n_fft = 0;
  size_t offset = 0;  // window offset inside the frame
  size_t win = 0;     // window length
  size_t n_bins = 0;
  size_t n_mels = 0;
  const float* window = nullptr;
  const float* basis = nullptr;        // n_mels x n_bins
  const size_t* band_first = nullptr;  // first non-zero weight of each band
  const size_t* band_end = nullptr;    // one past its last non-zero weight
  const Radix2Fft* fft = nullptr;
  float guard = 0.0f;
  float* out = nullptr;  // frames x n_mels
};

// Window, FFT, power, mel product and log of every frame.
FE_ALWAYS_INLINE void log_mel_frames(const FrameJob& job) {
  std::vector<float> re(job.n_fft);
  std::vector<float> im(job.n_fft);
  std::vector<float> power(job.n_bins);
  for (size_t t = 0; t < job.frames; ++t) {
    std::fill(re.begin(), re.end(), 0.0f);
    std::fill(im.begin(), im.end(), 0.0f);
    const float* frame = job.signal + t * job.hop + job.offset;
    for (size_t i = 0; i < job.win; ++i) re[job.offset + i] = frame[i] * job.window[i];

    job.fft->run(re.data(), im.data());

    // Each band's non-zero weights lie in [first, end). Summing only there
    // gives the same bits as the full ascending sum while every power value
    // is finite: the skipped terms are 0 * p = +0 and e + 0 = e (a -0 sum
    // becoming +0 changes nothing after the guard and the log). A frame with
    // a non-finite power takes the full sum (0 * inf is NaN).
    bool finite = true;
    for (size_t k = 0; k < job.n_bins; ++k) {
      power[k] = std::fma(re[k], re[k], im[k] * im[k]);
      finite = finite && std::isfinite(power[k]);
    }
    float* dst = job.out + t * job.n_mels;
    for (size_t m = 0; m < job.n_mels; ++m) {
      const float* row = job.basis + m * job.n_bins;
      const size_t k0 = finite ? job.band_first[m] : 0;
      const size_t k1 = finite ? job.band_end[m] : job.n_bins;
      float e = 0.0f;
      for (size_t k = k0; k < k1; ++k) e += row[k] * power[k];
      dst[m] = std::log(e + job.guard);
    }
  }
}

// dst[0] = src[0], dst[i] = src[i] - preemph * src[i - 1] as one fused operation.
FE_ALWAYS_INLINE void pre_emphasis(const float* src, size_t n, float preemph, float* dst) {
  dst[0] = src[0];
  for (size_t i = 1; i < n; ++i) dst[i] = std::fma(-preemph, src[i - 1], src[i]);
}

void log_mel_frames_base(const FrameJob& job) { log_mel_frames(job); }
void pre_emphasis_base(const float* src, size_t n, float preemph, float* dst) {
  pre_emphasis(src, n, preemph, dst);
}
#if FE_FMA_DISPATCH
__attribute__((target("fma"))) void log_mel_frames_fma(const FrameJob& job) { log_mel_frames(job); }
__attribute__((target("fma"))) void pre_emphasis_fma(const float* src, size_t n, float preemph, float* dst) {
  pre_emphasis(src, n, preemph, dst);
}
bool cpu_has_fma() {
  static const bool has = __builtin_cpu_supports("fma");
  return has;
}
#endif

void run_log_mel_frames(const FrameJob& job) {
#if FE_FMA_DISPATCH
  if (cpu_has_fma()) return log_mel_frames_fma(job);
#endif
  log_mel_frames_base(job);
}

void run_pre_emphasis(const float* src, size_t n, float preemph, float* dst) {
#if FE_FMA_DISPATCH
  if (cpu_has_fma()) return pre_emphasis_fma(src, n, preemph, dst);
#endif
  pre_emphasis_base(src, n, preemph, dst);
}

}  // namespace

MelSpectrogramExtractor::MelSpectrogramExtractor(const MelSpecConfig& cfg,
                                                 ggml_runtime::BackendManager* manager,
                                                 const olvan_speech::asr::BatchingConfig& batching,
                                                 FeGraphPlacement placement)
    : config_(cfg), manager_(manager) {
  if (config_.f_max <= 0.0f) config_.f_max = static_cast<float>(config_.sample_rate) * 0.5f;

  if (config_.n_fft >= 2) {
    for (int32_t n = config_.n_fft; n >= 2; n /= 2) {
      if (n % 2 != 0) throw std::runtime_error("n_fft must be power of 2 for this FE");
    }
  }

  // What the computation cannot support is refused here, in one place.
  if (config_.n_fft < 2) {
    throw std::invalid_argument("MelSpecConfig: n_fft=" + std::to_string(config_.n_fft) + " is below 2");
  }
  if (config_.n_mels < 1) {
    throw std::invalid_argument("MelSpecConfig: n_mels=" + std::to_string(config_.n_mels) + " is below 1");
  }
  hop_ = seconds_to_samples(config_.window_stride, config_.sample_rate, "window_stride");
  win_length_ = seconds_to_samples(config_.window_size, config_.sample_rate, "window_size");
  if (win_length_ > config_.n_fft) {
    throw std::invalid_argument("MelSpecConfig: window_size=" + std::to_string(config_.window_size) +
                                " s gives a window of " + std::to_string(win_length_) +
                                " samples, longer than n_fft=" + std::to_string(config_.n_fft));
  }
  n_bins_ = config_.n_fft / 2 + 1;

  init_window();
  init_mel_basis();

  if (manager_ != nullptr &&
      (manager_->gpu_backend != nullptr || placement == FeGraphPlacement::kAnyBackend)) {
    build_feature_graph(batching);
  }
}

void MelSpectrogramExtractor::build_feature_graph(const olvan_speech::asr::BatchingConfig& batching) {
  fe_module_ = std::make_unique<FeModule>(config_, window_, mel_basis_);
  session_ = std::make_unique<ggml_runtime::Session>(*manager_, fe_module_.get(), nullptr);
  const bool batched = batching.enabled && batching.max_batch >= 2;
  if (batched) {
    session_->cache_capacity =
        static_cast<size_t>(std::max<int32_t>(16, 2 * std::min<int32_t>(batching.max_batch, 32)));
  }
  session_->setup();
  if (batched) gpu_batcher_ = std::make_unique<GpuBatcher>(this, batching);
}

MelSpectrogramExtractor::~MelSpectrogramExtractor() {
  // The batcher's worker must stop while the mutex and the session still exist.
  gpu_batcher_.reset();
}

void MelSpectrogramExtractor::init_window() {
  window_.assign(static_cast<size_t>(win_length_), 0.0f);
  if (win_length_ == 1 && !config_.periodic_window) {
    // A one-sample symmetric window (denominator 0) passes its sample unchanged.
    window_[0] = 1.0f;
    return;
  }
  const float denom = static_cast<float>(config_.periodic_window ? win_length_ : win_length_ - 1);
  for (int32_t i = 0; i < win_length_; ++i) {
    window_[i] = 0.5f * (1.0f - std::cos((static_cast<float>(i) * 6.2831855f) / denom));
  }
}

void MelSpectrogramExtractor::init_mel_basis() {
  const int64_t n_mels = config_.n_mels;
  const int64_t n_bins = n_bins_;
  mel_basis_.assign(static_cast<size_t>(n_mels * n_bins), 0.0f);

  auto hz_to_mel = [](float f) { return std::log(f / 700.0f + 1.0f) * 1127.0f; };
  const float lo = hz_to_mel(config_.f_min);
  const float hi = hz_to_mel(config_.f_max);
  const float n_intervals = static_cast<float>(n_mels + 1);
  std::vector<float> hz(static_cast<size_t>(n_mels + 2));
  for (int64_t i = 0; i < n_mels + 2; ++i) {
    const float p = (hi - lo) * static_cast<float>(i) / n_intervals + lo;
    hz[i] = (std::exp(p / 1127.0f) - 1.0f) * 700.0f;
  }

  std::vector<float> bin_hz(static_cast<size_t>(n_bins));
  for (int64_t k = 0; k < n_bins; ++k) {
    bin_hz[k] =
        static_cast<float>(k) * static_cast<float>(config_.sample_rate) / static_cast<float>(config_.n_fft);
  }

  for (int64_t m = 0; m < n_mels; ++m) {
    const float l = hz[m];
    const float c = hz[m + 1];
    const float r = hz[m + 2];
    float* row = mel_basis_.data() + m * n_bins;
    for (int64_t k = 0; k < n_bins; ++k) {
      const float f = bin_hz[k];
      float w = 0.0f;
      if (l <= f && f <= c) {
        w = (f - l) / ((c - l) + 1e-12f);  // the rising edge wins at f == c
      } else if (c <= f && f <= r) {
        w = (r - f) / ((r - c) + 1e-12f);
      }
      row[k] = std::fmax(w, 0.0f);
    }
  }
}

void MelSpectrogramExtractor::set_mel_basis(const float* data, int n_mels, int n_bins) {
  if (n_mels != config_.n_mels || n_bins != n_bins_) {
    throw std::runtime_error("MelSpectrogramExtractor::set_mel_basis: shape mismatch - got (" +
                             std::to_string(n_mels) + ", " + std::to_string(n_bins) + "), expected (" +
                             std::to_string(config_.n_mels) + ", " + std::to_string(n_bins_) + ")");
  }
  if (data == nullptr) {
    throw std::invalid_argument("MelSpectrogramExtractor::set_mel_basis: data is null");
  }
  std::copy(data, data + static_cast<size_t>(n_mels) * static_cast<size_t>(n_bins), mel_basis_.begin());
  // The feature graph keeps its own copy of the bank in "fe.mel_basis".
  if (fe_module_ != nullptr && session_ != nullptr) {
    fe_module_->update_mel_basis(session_.get(), data, n_mels, n_bins);
  }
}

void MelSpectrogramExtractor::compute(const float* samples, size_t n, std::vector<float>& out,
                                      int64_t& n_frames, bool center, bool normalize) const {
  compute_padded(samples, n, n, out, n_frames, center, normalize);
}

void MelSpectrogramExtractor::compute_padded(const float* samples, size_t padded_len, size_t valid_len,
                                             std::vector<float>& out, int64_t& n_frames, bool center,
                                             bool normalize) const {
  if (valid_len > padded_len) throw std::invalid_argument("valid audio length exceeds padded length");
  const bool do_normalize = normalize && config_.normalize;
  FeTimer timer(padded_len, &n_frames);

  if (padded_len > 0 && session_ != nullptr) {
    // GPU path: through the GPU batcher when it exists, else one direct
    // session run; tail masking and normalisation follow on the host.
    timer.gpu = true;
    if (gpu_batcher_ != nullptr) {
      BatchResult result = gpu_batcher_->run(samples, padded_len, valid_len, center, do_normalize);
      out = std::move(result.mel);
      n_frames = result.n_frames;
    } else {
      compute_gpu_via_session(samples, padded_len, valid_len, out, n_frames, center, do_normalize);
    }
    return;
  }
  compute_cpu(samples, padded_len, valid_len, out, n_frames, center, do_normalize);
}

void MelSpectrogramExtractor::compute_cpu(const float* samples, size_t padded_len, size_t valid_len,
                                          std::vector<float>& out, int64_t& n_frames, bool center,
                                          bool do_normalize) const {
  const size_t n_fft = static_cast<size_t>(config_.n_fft);
  const size_t half = n_fft / 2;
  const size_t hop = static_cast<size_t>(hop_);
  const size_t n_mels = static_cast<size_t>(config_.n_mels);
  const size_t n_bins = static_cast<size_t>(n_bins_);
  const size_t front = center ? half : 0;

  // Signal: [front zeros][padded_len buffer values][half zeros of tail pad].
  constexpr size_t kMaxFloats = std::numeric_limits<size_t>::max() / sizeof(float);
  if (padded_len > kMaxFloats - front - half) {
    throw std::overflow_error("MelSpectrogramExtractor: padded length " + std::to_string(padded_len) +
                              " is too long for one signal");
  }
  const size_t signal_len = front + padded_len + half;
  if (signal_len < n_fft) {
    out.clear();
    n_frames = 0;
    return;  // nothing to mask or normalise
  }
  const size_t frames = (signal_len - n_fft) / hop + 1;
  if (frames > kMaxFloats / n_mels || frames > static_cast<size_t>(std::numeric_limits<int64_t>::max())) {
    throw std::overflow_error("MelSpectrogramExtractor: " + std::to_string(frames) +
                              " frames do not fit one output buffer");
  }

  // Working signal with pre-emphasis; the padding after valid_len stays zero
  // and buf[0] is kept as it is.
  std::vector<float> signal(signal_len, 0.0f);
  if (valid_len > 0) {
    if (config_.preemph != 0.0f) {
      run_pre_emphasis(samples, valid_len, config_.preemph, signal.data() + front);
    } else {
      std::copy(samples, samples + valid_len, signal.data() + front);
    }
  }

  out.assign(frames * n_mels, 0.0f);
  n_frames = static_cast<int64_t>(frames);

  std::vector<size_t> band_first(n_mels, 0);
  std::vector<size_t> band_end(n_mels, 0);
  for (size_t m = 0; m < n_mels; ++m) {
    const float* row = mel_basis_.data() + m * n_bins;
    size_t first = 0;
    while (first < n_bins && row[first] == 0.0f) ++first;
    size_t end = n_bins;
    while (end > first && row[end - 1] == 0.0f) --end;
    band_first[m] = first;
    band_end[m] = end;
  }

  const Radix2Fft fft(config_.n_fft);
  FrameJob job;
  job.signal = signal.data();
  job.frames = frames;
  job.hop = hop;
  job.n_fft = n_fft;
  job.win = static_cast<size_t>(win_length_);
  job.offset = config_.center_window ? (n_fft - job.win) / 2 : 0;
  job.n_bins = n_bins;
  job.n_mels = n_mels;
  job.window = window_.data();
  job.basis = mel_basis_.data();
  job.band_first = band_first.data();
  job.band_end = band_end.data();
  job.fft = &fft;
  job.guard = config_.log_zero_guard;
  job.out = out.data();
  run_log_mel_frames(job);

  finish_frames(out, frames, valid_len, do_normalize);
}

void MelSpectrogramExtractor::finish_frames(std::vector<float>& out, size_t frames, size_t valid_len,
                                            bool do_normalize) const {
  const size_t n_mels = static_cast<size_t>(config_.n_mels);
  const size_t valid_frames = valid_len / static_cast<size_t>(hop_);
  if (config_.mask_tail && valid_frames < frames) {
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(valid_frames * n_mels), out.end(), 0.0f);
  }

  if (do_normalize) {
    // Per band, over the valid frames: mean and unbiased variance in double;
    // the frames from valid_frames on become 0. Bands are accumulated side by
    // side, each in ascending frame order.
    const size_t n = std::min(frames, valid_frames);
    std::vector<double> mean(n_mels, 0.0);
    std::vector<double> ss(n_mels, 0.0);
    if (n >= 1) {
      for (size_t t = 0; t < n; ++t) {
        const float* v = out.data() + t * n_mels;
        for (size_t m = 0; m < n_mels; ++m) mean[m] += static_cast<double>(v[m]);
      }
      for (size_t m = 0; m < n_mels; ++m) mean[m] /= static_cast<double>(n);
      for (size_t t = 0; t < n; ++t) {
        const float* v = out.data() + t * n_mels;
        for (size_t m = 0; m < n_mels; ++m) {
          const double d = static_cast<double>(v[m]) - mean[m];
          ss[m] += d * d;
        }
      }
    }
    std::vector<double> scale(n_mels);
    for (size_t m = 0; m < n_mels; ++m) {
      const double var = n >= 2 ? ss[m] / static_cast<double>(n - 1) : ss[m];
      scale[m] = 1.0 / (std::sqrt(var) + 1e-5);
    }
    for (size_t t = 0; t < frames; ++t) {
      float* v = out.data() + t * n_mels;
      for (size_t m = 0; m < n_mels; ++m) {
        v[m] = t < valid_frames ? static_cast<float>(scale[m] * (static_cast<double>(v[m]) - mean[m])) : 0.0f;
      }
    }
  }
}

long long produce_new_mel_frames(MelSpectrogramExtractor& fe, const std::vector<float>& audio,
                                 size_t first_sample, long long next_frame, std::vector<float>& out) {
  const int32_t n_mels = fe.config().n_mels;
  const int32_t hop = fe.hop();
  const int32_t n_fft = fe.config().n_fft;
  GGML_ASSERT(n_mels > 0 && hop > 0 && n_fft > 0);

  out.clear();
  if (next_frame < 0) {
    throw std::invalid_argument("produce_new_mel_frames: next_frame=" + std::to_string(next_frame) +
                                " is negative");
  }
  constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  if (audio.size() > kMax || first_sample > kMax - audio.size()) {
    throw std::overflow_error(
        "produce_new_mel_frames: stream end first_sample=" + std::to_string(first_sample) + " + " +
        std::to_string(audio.size()) + " samples does not fit 64 bits");
  }
  const int64_t half = n_fft / 2;
  const int64_t end = static_cast<int64_t>(first_sample + audio.size());
  const int64_t total = end >= half ? (end - half) / hop + 1 : 0;
  const int64_t want = total - next_frame;
  if (want <= 0) return 0;

  // next_frame < total, so next_frame * hop <= end - half: no overflow.
  const int64_t centre = next_frame * hop;
  std::vector<float> block;
  int64_t block_frames = 0;
  int64_t block_base = 0;
  if (centre < half) {
    // The next window starts before the stream: centred over the whole stream.
    if (first_sample != 0) {
      throw std::invalid_argument(
          "produce_new_mel_frames: frame " + std::to_string(next_frame) +
          " needs the stream from sample 0, but first_sample=" + std::to_string(first_sample));
    }
    fe.compute_padded(audio.data(), audio.size(), audio.size(), block, block_frames, true, false);
    block_base = 0;
  } else {
    const int64_t window_start = centre - half;
    if (static_cast<int64_t>(first_sample) > window_start) {
      throw std::invalid_argument("produce_new_mel_frames: frame " + std::to_string(next_frame) +
                                  " starts at sample " + std::to_string(window_start) +
                                  ", before first_sample=" + std::to_string(first_sample));
    }
    const size_t start = static_cast<size_t>(window_start) - first_sample;
    const size_t len = audio.size() - start;
    fe.compute_padded(audio.data() + start, len, len, block, block_frames, false, false);
    block_base = next_frame;
  }

  const int64_t skip = next_frame - block_base;
  if (skip < 0) return 0;
  const int64_t take = std::min(want, block_frames - skip);
  if (take < 1) return 0;
  const size_t row = static_cast<size_t>(n_mels);
  block.erase(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(static_cast<size_t>(skip) * row));
  block.resize(static_cast<size_t>(take) * row);
  out.swap(block);
  return take;
}
