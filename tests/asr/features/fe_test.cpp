#include "asr/features/fe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "asr/batching/micro_batcher.h"
#include "asr/features/fe_test_configs.h"
#include "runtime/ggml/backend.h"

namespace {

using kestrix_test::diarizer_config;
using olvan_speech::asr::BatchingConfig;

constexpr double kEps = 5.9604644775390625e-8;  // unit roundoff of float, 2^-24
constexpr double kPi = 3.14159265358979323846;

const BatchingConfig kBatchingOff{};

// Window as long as the frame (offset 0), periodic, small FFT, few bands.
MelSpecConfig full_window_config() {
  MelSpecConfig cfg = diarizer_config();
  cfg.n_fft = 256;
  cfg.n_mels = 24;
  cfg.window_size = 0.016f;  // 256 samples
  cfg.window_stride = 0.005f;
  cfg.periodic_window = true;
  cfg.center_window = false;
  cfg.f_min = 100.0f;
  cfg.f_max = 7000.0f;
  return cfg;
}

// A hop longer than half the frame, so frames do not overlap.
MelSpecConfig long_hop_config() {
  MelSpecConfig cfg = diarizer_config();
  cfg.n_fft = 256;
  cfg.n_mels = 16;
  cfg.window_size = 0.0125f;    // 200 samples
  cfg.window_stride = 0.0125f;  // hop 200 > 128
  return cfg;
}

// One band reading FFT bin 0 of a 2-point frame that holds one sample: every
// frame's value is log(x^2 + guard) of one signal sample x.
MelSpecConfig probe_config() {
  MelSpecConfig cfg = diarizer_config();
  cfg.n_fft = 2;
  cfg.n_mels = 1;
  cfg.window_size = 0.0000625f;  // 1.5 -> 1 sample
  cfg.window_stride = 0.0000625f;
  return cfg;
}

std::vector<float> noise(size_t n, uint32_t seed, float amplitude = 0.5f) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-amplitude, amplitude);
  std::vector<float> out(n);
  for (float& v : out) v = dist(rng);
  return out;
}

// Noise with two tones, in [-1, 1).
std::vector<float> speechlike(size_t n, uint32_t seed) {
  std::vector<float> out = noise(n, seed, 0.2f);
  for (size_t i = 0; i < n; ++i) {
    out[i] += static_cast<float>(0.4 * std::sin(2 * kPi * 440.0 * i / 16000.0) +
                                 0.3 * std::sin(2 * kPi * 3100.0 * i / 16000.0));
  }
  return out;
}

bool same_bits(float a, float b) {
  if (std::isnan(a) && std::isnan(b)) return true;
  uint32_t ua = 0;
  uint32_t ub = 0;
  std::memcpy(&ua, &a, 4);
  std::memcpy(&ub, &b, 4);
  return ua == ub;
}

// Index of the first differing value, or -1.
long first_difference(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size()) return 0;
  for (size_t i = 0; i < a.size(); ++i) {
    if (!same_bits(a[i], b[i])) return static_cast<long>(i);
  }
  return -1;
}

