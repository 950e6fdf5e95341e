// The feature graph path, built on whatever backend this machine has (the CPU
// here), against the CPU path of the same extractor settings.
#include "asr/features/fe_module.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "asr/batching/micro_batcher.h"
#include "asr/features/fe.h"
#include "asr/features/fe_test_configs.h"
#include "runtime/ggml/backend.h"
#include "runtime/ggml/session.h"
#include "support/error_text.h"

namespace {

using kestrix_test::diarizer_config;
using kestrix_test::error_text;
using olvan_speech::asr::BatchingConfig;
using Request = MelSpectrogramExtractor::BatchRequest;

std::vector<float> noise(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> dist(0.0f, 0.1f);
  std::vector<float> v(n);
  for (float& x : v) x = dist(rng);
  return v;
}

Request request(std::vector<float> audio, size_t valid_len, bool center, bool normalize) {
  Request r;
  r.audio = std::move(audio);
  r.valid_len = valid_len;
  r.center = center;
  r.normalize = normalize;
  return r;
}

class FeGraphTest : public ::testing::Test {
 protected:
  ggml_runtime::BackendManager manager{ggml_runtime::Params{}};
};

TEST_F(FeGraphTest, BuiltOnlyForAGpuUnlessAskedFor) {
  MelSpectrogramExtractor plain(diarizer_config(), &manager, BatchingConfig{});
  EXPECT_EQ(plain.feature_session() != nullptr, manager.gpu_backend != nullptr);
  MelSpectrogramExtractor any(diarizer_config(), &manager, BatchingConfig{}, FeGraphPlacement::kAnyBackend);
  ASSERT_NE(any.feature_session(), nullptr);
  MelSpectrogramExtractor none(diarizer_config(), nullptr, BatchingConfig{}, FeGraphPlacement::kAnyBackend);
  EXPECT_EQ(none.feature_session(), nullptr);
  // Without a batcher the counters stay zero.
  const auto m = any.batch_metrics();
  EXPECT_EQ(m.batches + m.requests + m.max_batch_seen + m.wait_ns_sum, 0u);
}

// The graph computes the same DFT as the CPU FFT in another order: a float
// matrix product of 512 terms against the CPU's radix-2 butterflies with a
// twiddle recurrence. Either side's error in a bin is of the order of
// sqrt(n_fft) * 2^-24 times the frame's own magnitude, so a band's relative
// error grows as its energy falls below the frame's. Pre-emphasis puts the
// lowest bands of white noise about 30 dB below the frame, where the relative
// error, and so the error of the log, reaches about 1e-4 (1.3e-4 seen). 1e-3
// allows for that; a window misplaced by one sample costs more than 0.1.
TEST_F(FeGraphTest, ValuesMatchTheCpuPath) {
  struct Case {
    const char* what;
    size_t len;
    size_t valid;
    bool center;
  };
  const Case cases[] = {
      {"centred, whole second", 16000, 16000, true},
      {"centred, padded tail", 12000, 9000, true},
      {"not centred", 16000, 16000, false},
  };
  MelSpectrogramExtractor cpu(diarizer_config(), nullptr, BatchingConfig{});
  MelSpectrogramExtractor graph(diarizer_config(), &manager, BatchingConfig{}, FeGraphPlacement::kAnyBackend);
  for (const Case& c : cases) {
    const auto audio = noise(c.len, 11);
    std::vector<float> expected;
    std::vector<float> actual;
    int64_t expected_frames = 0;
    int64_t actual_frames = 0;
    cpu.compute_padded(audio.data(), c.len, c.valid, expected, expected_frames, c.center, false);
    graph.compute_padded(audio.data(), c.len, c.valid, actual, actual_frames, c.center, false);
    // The graph may hold one frame more (its row has a zero after the
    // input); the frames both paths hold must agree.
    ASSERT_GE(actual_frames, expected_frames) << c.what;
    ASSERT_LE(actual_frames, expected_frames + 1) << c.what;
    double worst = 0.0;
    for (size_t i = 0; i < expected.size(); ++i) {
      worst = std::max(worst, std::fabs(static_cast<double>(actual[i]) - expected[i]));
    }
    EXPECT_LT(worst, 1e-3) << c.what;
  }
}

TEST_F(FeGraphTest, FrameCountsOfTheGraphRow) {
  struct Case {
    size_t len;
    bool center;
    int64_t graph_frames;
    int64_t cpu_frames;
  };
  // n_fft 512, hop 160.
  const Case cases[] = {
      {16000, true, 101, 101}, {15999, true, 101, 100}, {200, false, 1, 0},      {95, false, 0, 0},
      {96, false, 1, 0},       {16000, false, 99, 99},  {16095, false, 100, 99},
  };
  MelSpectrogramExtractor cpu(diarizer_config(), nullptr, BatchingConfig{});
  MelSpectrogramExtractor graph(diarizer_config(), &manager, BatchingConfig{}, FeGraphPlacement::kAnyBackend);
  for (const Case& c : cases) {
    const auto audio = noise(c.len, 3);
    std::vector<float> out;
    int64_t frames = -1;
    graph.compute_padded(audio.data(), c.len, c.len, out, frames, c.center, false);
    EXPECT_EQ(frames, c.graph_frames) << c.len << (c.center ? " centred" : "");
    EXPECT_EQ(out.size(), static_cast<size_t>(frames) * 80);
    cpu.compute_padded(audio.data(), c.len, c.len, out, frames, c.center, false);
    EXPECT_EQ(frames, c.cpu_frames) << c.len << (c.center ? " centred" : "");
  }

  // d < 0 gives one empty result per request; no requests give none.
  std::vector<Request> empty_rows;
  empty_rows.push_back(request({}, 0, false, false));
  empty_rows.push_back(request({}, 0, false, false));
  auto results = graph.compute_gpu_batch_via_session(std::move(empty_rows));
  ASSERT_EQ(results.size(), 2u);
  for (const auto& r : results) {
    EXPECT_EQ(r.n_frames, 0);
    EXPECT_TRUE(r.mel.empty());
  }
  EXPECT_TRUE(graph.compute_gpu_batch_via_session({}).empty());

  // A padded length of 0 takes the CPU path: one centred frame of silence.
  std::vector<float> out;
  int64_t frames = 0;
  graph.compute_padded(nullptr, 0, 0, out, frames, true, false);
  EXPECT_EQ(frames, 1);
  EXPECT_FLOAT_EQ(out[0], std::log(diarizer_config().log_zero_guard));
}

TEST_F(FeGraphTest, ABatchEqualsItsSingleRuns) {
  MelSpecConfig cfg = diarizer_config();
  cfg.mask_tail = true;
  MelSpectrogramExtractor graph(cfg, &manager, BatchingConfig{}, FeGraphPlacement::kAnyBackend);
  const size_t len = 8000;
  const size_t valid[] = {8000, 5000, 0};
  for (bool normalize : {false, true}) {
    std::vector<Request> batch;
    std::vector<std::vector<float>> singles;
    for (size_t i = 0; i < 3; ++i) {
      const auto audio = noise(len, 20 + static_cast<uint32_t>(i));
      batch.push_back(request(audio, valid[i], true, normalize));
      std::vector<float> out;
      int64_t frames = 0;
      graph.compute_gpu_via_session(audio.data(), len, valid[i], out, frames, true, normalize);
      EXPECT_EQ(frames, 51);
      singles.push_back(out);
    }
    auto results = graph.compute_gpu_batch_via_session(std::move(batch));
    ASSERT_EQ(results.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(results[i].n_frames, 51);
      EXPECT_EQ(results[i].mel, singles[i]) << "request " << i << (normalize ? " normalised" : "");
    }
    // Masking (and normalisation) end each request at its own valid frames.
    const size_t vf = valid[1] / 160;
    for (size_t k = vf * 80; k < results[1].mel.size(); ++k) ASSERT_EQ(results[1].mel[k], 0.0f);
    for (float v : results[2].mel) ASSERT_EQ(v, 0.0f);
  }
}

TEST_F(FeGraphTest, IncompatibleBatchesAreRefused) {
  MelSpecConfig cfg = diarizer_config();
  cfg.normalize = false;
  MelSpectrogramExtractor graph(cfg, &manager, BatchingConfig{}, FeGraphPlacement::kAnyBackend);
  const std::string text = "GPU frontend batch contains incompatible inputs";
  auto two = [](Request a, Request b) {
    std::vector<Request> v;
    v.push_back(std::move(a));
    v.push_back(std::move(b));
    return v;
  };
  EXPECT_EQ(error_text([&] {
              graph.compute_gpu_batch_via_session(
                  two(request(noise(800, 1), 800, true, false), request(noise(801, 1), 801, true, false)));
            }),
            text);
  EXPECT_EQ(error_text([&] {
              graph.compute_gpu_batch_via_session(
                  two(request(noise(800, 1), 800, true, false), request(noise(800, 1), 800, false, false)));
            }),
            text);
  EXPECT_EQ(error_text([&] {
              graph.compute_gpu_batch_via_session(
                  two(request(noise(800, 1), 800, true, true), request(noise(800, 1), 800, true, false)));
            }),
            text);
  std::vector<Request> one;
  one.push_back(request(noise(800, 1), 801, true, false));
  EXPECT_EQ(error_text([&] { graph.compute_gpu_batch_via_session(std::move(one)); }), text);
  // A valid length that is negative as a signed count is still too long.
  std::vector<Request> huge;
  huge.push_back(request(noise(800, 1), SIZE_MAX, true, false));
  EXPECT_EQ(error_text([&] { graph.compute_gpu_batch_via_session(std::move(huge)); }), text);

  // A request asking for normalisation that the settings do not allow is
  // still compatible with itself (and is not normalised).
  std::vector<Request> alone;
  alone.push_back(request(noise(800, 1), 800, true, true));
  std::vector<Request> plain;
  plain.push_back(request(noise(800, 1), 800, true, false));
  auto a = graph.compute_gpu_batch_via_session(std::move(alone));
  auto b = graph.compute_gpu_batch_via_session(std::move(plain));
  EXPECT_EQ(a[0].mel, b[0].mel);
}

TEST_F(FeGraphTest, NewFilterBankReachesTheCachedGraph) {
  MelSpectrogramExtractor graph(diarizer_config(), &manager, BatchingConfig{}, FeGraphPlacement::kAnyBackend);
  const auto audio = noise(4000, 5);
  std::vector<float> before;
  std::vector<float> after;
  int64_t frames = 0;
  graph.compute_padded(audio.data(), audio.size(), audio.size(), before, frames, true, false);
  ASSERT_EQ(graph.feature_session()->cached_graph_count(), 1u);
  const auto key = graph.feature_session()->lru_order();

  // Doubling every weight doubles every energy m exactly (a power-of-two
  // scale commutes with float rounding), so log(m + guard) becomes
  // log(2 m + guard). m is recovered from the first value in double; the two
  // float logarithms and that recovery are each good to a few 1e-7 relative
  // for values of magnitude below 20.
  std::vector<float> doubled = graph.mel_basis();
  for (float& w : doubled) w *= 2.0f;
  graph.set_mel_basis(doubled.data(), 80, 257);
  graph.compute_padded(audio.data(), audio.size(), audio.size(), after, frames, true, false);
  EXPECT_EQ(graph.feature_session()->cached_graph_count(), 1u);
  EXPECT_EQ(graph.feature_session()->lru_order(), key);
  ASSERT_EQ(after.size(), before.size());
  for (size_t i = 0; i < before.size(); ++i) {
    const double guard = diarizer_config().log_zero_guard;
    const double m = std::exp(static_cast<double>(before[i])) - guard;
    ASSERT_NEAR(after[i], std::log(2.0 * m + guard), 1e-5) << i;
  }
}

TEST_F(FeGraphTest, BatcherGathersEqualRequestsOfSeveralThreads) {
  BatchingConfig batching;
  batching.enabled = true;
  batching.max_batch = 4;
  batching.max_wait_us = 60 * 1000 * 1000;  // the cohort target, not the deadline, ends the wait
  MelSpectrogramExtractor graph(diarizer_config(), &manager, batching, FeGraphPlacement::kAnyBackend);
  EXPECT_EQ(graph.feature_session()->cache_capacity, 16u);

  const size_t len = 3200;
  std::vector<std::vector<float>> audio;
  std::vector<std::vector<float>> expected(3);
  for (uint32_t i = 0; i < 3; ++i) audio.push_back(noise(len, 40 + i));
  // One request at once on this thread: a direct single-request batch.
  olvan_speech::asr::g_batch_cohort_target = 1;
  for (size_t i = 0; i < 3; ++i) {
    int64_t frames = 0;
    graph.compute_padded(audio[i].data(), len, len, expected[i], frames, true, false);
  }
  olvan_speech::asr::g_batch_cohort_target = 0;
  auto m = graph.batch_metrics();
  EXPECT_EQ(m.batches, 3u);
  EXPECT_EQ(m.single_request_batches, 3u);

  std::vector<std::vector<float>> got(3);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < 3; ++i) {
    threads.emplace_back([&, i] {
      olvan_speech::asr::g_batch_cohort_target = 3;
      int64_t frames = 0;
      graph.compute_padded(audio[i].data(), len, len, got[i], frames, true, false);
    });
  }
  for (auto& t : threads) t.join();
  m = graph.batch_metrics();
  EXPECT_EQ(m.batches, 4u);
  EXPECT_EQ(m.requests, 6u);
  EXPECT_EQ(m.max_batch_seen, 3u);
  EXPECT_EQ(m.cohort_target_met, 1u);
  EXPECT_EQ(m.cohort_target_sum, 3u);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(got[i], expected[i]) << i;
}

}  // namespace
