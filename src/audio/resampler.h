// Mono sample-rate conversion.
//
// `AudioResampler` is a streaming windowed-sinc polyphase converter of 32
// taps: every output sample is emitted as soon as all the input samples it
// reads have arrived, and the converter keeps only the input it still needs.
// `resample_audio` converts a whole buffer, `Pcm16Resampler` wraps the
// streaming converter for signed 16-bit little-endian PCM bytes.
//
// Samples are floats in [-1, 1); sample positions are unsigned 64-bit counts
// from the start of the stream.
//
// Threading: an `AudioResampler` or `Pcm16Resampler` is a plain value with no
// internal locking; one instance may be used by one thread at a time.
// Distinct instances are independent. `supported_input_sample_rate` and
// `resample_audio` are safe to call from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace olvan_speech::audio {

// True for the input rates the system accepts: 8000 to 96000 Hz inclusive.
bool supported_input_sample_rate(int sample_rate);

class AudioResampler {
 public:
  static constexpr int kTaps = 32;       // filter length in input samples
  static constexpr int kCenterTap = 15;  // tap that weights the sample at the output's integer position
  static constexpr uint64_t kMaxPhases = 2048;  // phase-table cap

  // Throws std::invalid_argument for an input rate outside 8000..96000 Hz or
  // an output rate that is not positive.
  AudioResampler(int in_rate, int out_rate);

  // Appends to `output` every output sample whose input has fully arrived
  // (input sample src_pos + 16 for an output at position src_pos + fraction),
  // but never more than round(inputs so far * out_rate / in_rate) in all.
  // With equal rates the samples pass through unchanged. Afterwards the
  // input history holds at most 31 samples.
  void process(const float* samples, size_t count, std::vector<float>* output);
  // Appends the remaining output samples, repeating the last input sample in
  // place of the samples that never came, and closes the stream. Over the
  // whole stream the output holds round(input count * out_rate / in_rate)
  // samples (halves up). A second call does nothing.
  void finish(std::vector<float>* output);

  // Read-only state, for callers that size buffers and for tests.
  uint64_t input_count() const { return total_in; }
  uint64_t output_count() const { return total_out; }
  size_t history_size() const { return history.size(); }
  uint64_t phase_count() const { return n_phases; }
  bool is_exact() const { return exact; }
  bool is_finished() const { return finished; }
  // Row p holds the 32 coefficients of phase p; tap i weights the input
  // sample at distance p / phase_count() + 15 - i before the output position.
  const std::vector<float>& filter_taps() const { return taps; }

 private:
  void emit_available(bool final, std::vector<float>* output);
  void compact_history();
  float filtered_sample(uint64_t pos, size_t phase) const;
  size_t phase_index() const;
  void advance_source_position();
  float input_sample(int64_t index) const;
  // round(total_in * out_rate / in_rate), halves up; saturates at 2^64 - 1
  // and reports whether it did.
  uint64_t target_output_count(bool* saturated) const;

  int32_t in_rate;
  int32_t out_rate;
  uint64_t gcd;
  uint64_t n_phases;
  bool exact;
  std::vector<float> taps;     // n_phases rows of kTaps coefficients
  std::vector<float> history;  // input samples still needed
  uint64_t history_start = 0;  // stream index of history[0]
  uint64_t total_in = 0;       // input samples received
  uint64_t total_out = 0;      // output samples emitted
  uint64_t src_pos = 0;        // integer input position of the next output
  uint64_t frac = 0;           // its fraction, in units of 1 / out_rate
  bool finished = false;
  // An output sample that was computable before it belonged to the stream's
  // running length (only at extreme down-conversion ratios); released once
  // the running length reaches it, dropped by `finish` otherwise.
  std::vector<float> held;
};

// Converts a whole buffer; the result has round(count * out_rate / in_rate)
// samples. Errors of the converter pass through.
std::vector<float> resample_audio(const float* samples, size_t count, int in_rate, int out_rate);

// Streaming conversion of signed 16-bit little-endian PCM bytes. Input sample
// v becomes v / 32768; an output sample y is written as round(y * 32768)
// (halves to even) clamped to [-32768, 32767], so equal rates return the
// input unchanged.
class Pcm16Resampler {
 public:
  Pcm16Resampler(int in_rate, int out_rate);

  // `count` is a byte count and must be even.
  void process(const uint8_t* bytes, size_t count, std::vector<uint8_t>* output);
  // May be called again; later calls write nothing.
  void finish(std::vector<uint8_t>* output);

  uint64_t output_samples() const { return samples_written; }

 private:
  void append_pcm(const std::vector<float>& samples, std::vector<uint8_t>* output);

  AudioResampler resampler;
  std::vector<float> pcm_in;   // current input chunk as floats
  std::vector<float> pcm_out;  // converter output of the current call
  uint64_t samples_written = 0;
};

}  // namespace olvan_speech::audio