// ---------------------------------------------------------------------------
// A literal transcription of the single-precision computation, step by step as
// written down for the front end: separate working buffer and signal,
// downward in-place pre-emphasis, the bit reversal and the twiddle recurrence
// evaluated afresh inside every block, the dense mel sum over every bin. The
// library reaches the same bits by other routes (twiddle tables, band ranges,
// one buffer); this is what it must agree with to the bit.
namespace literal {

int32_t to_samples(float seconds, int32_t sample_rate) {
  return static_cast<int32_t>(std::fma(seconds, static_cast<float>(sample_rate), 0.5f));
}

std::vector<float> window(const MelSpecConfig& cfg) {
  const int32_t n = to_samples(cfg.window_size, cfg.sample_rate);
  std::vector<float> w(n);
  if (n == 1 && !cfg.periodic_window) return {1.0f};  // denominator 0: the sample passes
  const int32_t d = cfg.periodic_window ? n : n - 1;
  for (int32_t i = 0; i < n; ++i) {
    w[i] = 0.5f * (1.0f - std::cos(static_cast<float>(i) * 6.2831855f / static_cast<float>(d)));
  }
  return w;
}

std::vector<float> mel_basis(const MelSpecConfig& cfg) {
  const float f_max = cfg.f_max <= 0.0f ? static_cast<float>(cfg.sample_rate) * 0.5f : cfg.f_max;
  const int32_t n_bins = cfg.n_fft / 2 + 1;
  std::vector<float> basis(static_cast<size_t>(cfg.n_mels) * n_bins, 0.0f);
  const float lo = std::log(cfg.f_min / 700.0f + 1.0f) * 1127.0f;
  const float hi = std::log(f_max / 700.0f + 1.0f) * 1127.0f;
  std::vector<float> hz(cfg.n_mels + 2);
  for (int32_t i = 0; i <= cfg.n_mels + 1; ++i) {
    const float p = (hi - lo) * static_cast<float>(i) / static_cast<float>(cfg.n_mels + 1) + lo;
    hz[i] = (std::exp(p / 1127.0f) - 1.0f) * 700.0f;
  }
  for (int32_t m = 0; m < cfg.n_mels; ++m) {
    for (int32_t k = 0; k < n_bins; ++k) {
      const float f =
          static_cast<float>(k) * static_cast<float>(cfg.sample_rate) / static_cast<float>(cfg.n_fft);
      const float l = hz[m];
      const float c = hz[m + 1];
      const float r = hz[m + 2];
      float w = 0.0f;
      if (l <= f && f <= c) {
        w = (f - l) / ((c - l) + 1e-12f);
      } else if (c <= f && f <= r) {
        w = (r - f) / ((r - c) + 1e-12f);
      }
      basis[static_cast<size_t>(m) * n_bins + k] = std::fmax(w, 0.0f);
    }
  }
  return basis;
}

void fft(std::vector<float>& re, std::vector<float>& im) {
  const int n = static_cast<int>(re.size());
  int j = 0;
  for (int i = 1; i < n; ++i) {
    int bit = n;
    int test = 0;
    do {
      bit = bit / 2;
      test = j & bit;
      j = j ^ bit;
    } while (test != 0);
    if (i < j) {
      std::swap(re[i], re[j]);
      std::swap(im[i], im[j]);
    }
  }
  for (int len = 2; len <= n; len *= 2) {
    const float angle = -6.2831855f / static_cast<float>(len);
    const float s = std::sin(angle);
    const float c = std::cos(angle);
    const int half = len / 2;
    for (int i = 0; i < n; i += len) {
      float wr = 1.0f;
      float wi = 0.0f;
      for (int k = 0; k < half; ++k) {
        const float b_re = re[i + k + half];
        const float b_im = im[i + k + half];
        const float t_re = std::fma(b_re, wr, -(wi * b_im));
        const float t_im = std::fma(b_re, wi, wr * b_im);
        const float a_re = re[i + k];
        const float a_im = im[i + k];
        re[i + k + half] = a_re - t_re;
        im[i + k + half] = a_im - t_im;
        re[i + k] = a_re + t_re;
        im[i + k] = a_im + t_im;
        const float old_wr = wr;
        const float old_wi = wi;
        wi = std::fma(old_wr, s, c * old_wi);
        wr = std::fma(old_wr, c, old_wi * (-s));
      }
    }
  }
}

std::vector<float> log_mel(const MelSpecConfig& cfg, const std::vector<float>& window,
                           const std::vector<float>& basis, const float* samples, size_t padded_len,
                           size_t valid_len, bool center, bool normalize, int64_t* n_frames) {
  const int32_t hop = to_samples(cfg.window_stride, cfg.sample_rate);
  const int32_t win = static_cast<int32_t>(window.size());
  const int32_t n_fft = cfg.n_fft;
  const int32_t n_bins = n_fft / 2 + 1;
  const int32_t n_mels = cfg.n_mels;

  std::vector<float> buf(padded_len, 0.0f);
  for (size_t i = 0; i < valid_len; ++i) buf[i] = samples[i];
  if (valid_len > 1 && cfg.preemph != 0.0f) {
    for (size_t i = valid_len - 1; i >= 1; --i) buf[i] = std::fma(-cfg.preemph, buf[i - 1], buf[i]);
  }
  std::vector<float> signal;
  if (center) signal.assign(n_fft / 2, 0.0f);
  signal.insert(signal.end(), buf.begin(), buf.end());
  signal.insert(signal.end(), n_fft / 2, 0.0f);

  std::vector<float> out;
  const int64_t length = static_cast<int64_t>(signal.size());
  if (length < n_fft) {
    *n_frames = 0;
    return out;
  }
  const int64_t frames = (length - n_fft) / hop + 1;
  out.assign(static_cast<size_t>(frames * n_mels), 0.0f);
  std::vector<float> re(n_fft);
  std::vector<float> im(n_fft);
  for (int64_t t = 0; t < frames; ++t) {
    std::fill(re.begin(), re.end(), 0.0f);
    std::fill(im.begin(), im.end(), 0.0f);
    const int32_t o = cfg.center_window ? (n_fft - win) / 2 : 0;
    for (int32_t i = 0; i < win; ++i) re[o + i] = signal[t * hop + o + i] * window[i];
    if (n_fft > 1) fft(re, im);
    for (int32_t m = 0; m < n_mels; ++m) {
      float e = 0.0f;
      for (int32_t k = 0; k < n_bins; ++k) {
        e += basis[static_cast<size_t>(m) * n_bins + k] * std::fma(re[k], re[k], im[k] * im[k]);
      }
      out[t * n_mels + m] = std::log(e + cfg.log_zero_guard);
    }
  }
  const int64_t vf = static_cast<int64_t>(valid_len) / hop;
  if (cfg.mask_tail && vf < frames) {
    for (int64_t t = vf; t < frames; ++t) {
      for (int32_t m = 0; m < n_mels; ++m) out[t * n_mels + m] = 0.0f;
    }
  }
  if (normalize && cfg.normalize) {
    const int64_t n = std::min(frames, vf);
    for (int32_t m = 0; m < n_mels; ++m) {
      double mean = 0.0;
      for (int64_t t = 0; t < n; ++t) mean += static_cast<double>(out[t * n_mels + m]);
      mean = n >= 1 ? mean / static_cast<double>(n) : 0.0;
      double ss = 0.0;
      for (int64_t t = 0; t < n; ++t) {
        const double d = static_cast<double>(out[t * n_mels + m]) - mean;
        ss += d * d;
      }
      const double var = n >= 2 ? ss / static_cast<double>(n - 1) : ss;
      const double scale = 1.0 / (std::sqrt(var) + 1e-5);
      for (int64_t t = 0; t < frames; ++t) {
        float& v = out[t * n_mels + m];
        v = t < vf ? static_cast<float>(scale * (static_cast<double>(v) - mean)) : 0.0f;
      }
    }
  }
  *n_frames = frames;
  return out;
}

}  // namespace literal

// ---------------------------------------------------------------------------
// Configuration

TEST(MelSpecConfigTest, DerivedSizesAreOneFusedRoundingThenTruncation) {
  // x * rate is exact in double (24 + 31 bits) and + 0.5 too, so one rounding
  // of the double sum to float is exactly the fused multiply-add.
  struct Case {
    float seconds;
    int32_t rate;
  };
  const Case cases[] = {{0.01f, 16000},       {0.025f, 16000}, {0.0125f, 8000},  {0.02f, 44100},
                        {0.015f, 22050},      {0.032f, 48000}, {1.0f / 3.0f, 3}, {0.0000625f, 16000},
                        {0.0299999993f, 100}, {0.01f, 96000}};
  for (const Case& c : cases) {
    MelSpecConfig cfg = diarizer_config();
    cfg.sample_rate = c.rate;
    cfg.n_fft = 1 << 15;
    cfg.window_size = c.seconds;
    cfg.window_stride = c.seconds;
    MelSpectrogramExtractor fe(cfg, nullptr, kBatchingOff);
    const double exact = static_cast<double>(c.seconds) * c.rate + 0.5;
    const int32_t expected = static_cast<int32_t>(static_cast<float>(exact));
    EXPECT_EQ(fe.hop(), expected) << c.seconds << " s at " << c.rate;
    EXPECT_EQ(fe.win_length(), expected) << c.seconds << " s at " << c.rate;
    EXPECT_EQ(fe.n_bins(), (1 << 14) + 1);
  }
  MelSpectrogramExtractor fe(diarizer_config(), nullptr, kBatchingOff);
  EXPECT_EQ(fe.hop(), 160);
  EXPECT_EQ(fe.win_length(), 400);
  EXPECT_EQ(fe.n_bins(), 257);
}

TEST(MelSpecConfigTest, FMaxAtOrBelowZeroBecomesHalfTheRate) {
  const struct {
    float given;
    float expected;
  } cases[] = {{0.0f, 8000.0f}, {-5.0f, 8000.0f}, {9000.0f, 9000.0f}, {4000.0f, 4000.0f}};
  for (const auto& c : cases) {
    MelSpecConfig cfg = diarizer_config();
    cfg.f_max = c.given;
    MelSpectrogramExtractor fe(cfg, nullptr, kBatchingOff);
    EXPECT_EQ(fe.config().f_max, c.expected) << c.given;
  }
}

