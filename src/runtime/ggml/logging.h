// Runtime logging: records handed to ggml's current log callback, printf-style
// text building, and the system's log sink.
//
// Threading: every function here may be called from any thread at once. The
// sink's continuation flag is per thread; installing the sink is serialised by
// detail::model_logging_mutex and happens once per process.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "ggml.h"

#if defined(__GNUC__)
#define KESTRIX_PRINTF_LIKE(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#else
#define KESTRIX_PRINTF_LIKE(fmt_index, first_arg)
#endif

namespace ggml_runtime {

// Builds "file:line:<function> message" and hands it, with `level`, to ggml's
// current log callback (looked up at every call). Messages of up to 1023
// characters are built on the stack and the record is cut at 2047 characters;
// longer messages are formatted in full and the record is cut at 4095.
void log_internal(ggml_log_level level, const char* file, int line, const char* function, const char* format,
                  ...) KESTRIX_PRINTF_LIKE(5, 6);

}  // namespace ggml_runtime

// printf-style formatting into a string. A format that cannot be measured stops
// the process through ggml's assertion.
std::string format(const char* format, ...) KESTRIX_PRINTF_LIKE(1, 2);

namespace olvan_speech::common {

namespace detail {
extern std::mutex model_logging_mutex;
extern std::atomic<bool> model_logging_configured;
extern bool model_logging_verbose;
extern thread_local bool continue_model_log;
}  // namespace detail

// The log sink: error records (and the continuations of shown records) go to
// standard error, everything else only while the verbose flag is set.
void model_log_callback(ggml_log_level level, const char* text, void* user_data);

// Makes model_log_callback ggml's log callback, once per process.
void install_model_log_callback();

}  // namespace olvan_speech::common
