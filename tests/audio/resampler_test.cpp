#include "audio/resampler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using olvan_speech::audio::AudioResampler;
using olvan_speech::audio::Pcm16Resampler;
using olvan_speech::audio::resample_audio;
using olvan_speech::audio::supported_input_sample_rate;

constexpr double kPi = 3.14159265358979323846;

// round(n * out / in), halves up: the stream's output length.
uint64_t expected_length(uint64_t n, uint64_t in, uint64_t out) {
  return static_cast<uint64_t>((static_cast<unsigned __int128>(n) * out + in / 2) / in);
}

// Outputs whose whole window (integer position + 16) has arrived after n
// inputs: those k with floor(k * in / out) <= n - 17, i.e. k < (n - 16) * out / in.
uint64_t computable_outputs(uint64_t n, uint64_t in, uint64_t out) {
  if (n < 17) return 0;
  return static_cast<uint64_t>((static_cast<unsigned __int128>(n - 16) * out + in - 1) / in);
}

std::vector<float> noise(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> v(n);
  for (float& x : v) x = dist(rng);
  return v;
}

std::vector<float> sine(size_t n, double freq, int rate, double amplitude) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; ++i) {
    v[i] = static_cast<float>(amplitude * std::sin(2.0 * kPi * freq * static_cast<double>(i) / rate));
  }
  return v;
}