TEST(MelSpecConfigTest, RefusesWhatTheComputationCannotSupport) {
  auto error_of = [](MelSpecConfig cfg) -> std::pair<std::string, std::string> {
    try {
      MelSpectrogramExtractor fe(cfg, nullptr, kBatchingOff);
    } catch (const std::invalid_argument& e) {
      return {"invalid_argument", e.what()};
    } catch (const std::overflow_error& e) {
      return {"overflow_error", e.what()};
    } catch (const std::runtime_error& e) {
      return {"runtime_error", e.what()};
    }
    return {"", ""};
  };
  struct Case {
    const char* name;
    void (*edit)(MelSpecConfig&);
    const char* kind;
    const char* text;  // must appear in the message
  };
  const Case cases[] = {
      {"n_fft 400", [](MelSpecConfig& c) { c.n_fft = 400; }, "runtime_error",
       "n_fft must be power of 2 for this FE"},
      {"n_fft 6", [](MelSpecConfig& c) { c.n_fft = 6; }, "runtime_error",
       "n_fft must be power of 2 for this FE"},
      {"n_fft 1", [](MelSpecConfig& c) { c.n_fft = 1, c.window_size = 0.0000625f; }, "invalid_argument",
       "n_fft=1"},
      {"n_fft 0", [](MelSpecConfig& c) { c.n_fft = 0; }, "invalid_argument", "n_fft=0"},
      {"n_fft -8", [](MelSpecConfig& c) { c.n_fft = -8; }, "invalid_argument", "n_fft=-8"},
      {"n_mels 0", [](MelSpecConfig& c) { c.n_mels = 0; }, "invalid_argument", "n_mels=0"},
      {"n_mels -3", [](MelSpecConfig& c) { c.n_mels = -3; }, "invalid_argument", "n_mels=-3"},
      {"stride 0", [](MelSpecConfig& c) { c.window_stride = 0.0f; }, "invalid_argument", "window_stride="},
      {"stride below half a sample", [](MelSpecConfig& c) { c.window_stride = 3e-5f; }, "invalid_argument",
       "window_stride="},
      {"stride negative", [](MelSpecConfig& c) { c.window_stride = -0.01f; }, "invalid_argument",
       "window_stride="},
      {"stride NaN", [](MelSpecConfig& c) { c.window_stride = std::nanf(""); }, "invalid_argument",
       "window_stride="},
      {"rate 0", [](MelSpecConfig& c) { c.sample_rate = 0; }, "invalid_argument", "sample_rate=0"},
      {"stride beyond int32", [](MelSpecConfig& c) { c.window_stride = 1e6f; }, "overflow_error",
       "window_stride="},
      {"window 0", [](MelSpecConfig& c) { c.window_size = 0.0f; }, "invalid_argument", "window_size="},
      {"window longer than n_fft", [](MelSpecConfig& c) { c.window_size = 0.04f; }, "invalid_argument",
       "640 samples, longer than n_fft=512"},
  };
  for (const Case& c : cases) {
    MelSpecConfig cfg = diarizer_config();
    c.edit(cfg);
    const auto [kind, text] = error_of(cfg);
    EXPECT_EQ(kind, c.kind) << c.name;
    EXPECT_NE(text.find(c.text), std::string::npos) << c.name << ": " << text;
  }
  // The boundaries themselves are accepted: a window of exactly n_fft, a
  // 2-point FFT, one band, a one-sample hop.
  MelSpecConfig edge = probe_config();
  EXPECT_EQ(error_of(edge).first, "");
  edge = diarizer_config();
  edge.window_size = 0.032f;
  EXPECT_EQ(error_of(edge).first, "");
}

// ---------------------------------------------------------------------------
// Window and filter bank

TEST(MelTablesTest, WindowMatchesTheHannFormula) {
  // Error of the float window: i * 2pi_f and / D each round (2 eps relative),
  // 2pi_f is off 2pi by 0.3 eps, so the argument is off by <= 2.3 eps * 2pi;
  // cosf adds 1 ulp, 1 - cos and * 0.5 are exact or 1 eps: within
  // 0.5 * (2.3 * 2pi + 2) eps < 6e-7 absolute.
  const double tol = 0.5 * (2.3 * 2 * kPi + 2) * kEps;
  for (bool periodic : {false, true}) {
    MelSpecConfig cfg = diarizer_config();
    cfg.periodic_window = periodic;
    MelSpectrogramExtractor fe(cfg, nullptr, kBatchingOff);
    const std::vector<float>& w = fe.window();
    ASSERT_EQ(w.size(), 400u);
    const double d = periodic ? 400.0 : 399.0;
    for (size_t i = 0; i < w.size(); ++i) {
      EXPECT_NEAR(w[i], 0.5 * (1 - std::cos(2 * kPi * i / d)), tol) << i;
    }
    EXPECT_EQ(w[0], 0.0f);
    EXPECT_EQ(literal::window(cfg), w);  // the float operations as written down
    if (periodic) {
      EXPECT_EQ(w[200], 1.0f);
    } else {
      EXPECT_NEAR(w[399], 0.0, tol);
    }
  }
  // A one-sample window: symmetric passes the sample (1), periodic is 0.
  MelSpecConfig one = probe_config();
  EXPECT_EQ(MelSpectrogramExtractor(one, nullptr, kBatchingOff).window(), std::vector<float>{1.0f});
  one.periodic_window = true;
  EXPECT_EQ(MelSpectrogramExtractor(one, nullptr, kBatchingOff).window(), std::vector<float>{0.0f});
}

TEST(MelTablesTest, FilterBankMatchesTheTriangleFormulaInDouble) {
  MelSpecConfig configs[3] = {diarizer_config(), full_window_config(), diarizer_config()};
  configs[2].n_mels = 128;
  configs[2].f_min = 20.0f;
  configs[2].f_max = 7600.0f;
  for (const MelSpecConfig& cfg : configs) {
    MelSpectrogramExtractor fe(cfg, nullptr, kBatchingOff);
    const int n_mels = cfg.n_mels;
    const int n_bins = fe.n_bins();
    const std::vector<float>& basis = fe.mel_basis();
    ASSERT_EQ(basis.size(), static_cast<size_t>(n_mels) * n_bins);
    EXPECT_EQ(literal::mel_basis(cfg), basis);  // the float operations as written down

    const double f_max = fe.config().f_max;
    auto mel = [](double f) { return 1127.0 * std::log(1 + f / 700.0); };
    const double lo = mel(cfg.f_min);
    const double hi = mel(f_max);
    std::vector<double> hz(n_mels + 2);
    for (int i = 0; i < n_mels + 2; ++i)
      hz[i] = 700.0 * (std::exp((lo + (hi - lo) * i / (n_mels + 1)) / 1127.0) - 1);
    // Float points: the two mel values carry ~3 eps relative error (log,
    // * 1127), the interpolation 3 more roundings, exp / 1127, - 1 and * 700
    // 4 more, each amplified at most by the log/exp condition (< 1 in
    // relative terms of hz + 700): |dhz| <= 16 eps (f_max + 700). Bin
    // frequencies are off by <= 2 eps f. The weight (f - l) / (c - l) then
    // moves by <= 2 u / (c - l) plus its own 3 roundings; the falling edge
    // likewise with r - c. It is continuous at l, c and r, so a bin that
    // changes branch between float and double stays within the bound.
    const double u = 16 * kEps * (f_max + 700.0);
    int checked_peaks = 0;
    for (int m = 0; m < n_mels; ++m) {
      const double l = hz[m];
      const double c = hz[m + 1];
      const double r = hz[m + 2];
      const double tol = 2 * u / std::min(c - l, r - c) + 4 * kEps;
      for (int k = 0; k < n_bins; ++k) {
        const double f = static_cast<double>(k) * cfg.sample_rate / cfg.n_fft;
        double w = 0.0;
        if (l <= f && f <= c) {
          w = (f - l) / (c - l);
        } else if (c <= f && f <= r) {
          w = (r - f) / (r - c);
        }
        EXPECT_NEAR(basis[static_cast<size_t>(m) * n_bins + k], w, tol) << "band " << m << " bin " << k;
        EXPECT_GE(basis[static_cast<size_t>(m) * n_bins + k], 0.0f);
      }
      if (c - l > 2 * static_cast<double>(cfg.sample_rate) / cfg.n_fft) ++checked_peaks;
    }
    EXPECT_GT(checked_peaks, 0);
  }
}

