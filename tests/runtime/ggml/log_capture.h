// Captures the records that reach ggml's log callback, for the duration of a
// scope. The system's sink is installed first, so that a backend manager built
// inside the scope does not replace the capture.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ggml.h"
#include "runtime/ggml/logging.h"

namespace kestrix_test {

class LogCapture {
 public:
  LogCapture() {
    olvan_speech::common::install_model_log_callback();
    ggml_log_get(&previous_callback_, &previous_user_data_);
    ggml_log_set(&LogCapture::callback, this);
  }
  ~LogCapture() { ggml_log_set(previous_callback_, previous_user_data_); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::pair<ggml_log_level, std::string>> records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
  }
  // Whether some record's text contains `needle`.
  bool contains(const std::string& needle) const {
    for (const auto& record : records()) {
      if (record.second.find(needle) != std::string::npos) return true;
    }
    return false;
  }

 private:
  static void callback(ggml_log_level level, const char* text, void* user_data) {
    auto* self = static_cast<LogCapture*>(user_data);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->records_.emplace_back(level, text != nullptr ? text : "");
  }

  ggml_log_callback previous_callback_ = nullptr;
  void* previous_user_data_ = nullptr;
  mutable std::mutex mutex_;
  std::vector<std::pair<ggml_log_level, std::string>> records_;
};

}  // namespace kestrix_test
