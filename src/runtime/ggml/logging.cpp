#include "runtime/ggml/logging.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <memory>

namespace ggml_runtime {

void log_internal(ggml_log_level level, const char* file, int line, const char* function, const char* format,
                  ...) {
  va_list args;
  va_start(args, format);
  va_list args_copy;
  va_copy(args_copy, args);

  char message[1024];
  const int length = vsnprintf(message, sizeof(message), format, args);
  va_end(args);

  ggml_log_callback callback = nullptr;
  void* user_data = nullptr;
  ggml_log_get(&callback, &user_data);

  if (length < 0) {
    // The message cannot be formatted; report that instead of a truncated text.
    char record[2048];
    snprintf(record, sizeof(record), "%s:%d:<%s> %s", file, line, function,
             "(log message could not be formatted)\n");
    va_end(args_copy);
    if (callback != nullptr) callback(level, record, user_data);
    return;
  }

  if (length < static_cast<int>(sizeof(message))) {
    va_end(args_copy);
    char record[2048];
    snprintf(record, sizeof(record), "%s:%d:<%s> %s", file, line, function, message);
    if (callback != nullptr) callback(level, record, user_data);
    return;
  }

  std::unique_ptr<char[]> long_message(new char[static_cast<size_t>(length) + 1]);
  vsnprintf(long_message.get(), static_cast<size_t>(length) + 1, format, args_copy);
  va_end(args_copy);
  long_message[length] = '\0';
  char record[4096];
  snprintf(record, sizeof(record), "%s:%d:<%s> %s", file, line, function, long_message.get());
  if (callback != nullptr) callback(level, record, user_data);
}

}  // namespace ggml_runtime

std::string format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list args_copy;
  va_copy(args_copy, args);
  const int size = vsnprintf(nullptr, 0, format, args);
  va_end(args);
  GGML_ASSERT(size >= 0 && size < INT_MAX);
  std::unique_ptr<char[]> buffer(new char[static_cast<size_t>(size) + 1]());
  const int size2 = vsnprintf(buffer.get(), static_cast<size_t>(size) + 1, format, args_copy);
  va_end(args_copy);
  GGML_ASSERT(size2 == size);
  return std::string(buffer.get(), static_cast<size_t>(size));
}

namespace olvan_speech::common {

namespace detail {
// std::mutex has a constexpr constructor, so this is constant-initialised.
std::mutex model_logging_mutex;
std::atomic<bool> model_logging_configured{false};
bool model_logging_verbose = false;
thread_local bool continue_model_log = false;
}  // namespace detail

void model_log_callback(ggml_log_level level, const char* text, void* /*user_data*/) {
  bool show;
  if (level == GGML_LOG_LEVEL_CONT) {
    show = detail::model_logging_verbose || detail::continue_model_log;
  } else if (level == GGML_LOG_LEVEL_ERROR) {
    show = true;
    detail::continue_model_log = true;
  } else {
    show = detail::model_logging_verbose;
    detail::continue_model_log = detail::model_logging_verbose;
  }
  if (show && text != nullptr) {
    fputs(text, stderr);
    fflush(stderr);
  }
}

void install_model_log_callback() {
  std::lock_guard<std::mutex> lock(detail::model_logging_mutex);
  bool expected = false;
  if (detail::model_logging_configured.compare_exchange_strong(expected, true)) {
    ggml_log_set(model_log_callback, nullptr);
  }
}

}  // namespace olvan_speech::common