TEST(MelTablesTest, FilterBankEdgeCases) {
  // f_min 0: the first point is exactly 0 Hz, so bin 0 sits on band 0's left
  // edge and weighs 0. The last band ends at f_max after a float round trip
  // through the mel scale, so the 8000 Hz bin weighs (nearly) 0.
  MelSpectrogramExtractor fe(diarizer_config(), nullptr, kBatchingOff);
  EXPECT_EQ(fe.mel_basis()[0], 0.0f);
  EXPECT_GT(fe.mel_basis()[1], 0.0f);  // bin 1 (31.25 Hz) is inside band 0
  const size_t last_row = 79u * 257u;
  EXPECT_NEAR(fe.mel_basis()[last_row + 256], 0.0f, 1e-4);
  EXPECT_GT(fe.mel_basis()[last_row + 255], 0.1f);

  // f_min = f_max: every triangle collapses to a point; the 1e-12 keeps 0 / 0
  // away and every weight is 0.
  MelSpecConfig flat = diarizer_config();
  flat.f_min = 1000.0f;
  flat.f_max = 1000.0f;
  MelSpectrogramExtractor degenerate(flat, nullptr, kBatchingOff);
  for (float w : degenerate.mel_basis()) ASSERT_EQ(w, 0.0f);
}

TEST(MelTablesTest, SetMelBasisChecksTheShapeAndKeepsTheBankOnFailure) {
  MelSpectrogramExtractor fe(diarizer_config(), nullptr, kBatchingOff);
  const std::vector<float> before = fe.mel_basis();
  std::vector<float> replacement(80 * 257);
  for (size_t i = 0; i < replacement.size(); ++i) replacement[i] = static_cast<float>(i % 7) * 0.25f;

  try {
    fe.set_mel_basis(replacement.data(), 257, 80);
    FAIL() << "transposed shape accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(
        e.what(),
        "MelSpectrogramExtractor::set_mel_basis: shape mismatch - got (257, 80), expected (80, 257)");
  }
  EXPECT_THROW(fe.set_mel_basis(replacement.data(), 80, 256), std::runtime_error);
  EXPECT_THROW(fe.set_mel_basis(nullptr, 80, 257), std::invalid_argument);
  EXPECT_EQ(fe.mel_basis(), before);

  fe.set_mel_basis(replacement.data(), 80, 257);
  EXPECT_EQ(fe.mel_basis(), replacement);
  fe.init_mel_basis();  // back to the default bank
  EXPECT_EQ(fe.mel_basis(), before);
}

// ---------------------------------------------------------------------------
// CPU log-mel computation

TEST(LogMelTest, FrameCounts) {
  MelSpectrogramExtractor fe(diarizer_config(), nullptr, kBatchingOff);
  const struct {
    size_t n;
    bool center;
    int64_t frames;
  } cases[] = {
      {16000, true, 101}, {16000, false, 99}, {0, true, 1},        {0, false, 0},  {255, false, 0},
      {256, false, 1},    {415, false, 1},    {416, false, 2},     {159, true, 1}, {160, true, 2},
      {1, true, 1},       {96001, true, 601}, {96001, false, 599},
  };
  const std::vector<float> audio = noise(96001, 1);
  for (const auto& c : cases) {
    std::vector<float> out(3, 1.0f);
    int64_t n_frames = -1;
    fe.compute(audio.data(), c.n, out, n_frames, c.center, false);
    EXPECT_EQ(n_frames, c.frames) << c.n << (c.center ? " centred" : " not centred");
    EXPECT_EQ(out.size(), static_cast<size_t>(c.frames) * 80);
  }
}

TEST(LogMelTest, SilenceGivesTheLogGuardAndMaskingOrNormalisationZero) {
  const float silence = std::log(5.9604645e-8f);
  MelSpecConfig cfg = diarizer_config();
  {
    MelSpectrogramExtractor fe(cfg, nullptr, kBatchingOff);
    std::vector<float> out;
    int64_t n_frames = 0;
    fe.compute(nullptr, 0, out, n_frames, true, false);
    ASSERT_EQ(n_frames, 1);
    for (float v : out) ASSERT_EQ(v, silence);
    fe.compute(nullptr, 0, out, n_frames, false, false);
    EXPECT_EQ(n_frames, 0);
    EXPECT_TRUE(out.empty());

    // valid 0 of 1000 padded: the samples are never read.
    const std::vector<float> garbage(1000, 0.75f);
    fe.compute_padded(garbage.data(), 1000, 0, out, n_frames, true, false);
    ASSERT_EQ(n_frames, 7);
    for (float v : out) ASSERT_EQ(v, silence);
    fe.compute_padded(garbage.data(), 1000, 0, out, n_frames, true, true);  // n = 0: mean 0, all zero
    ASSERT_EQ(n_frames, 7);
    for (float v : out) ASSERT_EQ(v, 0.0f);
  }
  cfg.mask_tail = true;
  MelSpectrogramExtractor masked(cfg, nullptr, kBatchingOff);
  std::vector<float> out;
  int64_t n_frames = 0;
  masked.compute_padded(nullptr, 1000, 0, out, n_frames, true, false);
  ASSERT_EQ(n_frames, 7);
  for (float v : out) ASSERT_EQ(v, 0.0f);
}

