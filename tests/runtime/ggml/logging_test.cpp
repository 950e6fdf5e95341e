#include "runtime/ggml/logging.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

#include "runtime/ggml/log_capture.h"

namespace {

using kestrix_test::LogCapture;
using olvan_speech::common::model_log_callback;
namespace detail = olvan_speech::common::detail;

// Redirects standard error into a temporary file while it lives.
class StderrCapture {
 public:
  StderrCapture() {
    fflush(stderr);
    saved_ = dup(fileno(stderr));
    file_ = tmpfile();
    dup2(fileno(file_), fileno(stderr));
  }
  ~StderrCapture() {
    restore();
    fclose(file_);
  }
  std::string text() {
    restore();
    std::string out;
    rewind(file_);
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), file_)) > 0) out.append(buffer, n);
    return out;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    fflush(stderr);
    dup2(saved_, fileno(stderr));
    close(saved_);
    saved_ = -1;
  }
  int saved_ = -1;
  FILE* file_ = nullptr;
};

TEST(LogInternal, RecordLayoutIsFileLineFunctionMessage) {
  LogCapture capture;
  ggml_runtime::log_internal(GGML_LOG_LEVEL_WARN, "dir/file.cpp", 42, "fn", "value %d of %s\n", 7, "x");
  auto records = capture.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].first, GGML_LOG_LEVEL_WARN);
  EXPECT_EQ(records[0].second, "dir/file.cpp:42:<fn> value 7 of x\n");
}

TEST(LogInternal, MessageLengthBoundaries) {
  const std::string prefix = "f:1:<g> ";
  struct Case {
    size_t message_length;
    size_t file_length;
    size_t expected_record_length;
  };
  const Case cases[] = {
      {1023, 1, prefix.size() + 1023},  // largest message built on the stack
      {1024, 1, prefix.size() + 1024},  // first message formatted in full
      {3000, 1, prefix.size() + 3000},  // long message, record still under 4096
      {4200, 1, 4095},                  // long record cut at 4095
      {100, 2100, 2047},                // short message, long path: cut at 2047
  };
  for (const Case& c : cases) {
    LogCapture capture;
    const std::string message(c.message_length, 'm');
    const std::string file(c.file_length, 'f');
    ggml_runtime::log_internal(GGML_LOG_LEVEL_INFO, file.c_str(), 1, "g", "%s", message.c_str());
    auto records = capture.records();
    ASSERT_EQ(records.size(), 1u);
    const std::string& record = records[0].second;
    EXPECT_EQ(record.size(), c.expected_record_length) << "message " << c.message_length;
    const std::string expected = file + ":1:<g> " + message;
    EXPECT_EQ(record, expected.substr(0, c.expected_record_length)) << "message " << c.message_length;
  }
}

TEST(Format, ProducesPrintfText) {
  EXPECT_EQ(format("%s=%d (%.2f)", "n", -3, 0.125), "n=-3 (0.12)");
  EXPECT_EQ(format("%s", ""), "");
  const std::string long_text(5000, 'z');
  EXPECT_EQ(format("<%s>", long_text.c_str()), "<" + long_text + ">");
}

// One record through the sink with the verbose flag off; returns what reached stderr.
std::string sink(ggml_log_level level, const char* text) {
  StderrCapture capture;
  model_log_callback(level, text, nullptr);
  return capture.text();
}

TEST(ModelLogCallback, ShowsErrorsAndTheirContinuationsOnly) {
  ASSERT_FALSE(detail::model_logging_verbose);
  std::thread([] {
    // A continuation that opens a thread is not shown.
    EXPECT_EQ(sink(GGML_LOG_LEVEL_CONT, "c0"), "");
    EXPECT_EQ(sink(GGML_LOG_LEVEL_INFO, "info"), "");
    EXPECT_EQ(sink(GGML_LOG_LEVEL_CONT, "c1"), "");
    EXPECT_EQ(sink(GGML_LOG_LEVEL_WARN, "warn"), "");
    EXPECT_EQ(sink(GGML_LOG_LEVEL_DEBUG, "debug"), "");
    EXPECT_EQ(sink(GGML_LOG_LEVEL_ERROR, "error"), "error");
    EXPECT_EQ(sink(GGML_LOG_LEVEL_CONT, "c2"), "c2");
    EXPECT_EQ(sink(GGML_LOG_LEVEL_CONT, "c3"), "c3");
    // A null text shows nothing but still counts as a record.
    EXPECT_EQ(sink(GGML_LOG_LEVEL_ERROR, nullptr), "");
    EXPECT_EQ(sink(GGML_LOG_LEVEL_CONT, "c4"), "c4");
    EXPECT_EQ(sink(GGML_LOG_LEVEL_INFO, "info2"), "");
    EXPECT_EQ(sink(GGML_LOG_LEVEL_CONT, "c5"), "");
    EXPECT_EQ(sink(GGML_LOG_LEVEL_NONE, "none"), "");
  }).join();
}

TEST(ModelLogCallback, ContinuationFlagIsPerThread) {
  std::thread([] { EXPECT_EQ(sink(GGML_LOG_LEVEL_ERROR, "e"), "e"); }).join();
  std::thread([] { EXPECT_EQ(sink(GGML_LOG_LEVEL_CONT, "c"), ""); }).join();
  std::thread([] {
    EXPECT_EQ(sink(GGML_LOG_LEVEL_ERROR, "e"), "e");
    std::thread([] { EXPECT_EQ(sink(GGML_LOG_LEVEL_CONT, "other"), ""); }).join();
    EXPECT_EQ(sink(GGML_LOG_LEVEL_CONT, "mine"), "mine");
  }).join();
}

TEST(ModelLogCallback, VerboseFlagShowsEverything) {
  std::thread([] {
    detail::model_logging_verbose = true;
    EXPECT_EQ(sink(GGML_LOG_LEVEL_INFO, "i"), "i");
    EXPECT_EQ(sink(GGML_LOG_LEVEL_CONT, "c"), "c");
    detail::model_logging_verbose = false;
    // The flag followed the verbose INFO record, so a continuation still shows.
    EXPECT_EQ(sink(GGML_LOG_LEVEL_CONT, "c2"), "c2");
    EXPECT_EQ(sink(GGML_LOG_LEVEL_WARN, "w"), "");
    EXPECT_EQ(sink(GGML_LOG_LEVEL_CONT, "c3"), "");
  }).join();
}

}  // namespace
