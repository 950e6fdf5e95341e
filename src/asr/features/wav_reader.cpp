#include "asr/features/wav_reader.h"

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace {

static_assert(sizeof(off_t) >= 8, "chunk skips need 64-bit file offsets");

constexpr uint16_t kFormatPcm = 1;                   // integer PCM
constexpr uint16_t kFormatFloat = 3;                 // IEEE float
constexpr uint32_t kFmtFieldsBytes = 16;             // the part of the "fmt " body that is read
constexpr size_t kReadBlockBytes = size_t{1} << 20;  // data is read in blocks of this size

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool read_exact(FILE* f, void* dst, size_t n) { return std::fread(dst, 1, n, f) == n; }

// Skips a chunk body of `body` bytes plus the pad byte that follows an odd
// body. The sum is formed in 64 bits, so a body of 2^32 - 1 bytes skips 2^32.
bool skip_body(FILE* f, uint64_t body) {
  const uint64_t skip = body + (body & 1u);
  return fseeko(f, static_cast<off_t>(skip), SEEK_CUR) == 0;
}

// Reads up to `size` bytes, as many as the file holds. Memory grows with what
// has actually been read, never with the declared size.
void read_available(FILE* f, uint64_t size, std::vector<uint8_t>& data) {
  uint64_t left = size;
  while (left > 0) {
    const size_t want = left < kReadBlockBytes ? static_cast<size_t>(left) : kReadBlockBytes;
    const size_t at = data.size();
    data.resize(at + want);
    const size_t got = std::fread(data.data() + at, 1, want, f);
    data.resize(at + got);
    if (got < want) return;
    left -= got;
  }
}

struct WavFormat {
  uint16_t tag = 0;
  uint16_t channels = 0;
  uint32_t sample_rate = 0;
  uint16_t bits = 0;
};

bool supported(const WavFormat& fmt) {
  return (fmt.tag == kFormatPcm && fmt.bits == 16) || (fmt.tag == kFormatFloat && fmt.bits == 32);
}

// Walks the chunks up to and including the first "data" chunk; the end of the
// file ends the walk. Returns false for a file that is not RIFF/WAVE, whose
// "fmt " chunk is malformed, or that fails to read or seek.
bool read_chunks(FILE* f, WavFormat& fmt, std::vector<uint8_t>& data) {
  uint8_t header[12];
  if (!read_exact(f, header, sizeof header)) return false;
  if (std::memcmp(header, "RIFF", 4) != 0 || std::memcmp(header + 8, "WAVE", 4) != 0) return false;

  for (;;) {
    uint8_t chunk[8];
    if (!read_exact(f, chunk, sizeof chunk)) return std::ferror(f) == 0;  // end of file: no data
    const uint32_t size = le32(chunk + 4);
    if (std::memcmp(chunk, "fmt ", 4) == 0) {
      uint8_t body[kFmtFieldsBytes];
      if (size < kFmtFieldsBytes || !read_exact(f, body, sizeof body)) return false;
      fmt.tag = le16(body + 0);
      fmt.channels = le16(body + 2);
      fmt.sample_rate = le32(body + 4);
      fmt.bits = le16(body + 14);
      if (!skip_body(f, uint64_t{size} - kFmtFieldsBytes)) return false;
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      read_available(f, size, data);
      return std::ferror(f) == 0;
    } else if (!skip_body(f, size)) {
      return false;
    }
  }
}

}  // namespace

bool read_wav_mono_16k(const std::string& path, std::vector<float>& out, int& sample_rate) {
  try {
    WavFormat fmt;
    std::vector<uint8_t> data;
    {
      FilePtr file(std::fopen(path.c_str(), "rb"));
      if (!file) return false;
      if (!read_chunks(file.get(), fmt, data)) return false;
    }
    if (!supported(fmt)) return false;
    if (fmt.sample_rate > static_cast<uint32_t>(std::numeric_limits<int>::max())) return false;

    const size_t bytes_per_sample = fmt.bits / 8;
    const size_t channels = fmt.channels;
    const size_t frames = channels == 0 ? 0 : data.size() / bytes_per_sample / channels;

    std::vector<float> mono(frames);
    const uint8_t* p = data.data();
    if (fmt.tag == kFormatPcm) {
      for (size_t i = 0; i < frames; ++i) {
        int32_t sum = 0;  // at most 65535 channels of 2^15: fits
        for (size_t c = 0; c < channels; ++c, p += 2) sum += static_cast<int16_t>(le16(p));
        const int32_t mean = sum / static_cast<int32_t>(channels);  // truncates toward zero
        mono[i] = static_cast<float>(mean) / 32768.0f;
      }
    } else {
      for (size_t i = 0; i < frames; ++i) {
        float sum = 0.0f;
        for (size_t c = 0; c < channels; ++c, p += 4) {
          const uint32_t bits = le32(p);
          float v;
          std::memcpy(&v, &bits, sizeof v);
          sum += v;
        }
        mono[i] = sum / static_cast<float>(channels);
      }
    }
    out = std::move(mono);
    sample_rate = static_cast<int>(fmt.sample_rate);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}