TEST(LogMelTest, PreEmphasisRunsDownwardOverTheValidSamplesOnly) {
  // probe: frame t holds log(x_t^2 + guard) of signal sample x_t, not centred.
  MelSpectrogramExtractor fe(probe_config(), nullptr, kBatchingOff);
  const float one_bin[2] = {1.0f, 0.0f};
  fe.set_mel_basis(one_bin, 1, 2);
  const float guard = 5.9604645e-8f;
  auto probe = [guard](float x) { return std::log(x * x + guard); };

  const float a = -0.97f;
  const struct {
    std::vector<float> samples;
    size_t valid;
    std::vector<float> signal;  // the pre-emphasised buffer as the frames must see it
  } cases[] = {
      {{1, 1, 1}, 3, {1, std::fma(a, 1.0f, 1.0f), std::fma(a, 1.0f, 1.0f)}},
      {{1, 1, 1, 5}, 3, {1, std::fma(a, 1.0f, 1.0f), std::fma(a, 1.0f, 1.0f), 0}},  // padding stays 0
      {{1, 2, 4}, 3, {1, std::fma(a, 1.0f, 2.0f), std::fma(a, 2.0f, 4.0f)}},  // reads unchanged predecessors
      {{0.5f, -3}, 1, {0.5f, 0}},                                             // one valid sample: unchanged
  };
  EXPECT_NEAR(cases[0].signal[1], 0.03, 1e-7);
  for (const auto& c : cases) {
    std::vector<float> out;
    int64_t n_frames = 0;
    fe.compute_padded(c.samples.data(), c.samples.size(), c.valid, out, n_frames, false, false);
    ASSERT_EQ(n_frames, static_cast<int64_t>(c.samples.size()));
    for (size_t t = 0; t < c.signal.size(); ++t) EXPECT_EQ(out[t], probe(c.signal[t])) << t;
  }
  // Pre-emphasis off: the samples pass unchanged.
  MelSpecConfig cfg = probe_config();
  cfg.preemph = 0.0f;
  MelSpectrogramExtractor plain(cfg, nullptr, kBatchingOff);
  plain.set_mel_basis(one_bin, 1, 2);
  std::vector<float> out;
  int64_t n_frames = 0;
  const float samples[3] = {1, 2, 4};
  plain.compute(samples, 3, out, n_frames, false, false);
  ASSERT_EQ(n_frames, 3);
  for (int t = 0; t < 3; ++t) EXPECT_EQ(out[t], probe(samples[t]));
}

// The single-precision result, bit for bit, over configurations and inputs
// that reach every branch: centred or not, window offsets 56 and 0, FFT
// sizes 2 to 512, pre-emphasis on and off, a caller's bank with negative and
// zero entries, padding, tail masking, normalisation, and frames so loud that
// their power overflows (where skipping zero weights would differ).
TEST(LogMelTest, MatchesTheWrittenFloatOperationsBitForBit) {
  struct Case {
    const char* name;
    MelSpecConfig cfg;
    size_t padded;
    size_t valid;
    bool center;
    bool normalize;
    bool custom_bank;
    float loud;  // > 0: scale of a burst in the middle
  };
  MelSpecConfig masked = diarizer_config();
  masked.mask_tail = true;
  MelSpecConfig no_preemph = full_window_config();
  no_preemph.preemph = 0.0f;
  MelSpecConfig tiny = diarizer_config();
  tiny.n_fft = 4;
  tiny.n_mels = 2;
  tiny.window_size = 0.0001875f;  // 3.5 -> 3 samples
  tiny.window_stride = 0.0000625f;
  MelSpecConfig many_mels = diarizer_config();
  many_mels.n_mels = 128;
  const Case cases[] = {
      {"diarizer, centred", diarizer_config(), 8000, 8000, true, false, false, 0},
      {"diarizer, not centred", diarizer_config(), 8000, 8000, false, false, false, 0},
      {"diarizer, padded, normalised", diarizer_config(), 8000, 6100, true, true, false, 0},
      {"masked tail", masked, 8000, 5000, true, false, false, 0},
      {"masked and normalised", masked, 8000, 5000, false, true, false, 0},
      {"full window, periodic", full_window_config(), 6000, 6000, true, false, false, 0},
      {"full window, no pre-emphasis", no_preemph, 6000, 6000, false, true, false, 0},
      {"long hop", long_hop_config(), 5000, 4321, true, false, false, 0},
      {"4-point FFT", tiny, 300, 300, true, false, false, 0},
      {"2-point probe", probe_config(), 100, 90, false, false, false, 0},
      {"128 bands, caller's bank", many_mels, 4000, 4000, true, false, true, 0},
      {"overflowing power", diarizer_config(), 4000, 4000, true, false, false, 3e19f},
      {"overflowing power, caller's bank", many_mels, 4000, 4000, true, false, true, 3e19f},
  };
  uint32_t seed = 10;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MelSpectrogramExtractor fe(c.cfg, nullptr, kBatchingOff);
    std::vector<float> bank = fe.mel_basis();
    if (c.custom_bank) {
      std::mt19937 rng(seed);
      std::uniform_real_distribution<float> dist(-0.5f, 1.0f);
      for (float& w : bank) w = dist(rng) < 0.0f ? 0.0f : dist(rng);
      for (int k = 0; k < fe.n_bins(); k += 3) bank[k] = -0.25f;  // band 0 has negative weights
      fe.set_mel_basis(bank.data(), c.cfg.n_mels, fe.n_bins());
    }
    std::vector<float> audio = speechlike(c.padded, seed++);
    if (c.loud > 0) {
      for (size_t i = c.padded / 2; i < c.padded / 2 + 300; ++i) audio[i] *= c.loud;
    }
    for (size_t i = c.valid; i < c.padded; ++i) audio[i] = 9.0f;  // ignored beyond valid

    int64_t expected_frames = 0;
    const std::vector<float> expected =
        literal::log_mel(c.cfg, literal::window(c.cfg), bank, audio.data(), c.padded, c.valid, c.center,
                         c.normalize, &expected_frames);
    std::vector<float> out;
    int64_t n_frames = 0;
    fe.compute_padded(audio.data(), c.padded, c.valid, out, n_frames, c.center, c.normalize);
    EXPECT_EQ(n_frames, expected_frames);
    const long diff = first_difference(out, expected);
    EXPECT_EQ(diff, -1) << "frame " << diff / c.cfg.n_mels << " band " << diff % c.cfg.n_mels << ": "
                        << (diff >= 0 && static_cast<size_t>(diff) < out.size() ? out[diff] : 0.0f) << " vs "
                        << (diff >= 0 && static_cast<size_t>(diff) < expected.size() ? expected[diff] : 0.0f);
    if (c.loud > 0) {
      bool any_nan = false;
      for (float v : expected) any_nan = any_nan || std::isnan(v);
      EXPECT_TRUE(any_nan) << "the burst should reach 0 * inf in the dense sum";
    }
  }
}

