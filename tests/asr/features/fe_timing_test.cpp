// The feature front end's timing line. The switch is read once per process,
// so this program turns it on before its first test runs.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "asr/batching/micro_batcher.h"
#include "asr/features/fe.h"

namespace {

class TimingOn : public testing::Environment {
 public:
  void SetUp() override { setenv("OLVAN_SPEECH_TIMING", "", 1); }
};
const testing::Environment* const kTimingOn = testing::AddGlobalTestEnvironment(new TimingOn);

const olvan_speech::asr::BatchingConfig kBatchingOff{};

// Whether `text` is exactly the given lines, each `head` followed by a
// duration of the form <digits>.<two digits> and " ms\n".
bool are_timing_lines(const std::string& text, const std::vector<std::string>& heads) {
  size_t pos = 0;
  for (const std::string& head : heads) {
    if (text.compare(pos, head.size(), head) != 0) return false;
    pos += head.size();
    const size_t digits = pos;
    while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) ++pos;
    if (pos == digits || pos + 3 > text.size() || text[pos] != '.') return false;
    if (!std::isdigit(static_cast<unsigned char>(text[pos + 1])) ||
        !std::isdigit(static_cast<unsigned char>(text[pos + 2]))) {
      return false;
    }
    pos += 3;
    if (text.compare(pos, 4, " ms\n") != 0) return false;
    pos += 4;
  }
  return pos == text.size();
}

TEST(FeTimingTest, OneLinePerCallWithPathSamplesAndFrames) {
  MelSpectrogramExtractor fe(MelSpecConfig{}, nullptr, kBatchingOff);
  const std::vector<float> audio(16000, 0.25f);
  std::vector<float> out;
  int64_t n_frames = 0;
  testing::internal::CaptureStderr();
  fe.compute_padded(audio.data(), 16000, 12000, out, n_frames, true, false);
  fe.compute(audio.data(), 100, out, n_frames, false, false);
  const std::string text = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(are_timing_lines(text, {"[timing] fe path=cpu n_samples=16000 n_frames=101 = ",
                                      "[timing] fe path=cpu n_samples=100 n_frames=0 = "}))
      << text;
}

TEST(FeTimingTest, PrintedWhenTheComputationThrowsButNotForABadValidLength) {
  MelSpectrogramExtractor fe(MelSpecConfig{}, nullptr, kBatchingOff);
  std::vector<float> out;
  int64_t n_frames = 7;  // untouched by the failing call, and printed as it stands
  testing::internal::CaptureStderr();
  EXPECT_THROW(
      fe.compute_padded(nullptr, std::numeric_limits<size_t>::max() - 10, 0, out, n_frames, true, false),
      std::overflow_error);
  const std::string thrown = testing::internal::GetCapturedStderr();
  const std::string head =
      "[timing] fe path=cpu n_samples=" + std::to_string(std::numeric_limits<size_t>::max() - 10) +
      " n_frames=7 = ";
  EXPECT_TRUE(are_timing_lines(thrown, {head})) << thrown;

  testing::internal::CaptureStderr();
  const float one = 1.0f;
  EXPECT_THROW(fe.compute_padded(&one, 0, 1, out, n_frames, true, false), std::invalid_argument);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
