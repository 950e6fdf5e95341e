// The feature front end's timing line. The switch is read once per process,
// so this program turns it on before its first test runs.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <regex>
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

TEST(FeTimingTest, OneLinePerCallWithPathSamplesAndFrames) {
  MelSpectrogramExtractor fe(MelSpecConfig{}, nullptr, kBatchingOff);
  const std::vector<float> audio(16000, 0.25f);
  std::vector<float> out;
  int64_t n_frames = 0;
  testing::internal::CaptureStderr();
  fe.compute_padded(audio.data(), 16000, 12000, out, n_frames, true, false);
  fe.compute(audio.data(), 100, out, n_frames, false, false);
  const std::string text = testing::internal::GetCapturedStderr();
  const std::regex line(
      "\\[timing\\] fe path=cpu n_samples=16000 n_frames=101 = [0-9]+\\.[0-9]{2} ms\n"
      "\\[timing\\] fe path=cpu n_samples=100 n_frames=0 = [0-9]+\\.[0-9]{2} ms\n");
  EXPECT_TRUE(std::regex_match(text, line)) << text;
}

TEST(FeTimingTest, PrintedWhenTheComputationThrowsButNotForABadValidLength) {
  MelSpectrogramExtractor fe(MelSpecConfig{}, nullptr, kBatchingOff);
  std::vector<float> out;
  int64_t n_frames = 7;  // untouched by the failing call, and printed as it stands
  testing::internal::CaptureStderr();
  EXPECT_THROW(fe.compute_padded(nullptr, std::numeric_limits<size_t>::max() - 10, 0, out, n_frames, true, false),
               std::overflow_error);
  const std::string thrown = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(std::regex_match(thrown, std::regex("\\[timing\\] fe path=cpu n_samples=[0-9]+ n_frames=7 = "
                                                  "[0-9]+\\.[0-9]{2} ms\n")))
      << thrown;
  EXPECT_NE(thrown.find("n_samples=" + std::to_string(std::numeric_limits<size_t>::max() - 10) + " "),
            std::string::npos);

  testing::internal::CaptureStderr();
  const float one = 1.0f;
  EXPECT_THROW(fe.compute_padded(&one, 0, 1, out, n_frames, true, false), std::invalid_argument);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