bool bit_equal(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

// Reference converter in double precision, written from the filter's
// definition: a Hann-windowed sinc of 32 taps, cut at 0.94 of the new Nyquist
// band when converting down, each phase normalised to unit sum, evaluated at
// the fraction of the output's input position (or, past 2048 phases, at the
// 2048th just below it), with the stream's end samples repeated outward.
double reference_output(const std::vector<float>& x, uint64_t k, int in, int out) {
  const uint64_t g = std::gcd<uint64_t>(in, out);
  const uint64_t phases = out / g;
  const unsigned __int128 num = static_cast<unsigned __int128>(k) * static_cast<uint64_t>(in);
  const int64_t pos = static_cast<int64_t>(num / static_cast<uint64_t>(out));
  const uint64_t frac = static_cast<uint64_t>(num % static_cast<uint64_t>(out));
  const double phi = phases <= 2048 ? static_cast<double>(frac) / out
                                    : static_cast<double>(frac * 2048 / static_cast<uint64_t>(out)) / 2048.0;
  const double ratio = static_cast<double>(out) / in;
  const double c = ratio < 1.0 ? 0.94 * ratio : 1.0;
  double w[32];
  double sum = 0.0;
  for (int j = 0; j < 32; ++j) {
    const double d = phi + 15.0 - j;  // distance of input pos - 15 + j before the output
    double h = 0.0;
    if (std::fabs(d) < 16.0) {
      const double hann = 0.5 + 0.5 * std::cos(kPi * d / 16.0);
      const double arg = kPi * c * d;
      h = hann * c * (arg == 0.0 ? 1.0 : std::sin(arg) / arg);
    }
    w[j] = h;
    sum += h;
  }
  double y = 0.0;
  const int64_t last = static_cast<int64_t>(x.size()) - 1;
  for (int j = 0; j < 32; ++j) {
    const int64_t idx = std::clamp<int64_t>(pos - 15 + j, 0, last);
    y += w[j] / sum * x[static_cast<size_t>(idx)];
  }
  return y;
}

TEST(SupportedInputSampleRate, Bounds) {
  const std::vector<std::pair<int, bool>> cases = {{-16000, false}, {0, false},    {7999, false},
                                                   {8000, true},    {16000, true}, {44100, true},
                                                   {96000, true},   {96001, false}};
  for (const auto& [rate, ok] : cases) EXPECT_EQ(supported_input_sample_rate(rate), ok) << rate;
}

TEST(AudioResampler, ConstructorRefusesRates) {
  struct Case {
    int in, out;
    const char* message;
  };
  const std::vector<Case> cases = {
      {7999, 16000, "input sample rate must be between 8000 and 96000 Hz"},
      {96001, 16000, "input sample rate must be between 8000 and 96000 Hz"},
      {0, 0, "input sample rate must be between 8000 and 96000 Hz"},  // input checked first
      {16000, 0, "output sample rate must be positive"},
      {16000, -8000, "output sample rate must be positive"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.in) + " -> " + std::to_string(c.out));
    try {
      AudioResampler r(c.in, c.out);
      ADD_FAILURE() << "accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
    try {
      (void)resample_audio(nullptr, 0, c.in, c.out);
      ADD_FAILURE() << "accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

// Checks run in a fixed order: null output, closed stream, empty input, null
// input.
TEST(AudioResampler, CallErrorsInOrder) {
  const float one = 0.5f;
  std::vector<float> out;
  AudioResampler r(44100, 16000);
  auto message = [](const std::function<void()>& f) -> std::string {
    try {
      f();
    } catch (const std::logic_error& e) {  // std::invalid_argument derives from it
      return e.what();
    }
    return "";
  };
  EXPECT_EQ(message([&] { r.process(nullptr, 4, nullptr); }), "resampler output must not be null");
  EXPECT_THROW(r.process(nullptr, 4, nullptr), std::invalid_argument);
  EXPECT_EQ(message([&] { r.process(nullptr, 0, &out); }), "");
  EXPECT_THROW(r.process(nullptr, 1, &out), std::invalid_argument);
  EXPECT_EQ(message([&] { r.process(nullptr, 1, &out); }), "resampler input must not be null");
  EXPECT_EQ(message([&] { r.finish(nullptr); }), "resampler output must not be null");
  EXPECT_THROW(r.finish(nullptr), std::invalid_argument);

  r.process(&one, 1, &out);
  r.finish(&out);
  EXPECT_TRUE(r.is_finished());
  EXPECT_EQ(message([&] { r.process(nullptr, 0, nullptr); }), "resampler output must not be null");
  for (size_t count : {size_t{0}, size_t{1}}) {
    try {
      r.process(&one, count, &out);
      ADD_FAILURE() << "accepted after finish";
    } catch (const std::invalid_argument&) {
      ADD_FAILURE() << "wrong type";
    } catch (const std::logic_error& e) {
      EXPECT_STREQ(e.what(), "cannot append audio after resampler finish");
    }
  }
  const size_t before = out.size();
  r.finish(&out);  // a second finish adds nothing
  EXPECT_EQ(out.size(), before);
}

struct RatePair {
  int in, out;
  bool capped;  // down-conversion steep enough that emission must wait for the running length
};

// Rate pairs for the streaming checks, from pass-through to extreme ratios.
const std::vector<RatePair> kStreamPairs = {
    {16000, 16000, false}, {44100, 16000, false}, {48000, 16000, false}, {16000, 44100, false},
    {8000, 16000, false},  {8000, 16001, false},  {22050, 16000, false}, {96000, 8000, false},
    {11025, 96000, false}, {44100, 48000, false}, {96000, 1000, true},   {96000, 50, true},
    {8000, 7, true},
};

// Random chunk sizes (including empty chunks) give exactly the whole-buffer
// result. After every chunk: the output length is the number of outputs
// whose last input has arrived, capped at the running length; the history
// holds at most 31 samples. `finish` completes the exact final length.
TEST(AudioResampler, StreamingMatchesWholeBuffer) {
  std::mt19937 rng(1234);
  for (const RatePair& p : kStreamPairs) {
    SCOPED_TRACE(std::to_string(p.in) + " -> " + std::to_string(p.out));
    const size_t n = p.capped ? 120000 : 30000;
    const std::vector<float> input = noise(n, 77);
    const std::vector<float> whole = resample_audio(input.data(), input.size(), p.in, p.out);
    ASSERT_EQ(whole.size(), expected_length(n, p.in, p.out));

    for (int round = 0; round < 3; ++round) {
      const size_t max_chunk = round == 0 ? 3 : round == 1 ? 257 : 5000;
      std::uniform_int_distribution<size_t> chunk(0, max_chunk);
      AudioResampler r(p.in, p.out);
      std::vector<float> streamed;
      size_t fed = 0;
      bool cap_bound = false;
      while (fed < n) {
        const size_t len = std::min(chunk(rng), n - fed);
        r.process(input.data() + fed, len, &streamed);
        fed += len;
        ASSERT_EQ(r.input_count(), fed);
        ASSERT_EQ(r.output_count(), streamed.size());
        ASSERT_LE(r.history_size(), 31u);
        uint64_t expect = fed;
        if (p.in != p.out) {
          const uint64_t ready = computable_outputs(fed, p.in, p.out);
          const uint64_t length = expected_length(fed, p.in, p.out);
          cap_bound |= ready > length;
          expect = std::min(ready, length);
        }
        ASSERT_EQ(streamed.size(), expect) << "after " << fed << " inputs";
      }
      r.finish(&streamed);
      EXPECT_EQ(r.history_size(), 0u);
      EXPECT_EQ(cap_bound, p.capped);
      EXPECT_TRUE(bit_equal(streamed, whole)) << "chunks up to " << max_chunk;
    }
  }
}

// Output lengths, including halves (rounded up), tiny streams and extreme
// ratios whose streams are shorter than one output period.
TEST(AudioResampler, ExactOutputCounts) {
  struct Case {
    int in, out;
    size_t n;
    size_t expected;
  };
  const std::vector<Case> cases = {
      {44100, 16000, 44100, 16000}, {44100, 16000, 0, 0},      {44100, 16000, 1, 0},
      {44100, 16000, 2, 1},         {8000, 16000, 1, 2},       {8000, 16000, 333, 666},
      {48000, 16000, 1000, 333},    {48000, 16000, 1001, 334}, {96000, 8000, 18, 2},
      {96000, 8000, 17, 1},         {16000, 16000, 5, 5},      {96000, 1, 17, 0},
      {96000, 1, 47999, 0},         {96000, 1, 48000, 1},      {96000, 1, 144000, 2},
      {8000, 16001, 8000, 16001},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.in) + " -> " + std::to_string(c.out) + ", " + std::to_string(c.n));
    const std::vector<float> input = noise(c.n, 5);
    EXPECT_EQ(resample_audio(input.data(), input.size(), c.in, c.out).size(), c.expected);
    // The same stream fed sample by sample never runs ahead of its length.
    AudioResampler r(c.in, c.out);
    std::vector<float> out;
    for (size_t i = 0; i < c.n; ++i) {
      r.process(&input[i], 1, &out);
      ASSERT_LE(out.size(), expected_length(i + 1, c.in, c.out));
    }
    r.finish(&out);
    EXPECT_EQ(out.size(), c.expected);
  }
}

TEST(AudioResampler, EqualRatesPassThroughWithoutDelay) {
  const std::vector<float> input = noise(100, 9);
  AudioResampler r(16000, 16000);
  std::vector<float> out;
  r.process(input.data(), 7, &out);
  EXPECT_TRUE(bit_equal(out, std::vector<float>(input.begin(), input.begin() + 7)));
  r.process(input.data() + 7, input.size() - 7, &out);
  r.finish(&out);
  EXPECT_TRUE(bit_equal(out, input));
  EXPECT_EQ(r.output_count(), input.size());
}

// Phase 0 of a 1:2 conversion sits on the input samples: every tap but the
// centre one falls on a zero of the sinc (a rounding residue below 1e-15 in
// double), so the even outputs are the input samples to within one float
// rounding of |x| <= 1, at most 6e-8.
TEST(AudioResampler, DoublingRateKeepsInputSamples) {
  AudioResampler probe(8000, 16000);
  ASSERT_TRUE(probe.is_exact());
  ASSERT_EQ(probe.phase_count(), 2u);
  const std::vector<float> input = noise(4000, 21);
  const std::vector<float> out = resample_audio(input.data(), input.size(), 8000, 16000);
  ASSERT_EQ(out.size(), 2 * input.size());
  for (size_t k = 0; k < input.size(); ++k) ASSERT_NEAR(out[2 * k], input[k], 6e-8) << k;
}

// The phase tables. Pairs symmetric about the output position weight mirror
// distances: phase p tap j and phase n - p tap 31 - j (and, for phase 0, taps
// j and 30 - j) see the same |distance|, so their normalised values agree to
// a float rounding. Every phase sums to 1 up to 32 float roundings.
TEST(AudioResampler, PhaseTables) {
  struct Case {
    int in, out;
    uint64_t phases;
    bool exact;
  };
  const std::vector<Case> cases = {
      {44100, 16000, 160, true},  {8000, 16000, 2, true},     {16000, 44100, 441, true},
      {8000, 16001, 2048, false}, {11025, 96000, 1280, true}, {96000, 16000, 1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.in) + " -> " + std::to_string(c.out));
    AudioResampler r(c.in, c.out);
    EXPECT_EQ(r.phase_count(), c.phases);
    EXPECT_EQ(r.is_exact(), c.exact);
    const std::vector<float>& t = r.filter_taps();
    ASSERT_EQ(t.size(), c.phases * 32);
    for (uint64_t p = 0; p < c.phases; ++p) {
      double sum = 0.0;
      for (int j = 0; j < 32; ++j) sum += t[p * 32 + j];
      ASSERT_NEAR(sum, 1.0, 32 * 6e-8) << "phase " << p;
      for (int j = 0; j < 32; ++j) {
        const float a = t[p * 32 + j];
        const float b = p == 0 ? (j <= 30 ? t[30 - j] : 0.0f) : t[(c.phases - p) * 32 + (31 - j)];
        ASSERT_NEAR(a, b, 2.4e-7 * std::fabs(a) + 1e-15) << "phase " << p << " tap " << j;
      }
    }
    EXPECT_EQ(t[31], 0.0f);  // distance 16 lies outside the window
  }
}

// Every output, edges included, against the double-precision reference. The
// converter rounds each tap to float (relative 2^-24), accumulates in double
// and rounds once: |error| <= 2^-24 * (sum |tap| + 1) * max |x|, and sum |tap|
// stays below 1.5 for this filter, so 2^-24 * 2.5 < 1.5e-7; the bound used
// leaves a factor two. Using the nearest phase instead of the one below, or
// interpolating, moves a white-noise output by ~1e-4 and fails.
TEST(AudioResampler, MatchesDoubleReference) {
  const std::vector<std::pair<int, int>> pairs = {{8000, 16001},  {44100, 48001}, {96000, 7919},
                                                  {44100, 16000}, {11025, 96000}, {96000, 50}};
  for (const auto& [in, out] : pairs) {
    SCOPED_TRACE(std::to_string(in) + " -> " + std::to_string(out));
    const std::vector<float> input = noise(in == 96000 && out == 50 ? 40000 : 3000, 3);
    const std::vector<float> y = resample_audio(input.data(), input.size(), in, out);
    ASSERT_EQ(y.size(), expected_length(input.size(), in, out));
    double worst = 0.0;
    for (size_t k = 0; k < y.size(); ++k) {
      worst = std::max(worst, std::fabs(y[k] - reference_output(input, k, in, out)));
    }
    EXPECT_LT(worst, 3e-7);
  }
}

// Tones against the analytic sine, over interior samples (the 32-tap window
// fully inside the signal). Requirements: a passband tone at 0.5 amplitude
// stays within 1e-3 of 0.5 sin(2 pi f k / out), that is 60 dB below full
// scale (a delay of a hundredth of an output sample at 1 kHz already costs 2e-3);
// a tone beyond the new Nyquist frequency comes out at least 40 dB down in
// RMS. The filter spans 32 input samples whatever the ratio, so at 6:1 and
// 12:1 its transition band is wide: those rows use tones well past the edge.
TEST(AudioResampler, SineAccuracyAndAliasRejection) {
  struct Case {
    int in, out;
    double freq;  // Hz
    bool passband;
  };
  const std::vector<Case> cases = {
      {44100, 16000, 1000, true},   {44100, 16000, 3000, true},   {48000, 16000, 1000, true},
      {48000, 16000, 3000, true},   {8000, 16000, 1000, true},    {8000, 16000, 3000, true},
      {16000, 48000, 1000, true},   {22050, 16000, 440, true},    {96000, 16000, 1000, true},
      {16000, 8000, 1000, true},    {48000, 16000, 12000, false}, {48000, 16000, 20000, false},
      {44100, 16000, 10000, false}, {44100, 16000, 15000, false}, {16000, 8000, 6000, false},
      {96000, 16000, 30000, false}, {96000, 8000, 10000, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.in) + " -> " + std::to_string(c.out) + " at " + std::to_string(c.freq));
    const size_t n = static_cast<size_t>(c.in) / 2;  // 0.5 s
    const std::vector<float> x = sine(n, c.freq, c.in, 0.5);
    const std::vector<float> y = resample_audio(x.data(), x.size(), c.in, c.out);
    const size_t margin = static_cast<size_t>(std::ceil(32.0 * c.out / c.in)) + 2;
    ASSERT_GT(y.size(), 2 * margin + 100);
    double worst = 0.0, energy = 0.0;
    for (size_t k = margin; k + margin < y.size(); ++k) {
      const double ideal = 0.5 * std::sin(2.0 * kPi * c.freq * static_cast<double>(k) / c.out);
      worst = std::max(worst, std::fabs(y[k] - ideal));
      energy += static_cast<double>(y[k]) * y[k];
    }
    const double rms_ratio =
        std::sqrt(energy / static_cast<double>(y.size() - 2 * margin)) / (0.5 / std::sqrt(2.0));
    if (c.passband) {
      EXPECT_LT(worst, 1e-3);
    } else {
      EXPECT_LT(rms_ratio, 1e-2);
    }
  }
}

