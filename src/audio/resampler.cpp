#include "audio/resampler.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>

namespace olvan_speech::audio {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kMinInputRate = 8000;   // Hz
constexpr int kMaxInputRate = 96000;  // Hz
// Below unity ratio the cut-off sits a little under the new Nyquist
// frequency, leaving the Hann window's transition band room to fall.
constexpr double kCutoffMargin = 0.94;
// Input samples the filter reads past the output's integer position.
constexpr uint64_t kLookahead = AudioResampler::kTaps - 1 - AudioResampler::kCenterTap;  // 16

// One output sample: the 32 products accumulated in order in double with
// fused multiply-adds. std::fma rounds once whatever the instruction set, so
// the x86-64 copy built for the FMA instruction gives the same bits as the
// library call it replaces. The copy is chosen at run time by a plain test
// (no ifunc, which the sanitizer runtimes cannot start under).
#if defined(__GNUC__)
#define KESTRIX_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define KESTRIX_ALWAYS_INLINE inline
#endif
#if defined(__GNUC__) && defined(__x86_64__)
#define KESTRIX_FMA_DISPATCH 1
#else
#define KESTRIX_FMA_DISPATCH 0
#endif

KESTRIX_ALWAYS_INLINE double dot_taps_body(const float* x, const float* taps) {
  double acc = 0.0;
  for (int i = 0; i < AudioResampler::kTaps; ++i) {
    acc = std::fma(static_cast<double>(x[i]), static_cast<double>(taps[i]), acc);
  }
  return acc;
}

#if KESTRIX_FMA_DISPATCH
__attribute__((target("fma"))) double dot_taps_fma(const float* x, const float* taps) {
  return dot_taps_body(x, taps);
}
#endif

double dot_taps(const float* x, const float* taps) {
#if KESTRIX_FMA_DISPATCH
  static const bool has_fma = __builtin_cpu_supports("fma");
  if (has_fma) return dot_taps_fma(x, taps);
#endif
  return dot_taps_body(x, taps);
}

}  // namespace

bool supported_input_sample_rate(int sample_rate) {
  return sample_rate >= kMinInputRate && sample_rate <= kMaxInputRate;
}

AudioResampler::AudioResampler(int in_rate_hz, int out_rate_hz) : in_rate(in_rate_hz), out_rate(out_rate_hz) {
  if (!supported_input_sample_rate(in_rate)) {
    throw std::invalid_argument("input sample rate must be between 8000 and 96000 Hz");
  }
  if (out_rate <= 0) {
    throw std::invalid_argument("output sample rate must be positive");
  }
  gcd = std::gcd(static_cast<uint64_t>(in_rate), static_cast<uint64_t>(out_rate));
  const uint64_t phases_needed = static_cast<uint64_t>(out_rate) / gcd;
  exact = phases_needed <= kMaxPhases;
  n_phases = std::min(phases_needed, kMaxPhases);

  const double ratio = static_cast<double>(out_rate) / static_cast<double>(in_rate);
  const double cutoff = ratio < 1.0 ? ratio * kCutoffMargin : 1.0;

  taps.assign(n_phases * kTaps, 0.0f);
  double raw[kTaps];
  for (uint64_t p = 0; p < n_phases; ++p) {
    const double phi = static_cast<double>(p) / static_cast<double>(n_phases);
    double sum = 0.0;
    for (int j = 0; j < kTaps; ++j) {
      const double x = phi - static_cast<double>(j - kCenterTap);
      double tap = 0.0;
      if (std::fabs(x) < 16.0) {
        const double window = std::fma(0.5, std::cos(x * kPi * 0.0625), 0.5);
        const double cx = cutoff * x;
        const double sinc = std::fabs(cx) < 1e-12 ? 1.0 : std::sin(cx * kPi) / (cx * kPi);
        tap = window * (cutoff * sinc);
      }
      raw[j] = tap;
      sum += tap;
    }
    if (std::fabs(sum) < 1e-12) continue;  // leave the phase silent
    float* row = &taps[p * kTaps];
    for (int j = 0; j < kTaps; ++j) row[j] = static_cast<float>(raw[j] / sum);
  }
}

