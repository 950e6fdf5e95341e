// Resampler throughput on one thread, reported as "x_realtime": seconds of
// input audio converted per second of wall time.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "audio/resampler.h"

namespace {

using olvan_speech::audio::AudioResampler;
using olvan_speech::audio::Pcm16Resampler;
using olvan_speech::audio::resample_audio;

constexpr double kSeconds = 10.0;  // audio converted per iteration

std::vector<float> noise(size_t n) {
  std::mt19937 rng(42);
  std::uniform_real_distribution<float> dist(-0.5f, 0.5f);
  std::vector<float> v(n);
  for (float& x : v) x = dist(rng);
  return v;
}

void report(benchmark::State& state, size_t samples) {
  state.counters["x_realtime"] =
      benchmark::Counter(kSeconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * samples));
}

// Streaming conversion in chunks of range(2) milliseconds.
void BM_Streaming(benchmark::State& state) {
  const int in_rate = static_cast<int>(state.range(0));
  const int out_rate = static_cast<int>(state.range(1));
  const size_t chunk = static_cast<size_t>(in_rate) * static_cast<size_t>(state.range(2)) / 1000;
  const std::vector<float> input = noise(static_cast<size_t>(in_rate * kSeconds));
  std::vector<float> out;
  out.reserve(static_cast<size_t>(out_rate * kSeconds) + 1);
  for (auto _ : state) {
    AudioResampler r(in_rate, out_rate);
    out.clear();
    for (size_t at = 0; at < input.size(); at += chunk) {
      r.process(input.data() + at, std::min(chunk, input.size() - at), &out);
    }
    r.finish(&out);
    benchmark::DoNotOptimize(out.data());
  }
  report(state, input.size());
}

void BM_WholeBuffer(benchmark::State& state) {
  const int in_rate = static_cast<int>(state.range(0));
  const int out_rate = static_cast<int>(state.range(1));
  const std::vector<float> input = noise(static_cast<size_t>(in_rate * kSeconds));
  for (auto _ : state) {
    std::vector<float> out = resample_audio(input.data(), input.size(), in_rate, out_rate);
    benchmark::DoNotOptimize(out.data());
  }
  report(state, input.size());
}

void BM_Pcm16(benchmark::State& state) {
  const int in_rate = static_cast<int>(state.range(0));
  const int out_rate = static_cast<int>(state.range(1));
  const std::vector<float> samples = noise(static_cast<size_t>(in_rate * kSeconds));
  std::vector<uint8_t> bytes;
  for (float x : samples) {
    const auto v = static_cast<uint16_t>(static_cast<int16_t>(x * 32768.0f));
    bytes.push_back(static_cast<uint8_t>(v & 0xff));
    bytes.push_back(static_cast<uint8_t>(v >> 8));
  }
  const size_t chunk = static_cast<size_t>(in_rate) / 50 * 2;  // 20 ms of bytes
  std::vector<uint8_t> out;
  for (auto _ : state) {
    Pcm16Resampler r(in_rate, out_rate);
    out.clear();
    for (size_t at = 0; at < bytes.size(); at += chunk) {
      r.process(bytes.data() + at, std::min(chunk, bytes.size() - at), &out);
    }
    r.finish(&out);
    benchmark::DoNotOptimize(out.data());
  }
  report(state, samples.size());
}

}  // namespace

BENCHMARK(BM_Streaming)
    ->ArgNames({"in", "out", "chunk_ms"})
    ->Args({44100, 16000, 20})
    ->Args({48000, 16000, 20})
    ->Args({44100, 16000, 1000})
    ->Args({48000, 16000, 1000})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WholeBuffer)
    ->ArgNames({"in", "out"})
    ->Args({44100, 16000})
    ->Args({48000, 16000})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Pcm16)
    ->ArgNames({"in", "out"})
    ->Args({44100, 16000})
    ->Args({48000, 16000})
    ->Unit(benchmark::kMillisecond);