// ---------------------------------------------------------------------------

std::vector<uint8_t> to_bytes(const std::vector<int16_t>& v) {
  std::vector<uint8_t> b;
  for (int16_t s : v) {
    const uint16_t u = static_cast<uint16_t>(s);
    b.push_back(static_cast<uint8_t>(u & 0xff));
    b.push_back(static_cast<uint8_t>(u >> 8));
  }
  return b;
}

std::vector<uint8_t> feed_pcm(Pcm16Resampler& r, const std::vector<uint8_t>& bytes, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<size_t> half(0, 400);
  std::vector<uint8_t> out;
  size_t at = 0;
  while (at < bytes.size()) {
    const size_t len = std::min(2 * half(rng), bytes.size() - at);
    r.process(bytes.data() + at, len, &out);
    at += len;
  }
  r.finish(&out);
  return out;
}

// With equal rates every 16-bit value, both extremes included, comes back
// unchanged.
TEST(Pcm16Resampler, EqualRatesRoundTripEveryValue) {
  std::vector<int16_t> all;
  for (int v = -32768; v <= 32767; ++v) all.push_back(static_cast<int16_t>(v));
  const std::vector<uint8_t> bytes = to_bytes(all);
  Pcm16Resampler r(16000, 16000);
  EXPECT_EQ(feed_pcm(r, bytes, 1), bytes);
  EXPECT_EQ(r.output_samples(), all.size());
}

