// Log-mel throughput on one thread, with the diarizer's settings (16 kHz,
// 512-point FFT, 25 ms window, 10 ms hop, 80 bands). Counters:
// "x_realtime" = seconds of audio per second of computing,
// "frames_per_s" = log-mel frames per second.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "asr/batching/micro_batcher.h"
#include "asr/features/fe.h"

namespace {

constexpr int32_t kRate = 16000;

MelSpecConfig diarizer_config() {
  MelSpecConfig cfg;
  cfg.sample_rate = kRate;
  cfg.n_fft = 512;
  cfg.n_mels = 80;
  cfg.window_size = 0.025f;
  cfg.window_stride = 0.01f;
  cfg.preemph = 0.97f;
  cfg.normalize = true;
  cfg.center_window = true;
  return cfg;
}

std::vector<float> test_audio(size_t n) {
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> dist(-0.2f, 0.2f);
  std::vector<float> audio(n);
  for (size_t i = 0; i < n; ++i) {
    audio[i] = dist(rng) + static_cast<float>(0.4 * std::sin(2 * 3.14159265358979 * 440.0 * i / kRate));
  }
  return audio;
}

void set_counters(benchmark::State& state, double audio_seconds, int64_t frames) {
  const double iterations = static_cast<double>(state.iterations());
  state.counters["x_realtime"] = benchmark::Counter(audio_seconds * iterations, benchmark::Counter::kIsRate);
  state.counters["frames_per_s"] =
      benchmark::Counter(static_cast<double>(frames) * iterations, benchmark::Counter::kIsRate);
}

// One centred computation over the whole recording (arg: seconds of audio).
void BM_ComputeWhole(benchmark::State& state) {
  const olvan_speech::asr::BatchingConfig batching{};
  MelSpectrogramExtractor fe(diarizer_config(), nullptr, batching);
  const std::vector<float> audio = test_audio(static_cast<size_t>(state.range(0)) * kRate);
  std::vector<float> out;
  int64_t n_frames = 0;
  for (auto _ : state) {
    fe.compute(audio.data(), audio.size(), out, n_frames, true, false);
    benchmark::DoNotOptimize(out.data());
  }
  set_counters(state, static_cast<double>(state.range(0)), n_frames);
}
BENCHMARK(BM_ComputeWhole)->Arg(60)->Arg(3600)->Unit(benchmark::kMillisecond);

// A stream fed in 60 s blocks that keeps only the samples still needed, as
// the streaming core does (arg: seconds of audio).
void BM_Incremental60sBlocks(benchmark::State& state) {
  const olvan_speech::asr::BatchingConfig batching{};
  MelSpectrogramExtractor fe(diarizer_config(), nullptr, batching);
  const std::vector<float> audio = test_audio(static_cast<size_t>(state.range(0)) * kRate);
  const size_t block = 60 * kRate;
  const int64_t hop = fe.hop();
  const int64_t half = fe.config().n_fft / 2;
  int64_t total = 0;
  for (auto _ : state) {
    std::vector<float> held;
    std::vector<float> out;
    size_t first_sample = 0;
    long long next_frame = 0;
    for (size_t pushed = 0; pushed < audio.size(); pushed += block) {
      const size_t end = std::min(audio.size(), pushed + block);
      held.insert(held.end(), audio.begin() + static_cast<std::ptrdiff_t>(pushed),
                  audio.begin() + static_cast<std::ptrdiff_t>(end));
      next_frame += produce_new_mel_frames(fe, held, first_sample, next_frame, out);
      benchmark::DoNotOptimize(out.data());
      const int64_t keep_from = next_frame * hop - half;
      if (keep_from > static_cast<int64_t>(first_sample)) {
        held.erase(held.begin(), held.begin() + (keep_from - static_cast<int64_t>(first_sample)));
        first_sample = static_cast<size_t>(keep_from);
      }
    }
    total = next_frame;
  }
  set_counters(state, static_cast<double>(state.range(0)), total);
}
BENCHMARK(BM_Incremental60sBlocks)->Arg(60)->Arg(3600)->Unit(benchmark::kMillisecond);

}  // namespace