// An independent reference in double precision: pre-emphasis, the Hann
// window from its formula and a direct DFT, with the extractor's filter bank
// (checked against its own formula above).
//
// Tolerance, per frame and band. Let x be the double windowed frame and n the
// FFT size. The float frame differs by the window's 6e-7 absolute error times
// the samples plus 2 roundings (pre-emphasis, product). The float FFT's
// error, in 2-norm relative to ||X|| = sqrt(n) ||x||, is at most the sum over
// its stages of the stage's twiddle error plus ~3 eps of butterfly rounding;
// the recurrence twiddle of a stage with h twiddles drifts by <= 4 eps per
// step, so the sum is 4 eps (n - 1) + 3 eps log2(n). With D the resulting
// bound on ||X_float - X||_2 (and so on every bin), Cauchy-Schwarz with
// weights in [0, 1] bounds a band's energy error by 2 sqrt(e) D + D^2, and
// the power and sum roundings add (n_bins + 2) eps e. The log then moves by
// at most that bound over (e + guard - bound), plus logf's last-place error.
TEST(LogMelTest, AgreesWithADirectDftInDouble) {
  for (const MelSpecConfig& cfg : {diarizer_config(), full_window_config()}) {
    MelSpectrogramExtractor fe(cfg, nullptr, kBatchingOff);
    const int n = cfg.n_fft;
    const int n_bins = fe.n_bins();
    const int n_mels = cfg.n_mels;
    const int hop = fe.hop();
    const int win = fe.win_length();
    const std::vector<float> audio = speechlike(6000, 77);

    std::vector<float> out;
    int64_t n_frames = 0;
    fe.compute(audio.data(), audio.size(), out, n_frames, true, false);

    std::vector<double> signal(n / 2, 0.0);
    for (size_t i = 0; i < audio.size(); ++i) {
      signal.push_back(i == 0
                           ? audio[0]
                           : static_cast<double>(audio[i]) - cfg.preemph * static_cast<double>(audio[i - 1]));
    }
    signal.resize(signal.size() + n / 2, 0.0);
    ASSERT_EQ(n_frames, static_cast<int64_t>((signal.size() - n) / hop + 1));

    const double log2n = std::log2(static_cast<double>(n));
    const double eta = 4 * kEps * (n - 1) + 3 * kEps * log2n;
    const double window_err = 6e-7;
    const int offset = cfg.center_window ? (n - win) / 2 : 0;
    const double d = cfg.periodic_window ? win : win - 1;
    int tight_bands = 0;
    for (int64_t t = 0; t < n_frames; ++t) {
      std::vector<double> x(n, 0.0);
      double x_norm2 = 0.0;
      double seg_norm2 = 0.0;
      for (int i = 0; i < win; ++i) {
        const double s = signal[t * hop + offset + i];
        x[offset + i] = s * 0.5 * (1 - std::cos(2 * kPi * i / d));
        x_norm2 += x[offset + i] * x[offset + i];
        seg_norm2 += s * s;
      }
      const double dx = window_err * std::sqrt(seg_norm2) + 2 * kEps * std::sqrt(x_norm2);
      const double big_d = std::sqrt(static_cast<double>(n)) * (eta * std::sqrt(x_norm2) + dx);
      std::vector<double> power(n_bins);
      for (int k = 0; k < n_bins; ++k) {
        double re = 0.0;
        double im = 0.0;
        for (int j = 0; j < n; ++j) {
          const double angle = 2 * kPi * static_cast<double>((static_cast<int64_t>(k) * j) % n) / n;
          re += x[j] * std::cos(angle);
          im -= x[j] * std::sin(angle);
        }
        power[k] = re * re + im * im;
      }
      for (int m = 0; m < n_mels; ++m) {
        double e = 0.0;
        for (int k = 0; k < n_bins; ++k) e += static_cast<double>(fe.mel_basis()[m * n_bins + k]) * power[k];
        const double guard = cfg.log_zero_guard;
        const double bound = 2 * std::sqrt(e) * big_d + big_d * big_d + (n_bins + 2) * kEps * e;
        const double ref = std::log(e + guard);
        const double got = out[t * n_mels + m];
        if (bound >= 0.5 * (e + guard)) continue;  // a band too quiet for this bound to say anything
        const double tol = bound / (e + guard - bound) + 2 * kEps * (std::fabs(ref) + 1);
        if (tol < 0.05) ++tight_bands;
        ASSERT_NEAR(got, ref, tol) << "frame " << t << " band " << m;
      }
    }
    // The check must bind on most of the bands, not skip them.
    EXPECT_GT(tight_bands, n_frames * n_mels * 3 / 4);
  }
}

TEST(LogMelTest, PaddingMaskingAndNormalisation) {
  MelSpecConfig cfg = diarizer_config();
  const std::vector<float> audio = speechlike(4000, 5);

  // Neither masking nor normalisation: frames from valid / hop on keep the
  // log-mel of the zero padding and the audio before it. Without
  // pre-emphasis (which stops at valid_len) that is exactly as if the zeros
  // had been passed as audio.
  MelSpecConfig flat = cfg;
  flat.preemph = 0.0f;
  MelSpectrogramExtractor no_preemph(flat, nullptr, kBatchingOff);
  std::vector<float> zero_padded(audio.begin(), audio.begin() + 2500);
  zero_padded.resize(4000, 0.0f);
  std::vector<float> padded_out;
  std::vector<float> plain_out;
  int64_t frames_a = 0;
  int64_t frames_b = 0;
  no_preemph.compute_padded(audio.data(), 4000, 2500, padded_out, frames_a, true, false);
  no_preemph.compute(zero_padded.data(), 4000, plain_out, frames_b, true, false);
  EXPECT_EQ(frames_a, 26);
  EXPECT_EQ(first_difference(padded_out, plain_out), -1);
  EXPECT_NE(padded_out[15 * 80], 0.0f);

  MelSpectrogramExtractor fe(cfg, nullptr, kBatchingOff);
  fe.compute_padded(audio.data(), 4000, 2500, padded_out, frames_a, true, false);

  // Tail masking zeroes exactly the frames from valid / hop = 15 on.
  cfg.mask_tail = true;
  MelSpectrogramExtractor masked(cfg, nullptr, kBatchingOff);
  std::vector<float> masked_out;
  masked.compute_padded(audio.data(), 4000, 2500, masked_out, frames_a, true, false);
  ASSERT_EQ(masked_out.size(), padded_out.size());
  for (size_t i = 0; i < masked_out.size(); ++i) {
    EXPECT_EQ(masked_out[i], i < 15 * 80 ? padded_out[i] : 0.0f) << i;
  }

  // Normalisation over the 15 valid frames, in double, against the raw frames.
  std::vector<float> norm_out;
  fe.compute_padded(audio.data(), 4000, 2500, norm_out, frames_a, true, true);
  for (int m = 0; m < 80; ++m) {
    double mean = 0.0;
    for (int t = 0; t < 15; ++t) mean += padded_out[t * 80 + m];
    mean /= 15;
    double ss = 0.0;
    for (int t = 0; t < 15; ++t) ss += (padded_out[t * 80 + m] - mean) * (padded_out[t * 80 + m] - mean);
    const double scale = 1.0 / (std::sqrt(ss / 14) + 1e-5);
    double norm_mean = 0.0;
    for (int t = 0; t < 26; ++t) {
      const float expected = t < 15 ? static_cast<float>(scale * (padded_out[t * 80 + m] - mean)) : 0.0f;
      EXPECT_EQ(norm_out[t * 80 + m], expected) << t << " " << m;
      if (t < 15) norm_mean += norm_out[t * 80 + m];
    }
    EXPECT_NEAR(norm_mean / 15, 0.0, 1e-5);
  }

  // Normalisation asked for but not allowed by the configuration: no effect.
  MelSpecConfig not_allowed = diarizer_config();
  not_allowed.normalize = false;
  MelSpectrogramExtractor raw(not_allowed, nullptr, kBatchingOff);
  std::vector<float> raw_out;
  raw.compute_padded(audio.data(), 4000, 2500, raw_out, frames_a, true, true);
  EXPECT_EQ(first_difference(raw_out, padded_out), -1);

  // One valid frame: it equals its mean, so 0; the frames after it are 0.
  std::vector<float> one_out;
  fe.compute_padded(audio.data(), 400, 160, one_out, frames_a, true, true);
  ASSERT_EQ(frames_a, 3);
  for (float v : one_out) EXPECT_EQ(v, 0.0f);
}

