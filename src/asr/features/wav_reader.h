// RIFF/WAVE reader: 16-bit integer PCM and 32-bit float data, mixed to mono.
//
// Threading: a free function without shared state; safe to call from any
// thread, each call with its own output arguments.
#pragma once

#include <string>
#include <vector>

// Reads `path` into mono float samples in [-1, 1), averaging the channels of
// each frame, and reports the file's sample rate, which it neither checks nor
// converts. Returns true with `out` holding the samples (replacing what it
// held) and `sample_rate` set. Returns false, leaving both untouched, when the
// file cannot be opened or read, is not RIFF/WAVE, has no usable "fmt " chunk
// before its "data" chunk, or holds another format (tag other than 1 or 3,
// 16-bit integer or 32-bit float only). A "data" chunk is read as far as the
// file holds it; a trailing partial frame is dropped. Never throws.
bool read_wav_mono_16k(const std::string& path, std::vector<float>& out, int& sample_rate);