uint64_t AudioResampler::target_output_count(bool* saturated) const {
  using u128 = unsigned __int128;
  const u128 in = static_cast<u128>(in_rate);
  const u128 out = static_cast<u128>(out_rate);
  const u128 n = static_cast<u128>(total_in);
  const u128 target = (n / in) * out + ((n % in) * out + in / 2) / in;
  *saturated = target > std::numeric_limits<uint64_t>::max();
  return *saturated ? std::numeric_limits<uint64_t>::max() : static_cast<uint64_t>(target);
}

size_t AudioResampler::phase_index() const {
  if (exact) return static_cast<size_t>(frac / gcd);
  return static_cast<size_t>(frac * n_phases / static_cast<uint64_t>(out_rate));
}

void AudioResampler::advance_source_position() {
  frac += static_cast<uint64_t>(in_rate);
  src_pos += frac / static_cast<uint64_t>(out_rate);
  frac %= static_cast<uint64_t>(out_rate);
}

float AudioResampler::input_sample(int64_t index) const {
  const int64_t last = static_cast<int64_t>(total_in) - 1;
  const int64_t clamped = std::clamp<int64_t>(index, 0, last);
  const uint64_t i = static_cast<uint64_t>(clamped);
  if (i < history_start || i - history_start >= history.size()) {
    throw std::logic_error("resampler history underflow");
  }
  return history[i - history_start];
}

float AudioResampler::filtered_sample(uint64_t pos, size_t phase) const {
  const float* row = &taps[phase * kTaps];
  // Fast path: the whole window lies inside the history (which always ends
  // at the newest sample), so no index needs clamping.
  if (pos >= history_start + kCenterTap && pos + kLookahead < history_start + history.size()) {
    return static_cast<float>(dot_taps(&history[pos - kCenterTap - history_start], row));
  }
  float window[kTaps];
  const int64_t first = static_cast<int64_t>(pos) - kCenterTap;
  for (int i = 0; i < kTaps; ++i) window[i] = input_sample(first + i);
  return static_cast<float>(dot_taps(window, row));
}

void AudioResampler::emit_available(bool final, std::vector<float>* output) {
  if (total_in == 0) return;
  bool saturated = false;
  const uint64_t target = target_output_count(&saturated);
  if (final && saturated) throw std::overflow_error("resampled audio is too large");

  // A held sample is the next output in order; release it once the running
  // length has reached it.
  while (!held.empty() && total_out < target) {
    output->push_back(held.front());
    held.erase(held.begin());
    ++total_out;
  }

  if (final) {
    // src_pos now belongs to output total_out + held.size(); with anything
    // still held the target has been reached.
    if (held.empty()) {
      while (total_out < target) {
        output->push_back(filtered_sample(src_pos, phase_index()));
        ++total_out;
        advance_source_position();
      }
    }
    held.clear();
    return;
  }

  // Emit while the last sample the filter reads, src_pos + 16, has arrived.
  // Emission never runs ahead of the running length round(total_in * out /
  // in): at extreme down-conversion ratios a computable sample may lie past
  // it, and is held (at most one, since the two counts differ by less than
  // 1.5 - 16 * out / in).
  while (src_pos + kLookahead < total_in) {
    const float y = filtered_sample(src_pos, phase_index());
    advance_source_position();
    if (held.empty() && total_out < target) {
      output->push_back(y);
      ++total_out;
    } else {
      held.push_back(y);
    }
  }
}

void AudioResampler::compact_history() {
  if (history.empty() || src_pos < kCenterTap || src_pos - kCenterTap <= history_start) return;
  const uint64_t drop = std::min<uint64_t>(history.size(), src_pos - kCenterTap - history_start);
  history.erase(history.begin(), history.begin() + static_cast<std::ptrdiff_t>(drop));
  history_start += drop;
}