TEST(LogMelTest, RefusesBadLengthsWithoutTouchingTheOutput) {
  MelSpectrogramExtractor fe(diarizer_config(), nullptr, kBatchingOff);
  const std::vector<float> audio(100, 0.1f);
  std::vector<float> out = {1.0f, 2.0f};
  int64_t n_frames = 42;
  try {
    fe.compute_padded(audio.data(), 99, 100, out, n_frames, true, false);
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "valid audio length exceeds padded length");
  }
  EXPECT_EQ(out, (std::vector<float>{1.0f, 2.0f}));
  EXPECT_EQ(n_frames, 42);
  // A length whose signal cannot be indexed is refused rather than wrapped.
  EXPECT_THROW(
      fe.compute_padded(nullptr, std::numeric_limits<size_t>::max() - 10, 0, out, n_frames, true, false),
      std::overflow_error);
}

TEST(LogMelTest, NoTimingLineUnlessAskedFor) {
  if (std::getenv("OLVAN_SPEECH_TIMING") != nullptr) GTEST_SKIP() << "timing switched on for this run";
  MelSpectrogramExtractor fe(diarizer_config(), nullptr, kBatchingOff);
  const std::vector<float> audio(1600, 0.1f);
  std::vector<float> out;
  int64_t n_frames = 0;
  testing::internal::CaptureStderr();
  fe.compute(audio.data(), audio.size(), out, n_frames, true, false);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(LogMelTest, ACpuOnlyManagerComputesTheSameFrames) {
  ggml_runtime::BackendManager manager(ggml_runtime::Params{});
  ASSERT_EQ(manager.gpu_backend, nullptr);
  MelSpectrogramExtractor with(diarizer_config(), &manager, kBatchingOff);
  MelSpectrogramExtractor without(diarizer_config(), nullptr, kBatchingOff);
  EXPECT_EQ(with.manager(), &manager);
  const std::vector<float> audio = speechlike(3000, 9);
  std::vector<float> a;
  std::vector<float> b;
  int64_t na = 0;
  int64_t nb = 0;
  with.compute(audio.data(), audio.size(), a, na, true, false);
  without.compute(audio.data(), audio.size(), b, nb, true, false);
  EXPECT_EQ(na, nb);
  EXPECT_EQ(first_difference(a, b), -1);
}

TEST(LogMelTest, ConcurrentComputationsOnOneExtractorAgree) {
  MelSpectrogramExtractor fe(diarizer_config(), nullptr, kBatchingOff);
  const std::vector<float> audio = speechlike(8000, 21);
  std::vector<float> expected;
  int64_t frames = 0;
  fe.compute(audio.data(), audio.size(), expected, frames, true, true);

  std::vector<std::vector<float>> results(4);
  std::vector<std::thread> threads;
  for (auto& result : results) {
    threads.emplace_back([&fe, &audio, &result] {
      int64_t n = 0;
      for (int i = 0; i < 3; ++i) fe.compute(audio.data(), audio.size(), result, n, true, true);
    });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& result : results) EXPECT_EQ(first_difference(result, expected), -1);
}

// ---------------------------------------------------------------------------
// Incremental frames

std::vector<float> whole_recording(const MelSpectrogramExtractor& fe, const std::vector<float>& audio,
                                   int64_t* n_frames) {
  std::vector<float> out;
  fe.compute(audio.data(), audio.size(), out, *n_frames, true, false);
  return out;
}

// Frames complete once `end` samples have arrived.
int64_t complete_frames(const MelSpectrogramExtractor& fe, int64_t end) {
  const int64_t half = fe.config().n_fft / 2;
  return end >= half ? (end - half) / fe.hop() + 1 : 0;
}

TEST(IncrementalMelTest, DocumentedSituations) {
  MelSpectrogramExtractor fe(diarizer_config(), nullptr, kBatchingOff);
  const std::vector<float> audio = speechlike(16160, 3);
  int64_t whole_frames = 0;
  const std::vector<float> whole = whole_recording(fe, audio, &whole_frames);
  auto frames_of_whole = [&whole](int64_t first, int64_t count) {
    return std::vector<float>(whole.begin() + first * 80, whole.begin() + (first + count) * 80);
  };

  std::vector<float> out(5, 1.0f);
  const std::vector<float> first_200(audio.begin(), audio.begin() + 200);
  EXPECT_EQ(produce_new_mel_frames(fe, first_200, 0, 0, out), 0);
  EXPECT_TRUE(out.empty());

  // 400 samples: frame 0 only, from a centred computation of the 400 samples.
  const std::vector<float> first_400(audio.begin(), audio.begin() + 400);
  std::vector<float> centred_400;
  int64_t n400 = 0;
  fe.compute(first_400.data(), 400, centred_400, n400, true, false);
  ASSERT_EQ(n400, 3);
  ASSERT_EQ(produce_new_mel_frames(fe, first_400, 0, 0, out), 1);
  EXPECT_EQ(out, std::vector<float>(centred_400.begin(), centred_400.begin() + 80));
  EXPECT_EQ(first_difference(out, frames_of_whole(0, 1)), -1);

  // 16000 samples from frame 1: frames 1 to 98.
  const std::vector<float> first_16000(audio.begin(), audio.begin() + 16000);
  ASSERT_EQ(produce_new_mel_frames(fe, first_16000, 0, 1, out), 98);
  EXPECT_EQ(first_difference(out, frames_of_whole(1, 98)), -1);

  // Samples [15000, 16000) held, next frame 99: nothing is complete yet.
  const std::vector<float> tail_1000(audio.begin() + 15000, audio.begin() + 16000);
  EXPECT_EQ(produce_new_mel_frames(fe, tail_1000, 15000, 99, out), 0);
  EXPECT_TRUE(out.empty());
  // 160 more: frame 99 from the non-centred block over the last 576 samples.
  const std::vector<float> tail_1160(audio.begin() + 15000, audio.begin() + 16160);
  ASSERT_EQ(produce_new_mel_frames(fe, tail_1160, 15000, 99, out), 1);
  EXPECT_EQ(first_difference(out, frames_of_whole(99, 1)), -1);
  // Again without new samples: nothing, and `out` is emptied.
  EXPECT_EQ(produce_new_mel_frames(fe, tail_1160, 15000, 100, out), 0);
  EXPECT_TRUE(out.empty());
}

// A stream fed in random blocks (empty and one-sample blocks included)
// yields every frame of the whole-recording computation exactly once and bit
// for bit, whether the caller drops all the samples it may or none. Checked
// with window offsets 56 and 0 (where pre-emphasis restarts inside the first
// window of a block, on a sample the Hann window weighs 0) and with a hop
// longer than half the frame.
TEST(IncrementalMelTest, RandomBlocksGiveTheWholeRecordingFramesExactlyOnce) {
  MelSpecConfig no_preemph = diarizer_config();
  no_preemph.preemph = 0.0f;
  for (const MelSpecConfig& cfg : {diarizer_config(), full_window_config(), long_hop_config(), no_preemph}) {
    MelSpectrogramExtractor fe(cfg, nullptr, kBatchingOff);
    const int64_t hop = fe.hop();
    const int64_t half = cfg.n_fft / 2;
    const size_t n_mels = static_cast<size_t>(cfg.n_mels);
    const std::vector<float> audio = speechlike(24000, 4);
    int64_t whole_frames = 0;
    const std::vector<float> whole = whole_recording(fe, audio, &whole_frames);

    for (uint32_t seed = 0; seed < 6; ++seed) {
      for (bool drop : {false, true}) {
        SCOPED_TRACE("seed " + std::to_string(seed) + (drop ? " dropping" : " keeping"));
        std::mt19937 rng(seed);
        std::uniform_int_distribution<int> size_kind(0, 9);
        std::vector<float> held;
        size_t first_sample = 0;
        size_t pushed = 0;
        long long next_frame = 0;
        std::vector<float> produced;
        std::vector<float> out;
        while (pushed < audio.size()) {
          const int kind = size_kind(rng);
          size_t block = kind == 0   ? 0
                         : kind == 1 ? 1
                         : kind < 5  ? rng() % 200
                         : kind < 9  ? rng() % 3000
                                     : rng() % 9000;
          block = std::min(block, audio.size() - pushed);
          held.insert(held.end(), audio.begin() + pushed, audio.begin() + pushed + block);
          pushed += block;
          const long long got = produce_new_mel_frames(fe, held, first_sample, next_frame, out);
          ASSERT_EQ(out.size(), static_cast<size_t>(got) * n_mels);
          produced.insert(produced.end(), out.begin(), out.end());
          next_frame += got;
          ASSERT_EQ(next_frame, complete_frames(fe, static_cast<int64_t>(pushed)));
          if (drop) {
            const int64_t keep_from = std::max<int64_t>(0, next_frame * hop - half);
            if (next_frame * hop >= half && keep_from > static_cast<int64_t>(first_sample)) {
              held.erase(held.begin(), held.begin() + (keep_from - static_cast<int64_t>(first_sample)));
              first_sample = static_cast<size_t>(keep_from);
            }
          }
        }
        ASSERT_LE(next_frame, whole_frames);
        const std::vector<float> expected(whole.begin(),
                                          whole.begin() + next_frame * static_cast<int64_t>(n_mels));
        const long diff = first_difference(produced, expected);
        EXPECT_EQ(diff, -1) << "frame " << diff / static_cast<long>(n_mels);
      }
    }
  }
}

TEST(IncrementalMelTest, RefusesCallsThatBreakTheCallersContract) {
  MelSpectrogramExtractor fe(diarizer_config(), nullptr, kBatchingOff);
  const std::vector<float> audio = speechlike(4000, 8);
  std::vector<float> out(7, 1.0f);
  // A young stream (frame 1: 160 < 256) that has already dropped samples.
  EXPECT_THROW(produce_new_mel_frames(fe, audio, 10, 1, out), std::invalid_argument);
  EXPECT_TRUE(out.empty());
  // Frame 20's window starts at 20 * 160 - 256 = 2944; the stream holds from 3000.
  out.assign(7, 1.0f);
  const std::vector<float> tail(audio.begin() + 1000, audio.end());
  EXPECT_THROW(produce_new_mel_frames(fe, tail, 3000, 20, out), std::invalid_argument);
  EXPECT_TRUE(out.empty());
  // Held from exactly that window start it is fine: the stream ends at 6000,
  // so frames 20 to (6000 - 256) / 160 = 35 are complete.
  const std::vector<float> from_window(audio.begin() + 944, audio.end());
  EXPECT_EQ(produce_new_mel_frames(fe, from_window, 2944, 20, out), 16);
  out.assign(7, 1.0f);
  EXPECT_THROW(produce_new_mel_frames(fe, audio, 0, -1, out), std::invalid_argument);
  EXPECT_TRUE(out.empty());
  // A stream end beyond 64 bits.
  EXPECT_THROW(produce_new_mel_frames(fe, audio, std::numeric_limits<size_t>::max() - 100, 0, out),
               std::overflow_error);
  // Frames already produced beyond what has arrived: nothing to do.
  EXPECT_EQ(produce_new_mel_frames(fe, audio, 0, 1000, out), 0);
}

TEST(IncrementalMelTest, LongStreamIndicesStayExact) {
  // A stream more than 2^31 samples in: frame and sample indices beyond 32 bits.
  MelSpectrogramExtractor fe(diarizer_config(), nullptr, kBatchingOff);
  const std::vector<float> audio = speechlike(2000, 12);
  const int64_t first_frame = (int64_t{1} << 33) / 160;  // 53687091
  const size_t first_sample = static_cast<size_t>(first_frame * 160 - 256);
  std::vector<float> out;
  const long long got = produce_new_mel_frames(fe, audio, first_sample, first_frame, out);
  EXPECT_EQ(got, complete_frames(fe, static_cast<int64_t>(first_sample) + 2000) - first_frame);
  // The same samples at the start of a non-centred computation give the same frames.
  std::vector<float> block;
  int64_t n = 0;
  fe.compute(audio.data(), audio.size(), block, n, false, false);
  block.resize(static_cast<size_t>(got) * 80);
  EXPECT_EQ(first_difference(out, block), -1);
}

}  // namespace