// Converting a full-scale square wave overshoots past full scale; the PCM
// path equals the float path scaled by 32768, rounded half to even and
// clamped to the 16-bit range (no wrap-around). At 1:2 the even outputs keep
// the input values.
TEST(Pcm16Resampler, MatchesFloatPathAndClamps) {
  std::vector<int16_t> square;
  for (int i = 0; i < 4000; ++i) square.push_back((i / 37) % 2 ? int16_t{-32768} : int16_t{32767});
  std::vector<float> as_float;
  for (int16_t s : square) as_float.push_back(s / 32768.0f);

  for (const auto& [in, out] :
       std::vector<std::pair<int, int>>{{8000, 16000}, {44100, 16000}, {16000, 44100}}) {
    SCOPED_TRACE(std::to_string(in) + " -> " + std::to_string(out));
    const std::vector<float> y = resample_audio(as_float.data(), as_float.size(), in, out);
    std::vector<uint8_t> expected;
    int clamped = 0;
    for (float v : y) {
      double q = std::nearbyint(static_cast<double>(v) * 32768.0);
      if (q > 32767.0 || q < -32768.0) ++clamped;
      q = std::min(32767.0, std::max(-32768.0, q));
      const uint16_t u = static_cast<uint16_t>(static_cast<int16_t>(q));
      expected.push_back(static_cast<uint8_t>(u & 0xff));
      expected.push_back(static_cast<uint8_t>(u >> 8));
    }
    EXPECT_GT(clamped, 0);  // the overshoot is exercised
    Pcm16Resampler r(in, out);
    const std::vector<uint8_t> got = feed_pcm(r, to_bytes(square), 2);
    EXPECT_EQ(got, expected);
    EXPECT_EQ(r.output_samples(), y.size());
    if (in * 2 == out) {
      for (size_t k = 0; k < square.size(); ++k) {
        ASSERT_EQ(static_cast<int16_t>(got[4 * k] | (got[4 * k + 1] << 8)), square[k]) << k;
      }
    }
    std::vector<uint8_t> again;
    r.finish(&again);  // later finishes write nothing
    EXPECT_TRUE(again.empty());
  }
}