void AudioResampler::process(const float* samples, size_t count, std::vector<float>* output) {
  if (output == nullptr) throw std::invalid_argument("resampler output must not be null");
  if (finished) throw std::logic_error("cannot append audio after resampler finish");
  if (count == 0) return;
  if (samples == nullptr) throw std::invalid_argument("resampler input must not be null");

  if (in_rate == out_rate) {
    output->insert(output->end(), samples, samples + count);
    total_in += count;
    total_out += count;
    return;
  }
  history.insert(history.end(), samples, samples + count);
  total_in += count;
  emit_available(false, output);
  compact_history();
}

void AudioResampler::finish(std::vector<float>* output) {
  if (output == nullptr) throw std::invalid_argument("resampler output must not be null");
  if (finished) return;
  if (in_rate != out_rate) emit_available(true, output);
  history.clear();
  history_start = total_in;
  finished = true;
}

std::vector<float> resample_audio(const float* samples, size_t count, int in_rate, int out_rate) {
  AudioResampler resampler(in_rate, out_rate);
  std::vector<float> result;
  if (count > 0) {
    const double estimate = std::floor(
        static_cast<double>(count) * static_cast<double>(out_rate) / static_cast<double>(in_rate) + 1.0);
    if (estimate < static_cast<double>(result.max_size())) result.reserve(static_cast<size_t>(estimate));
  }
  resampler.process(samples, count, &result);
  resampler.finish(&result);
  return result;
}

// ---------------------------------------------------------------------------

namespace {

constexpr float kPcmScale = 32768.0f;                       // full scale of signed 16-bit PCM
constexpr uint64_t kMaxPcmBytes = (uint64_t{1} << 63) - 2;  // largest PCM output in bytes

}  // namespace

Pcm16Resampler::Pcm16Resampler(int in_rate, int out_rate) : resampler(in_rate, out_rate) {}

void Pcm16Resampler::process(const uint8_t* bytes, size_t count, std::vector<uint8_t>* output) {
  if (output == nullptr) throw std::invalid_argument("PCM resampler output must not be null");
  if (count % 2 != 0) throw std::invalid_argument("signed 16-bit PCM chunk has an odd byte count");
  if (count == 0) return;
  if (bytes == nullptr) throw std::invalid_argument("PCM resampler input must not be null");

  const size_t n = count / 2;
  pcm_in.resize(n);
  for (size_t k = 0; k < n; ++k) {
    const uint16_t bits = static_cast<uint16_t>(bytes[2 * k] | (bytes[2 * k + 1] << 8));
    pcm_in[k] = static_cast<float>(static_cast<int16_t>(bits)) / kPcmScale;
  }
  pcm_out.clear();
  resampler.process(pcm_in.data(), n, &pcm_out);
  append_pcm(pcm_out, output);
}

void Pcm16Resampler::finish(std::vector<uint8_t>* output) {
  if (output == nullptr) throw std::invalid_argument("PCM resampler output must not be null");
  pcm_out.clear();
  resampler.finish(&pcm_out);
  append_pcm(pcm_out, output);
}

void Pcm16Resampler::append_pcm(const std::vector<float>& samples, std::vector<uint8_t>* output) {
  const uint64_t have = output->size();
  if (have > kMaxPcmBytes || samples.size() > (kMaxPcmBytes - have) / 2) {
    throw std::overflow_error("resampled PCM audio is too large");
  }
  size_t at = output->size();
  output->resize(at + 2 * samples.size());
  uint8_t* dst = output->data();
  for (const float y : samples) {
    // Rounded in the current (nearest-even) mode, then clamped; the bounds
    // are integers, so clamping before or after rounding agrees. A NaN
    // fails both comparisons and ends at the upper bound.
    const float scaled = std::nearbyint(y * kPcmScale);
    const float clamped = std::max(-32768.0f, std::min(32767.0f, scaled));
    const uint16_t bits = static_cast<uint16_t>(static_cast<int16_t>(clamped));
    dst[at++] = static_cast<uint8_t>(bits & 0xff);
    dst[at++] = static_cast<uint8_t>(bits >> 8);
  }
  samples_written += samples.size();
}

}  // namespace olvan_speech::audio