TEST(Pcm16Resampler, CallErrorsInOrder) {
  Pcm16Resampler r(48000, 16000);
  std::vector<uint8_t> out;
  const uint8_t bytes[4] = {1, 2, 3, 4};
  auto message = [](const std::function<void()>& f) -> std::string {
    try {
      f();
    } catch (const std::invalid_argument& e) {
      return e.what();
    }
    return "";
  };
  EXPECT_EQ(message([&] { r.process(nullptr, 3, nullptr); }), "PCM resampler output must not be null");
  EXPECT_EQ(message([&] { r.process(nullptr, 3, &out); }), "signed 16-bit PCM chunk has an odd byte count");
  EXPECT_EQ(message([&] { r.process(bytes, 3, &out); }), "signed 16-bit PCM chunk has an odd byte count");
  EXPECT_EQ(message([&] { r.process(nullptr, 0, &out); }), "");
  EXPECT_EQ(message([&] { r.process(nullptr, 2, &out); }), "PCM resampler input must not be null");
  EXPECT_EQ(message([&] { r.finish(nullptr); }), "PCM resampler output must not be null");
  EXPECT_EQ(message([&] { r.process(bytes, 4, &out); }), "");
  EXPECT_TRUE(out.empty());  // two input samples: nothing computable yet
  r.finish(&out);
  EXPECT_EQ(out.size(), 2 * expected_length(2, 48000, 16000));
  try {
    r.process(bytes, 2, &out);
    ADD_FAILURE() << "accepted after finish";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "cannot append audio after resampler finish");
  }
  EXPECT_THROW(Pcm16Resampler(100, 16000), std::invalid_argument);
}

}  // namespace
