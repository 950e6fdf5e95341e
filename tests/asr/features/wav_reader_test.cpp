#include "asr/features/wav_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

void put16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v & 0xff));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>((v >> (8 * i)) & 0xff));
}
void put_id(Bytes& b, const char* id) { b.insert(b.end(), id, id + 4); }

// A chunk with its declared size (which a test may make a lie) and its body,
// padded to even length when `pad` is set.
Bytes chunk(const char* id, const Bytes& body, uint32_t declared, bool pad = true) {
  Bytes b;
  put_id(b, id);
  put32(b, declared);
  b.insert(b.end(), body.begin(), body.end());
  if (pad && body.size() % 2 == 1) b.push_back(0);
  return b;
}
Bytes chunk(const char* id, const Bytes& body) { return chunk(id, body, static_cast<uint32_t>(body.size())); }

Bytes fmt_body(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits, size_t extra = 0) {
  Bytes b;
  put16(b, tag);
  put16(b, channels);
  put32(b, rate);
  put32(b, rate * channels * (bits / 8u));
  put16(b, static_cast<uint16_t>(channels * (bits / 8u)));
  put16(b, bits);
  b.resize(b.size() + extra, 0xAB);
  return b;
}

Bytes pcm16(const std::vector<int16_t>& v) {
  Bytes b;
  for (int16_t s : v) put16(b, static_cast<uint16_t>(s));
  return b;
}
Bytes float32(const std::vector<float>& v) {
  Bytes b;
  for (float s : v) {
    uint32_t bits;
    std::memcpy(&bits, &s, sizeof bits);
    put32(b, bits);
  }
  return b;
}

Bytes riff(const std::vector<Bytes>& chunks) {
  Bytes b;
  put_id(b, "RIFF");
  size_t n = 4;
  for (const Bytes& c : chunks) n += c.size();
  put32(b, static_cast<uint32_t>(n));
  put_id(b, "WAVE");
  for (const Bytes& c : chunks) b.insert(b.end(), c.begin(), c.end());
  return b;
}

class WavReaderTest : public ::testing::Test {
 protected:
  std::string write(const Bytes& bytes) {
    const std::string path = ::testing::TempDir() + "wav_reader_test_" +
                             ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
                             std::to_string(counter_++) + ".wav";
    FILE* f = std::fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    if (f) {
      if (!bytes.empty()) {
        EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
      }
      std::fclose(f);
    }
    paths_.push_back(path);
    return path;
  }
  void TearDown() override {
    for (const std::string& p : paths_) std::remove(p.c_str());
  }

 private:
  int counter_ = 0;
  std::vector<std::string> paths_;
};

struct ReadCase {
  const char* name;
  Bytes file;
  int rate;
  std::vector<float> expected;
};

// Files that are read; the expected samples are written out by hand from the
// mixing rule (16-bit: integer mean truncated toward zero, then / 32768;
// float: single-precision sum in channel order / channels).
TEST_F(WavReaderTest, ReadsAndMixes) {
  const std::vector<ReadCase> cases = {
      {"mono 16-bit extremes",
       riff({chunk("fmt ", fmt_body(1, 1, 16000, 16)), chunk("data", pcm16({-32768, 32767, 0, 1}))}),
       16000,
       {-1.0f, 32767.0f / 32768.0f, 0.0f, 1.0f / 32768.0f}},
      {"stereo 16-bit mean truncates toward zero",
       riff({chunk("fmt ", fmt_body(1, 2, 48000, 16)),
             chunk("data", pcm16({1000, -1000, -1, -2, 1, 2, 32767, 32767, -32768, -32768}))}),
       48000,
       {0.0f, -1.0f / 32768.0f, 1.0f / 32768.0f, 32767.0f / 32768.0f, -1.0f}},
      {"stereo float",
       riff({chunk("fmt ", fmt_body(3, 2, 44100, 32)), chunk("data", float32({0.25f, 0.5f, 1.0f, -1.0f}))}),
       44100,
       {0.375f, 0.0f}},
      {"three-channel float",
       riff({chunk("fmt ", fmt_body(3, 3, 8000, 32)), chunk("data", float32({0.1f, 0.2f, 0.4f}))}),
       8000,
       {((0.1f + 0.2f) + 0.4f) / 3.0f}},
      {"odd chunk before fmt is skipped with its pad byte",
       riff({chunk("junk", {1, 2, 3}), chunk("fmt ", fmt_body(1, 1, 16000, 16)), chunk("data", pcm16({7}))}),
       16000,
       {7.0f / 32768.0f}},
      {"odd chunk between fmt and data",
       riff({chunk("fmt ", fmt_body(1, 1, 22050, 16)), chunk("LIST", {9, 9, 9, 9, 9}),
             chunk("data", pcm16({-7, 8}))}),
       22050,
       {-7.0f / 32768.0f, 8.0f / 32768.0f}},
      {"odd fmt body of 17 bytes",
       riff({chunk("fmt ", fmt_body(1, 1, 16000, 16, 1)), chunk("data", pcm16({3}))}),
       16000,
       {3.0f / 32768.0f}},
      {"fmt body of 18 bytes",
       riff({chunk("fmt ", fmt_body(3, 1, 16000, 32, 2)), chunk("data", float32({-0.5f}))}),
       16000,
       {-0.5f}},
      {"chunks after data are never read",
       riff({chunk("fmt ", fmt_body(1, 1, 16000, 16)), chunk("data", pcm16({5})),
             chunk("fmt ", fmt_body(7, 1, 1, 8))}),
       16000,
       {5.0f / 32768.0f}},
      {"empty data chunk", riff({chunk("fmt ", fmt_body(1, 2, 16000, 16)), chunk("data", {})}), 16000, {}},
      {"no data chunk", riff({chunk("fmt ", fmt_body(1, 1, 32000, 16))}), 32000, {}},
      {"zero channels",
       riff({chunk("fmt ", fmt_body(1, 0, 16000, 16)), chunk("data", pcm16({1, 2}))}),
       16000,
       {}},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<float> out = {9.0f, 9.0f, 9.0f, 9.0f, 9.0f, 9.0f, 9.0f, 9.0f};  // replaced, not kept
    int rate = -1;
    ASSERT_TRUE(read_wav_mono_16k(write(c.file), out, rate));
    EXPECT_EQ(rate, c.rate);
    ASSERT_EQ(out.size(), c.expected.size());
    for (size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out[i], c.expected[i]) << "sample " << i;
  }
}

// A file shorter than its size fields: only the bytes present are samples,
// and a trailing partial sample or frame is dropped.
TEST_F(WavReaderTest, TruncatedAndHugeDeclaredSizes) {
  const Bytes fmt_mono = chunk("fmt ", fmt_body(1, 1, 16000, 16));
  const Bytes fmt_stereo = chunk("fmt ", fmt_body(1, 2, 16000, 16));
  Bytes odd_tail = pcm16({100, -200});
  odd_tail.push_back(0x55);  // half a sample
  Bytes partial_frame = pcm16({10, 20, 30});
  const std::vector<ReadCase> cases = {
      {"data claims 100 samples, holds 3",
       riff({fmt_mono, chunk("data", pcm16({1, 2, 3}), 200, false)}),
       16000,
       {1.0f / 32768.0f, 2.0f / 32768.0f, 3.0f / 32768.0f}},
      {"data claims 4 GiB",
       riff({fmt_mono, chunk("data", pcm16({-4, 4}), 0xFFFFFFFFu, false)}),
       16000,
       {-4.0f / 32768.0f, 4.0f / 32768.0f}},
      {"half a sample at the end",
       riff({fmt_mono, chunk("data", odd_tail, 100, false)}),
       16000,
       {100.0f / 32768.0f, -200.0f / 32768.0f}},
      {"partial stereo frame at the end",
       riff({fmt_stereo, chunk("data", partial_frame, 64, false)}),
       16000,
       {15.0f / 32768.0f}},
      {"chunk skip beyond the end of the file",
       riff({fmt_mono, chunk("LIST", {1, 2}, 0x7FFFFFFFu, false)}),
       16000,
       {}},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<float> out;
    int rate = -1;
    ASSERT_TRUE(read_wav_mono_16k(write(c.file), out, rate));
    EXPECT_EQ(rate, c.rate);
    ASSERT_EQ(out.size(), c.expected.size());
    for (size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out[i], c.expected[i]) << "sample " << i;
  }
}

struct RefuseCase {
  const char* name;
  Bytes file;
};

// Refused files leave the caller's vector and rate exactly as they were.
TEST_F(WavReaderTest, RefusesWithoutTouchingOutputs) {
  const Bytes data = chunk("data", pcm16({1, 2, 3, 4}));
  Bytes wrong_riff = riff({chunk("fmt ", fmt_body(1, 1, 16000, 16)), data});
  std::memcpy(wrong_riff.data(), "RIFX", 4);
  Bytes wrong_wave = riff({chunk("fmt ", fmt_body(1, 1, 16000, 16)), data});
  std::memcpy(wrong_wave.data() + 8, "AVI ", 4);
  Bytes short_header = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V'};
  Bytes short_fmt_body = fmt_body(1, 1, 16000, 16);
  short_fmt_body.resize(14);
  // The 32-bit pad sum of a 2^32 - 1 byte chunk wraps to 0; a reader that
  // wrapped would find the format and data hidden in its body.
  Bytes hidden = chunk("fmt ", fmt_body(1, 1, 16000, 16));
  const Bytes hidden_data = chunk("data", pcm16({1}));
  hidden.insert(hidden.end(), hidden_data.begin(), hidden_data.end());
  const std::vector<RefuseCase> cases = {
      {"not RIFF", wrong_riff},
      {"not WAVE", wrong_wave},
      {"short header", short_header},
      {"empty file", {}},
      {"extensible format", riff({chunk("fmt ", fmt_body(0xFFFE, 2, 48000, 16, 24)), data})},
      {"8-bit PCM", riff({chunk("fmt ", fmt_body(1, 1, 16000, 8)), data})},
      {"24-bit PCM", riff({chunk("fmt ", fmt_body(1, 1, 16000, 24)), data})},
      {"32-bit integer PCM", riff({chunk("fmt ", fmt_body(1, 1, 16000, 32)), data})},
      {"16-bit float", riff({chunk("fmt ", fmt_body(3, 1, 16000, 16)), data})},
      {"64-bit float", riff({chunk("fmt ", fmt_body(3, 1, 16000, 64)), data})},
      {"A-law", riff({chunk("fmt ", fmt_body(6, 1, 8000, 8)), data})},
      {"no fmt chunk", riff({data})},
      {"data before fmt", riff({data, chunk("fmt ", fmt_body(1, 1, 16000, 16))})},
      {"fmt body of 14 bytes", riff({chunk("fmt ", short_fmt_body), data})},
      {"fmt body cut by the end of the file", riff({chunk("fmt ", {1, 0, 1, 0}, 16, false)})},
      {"rate beyond int", riff({chunk("fmt ", fmt_body(1, 1, 0x80000000u, 16)), data})},
      {"chunk of 2^32 - 1 bytes hides fmt and data", riff({chunk("LIST", hidden, 0xFFFFFFFFu, false)})},
  };
  for (const RefuseCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<float> out = {0.5f, -0.5f, 0.25f};
    int rate = 12345;
    EXPECT_FALSE(read_wav_mono_16k(write(c.file), out, rate));
    EXPECT_EQ(rate, 12345);
    EXPECT_EQ(out, (std::vector<float>{0.5f, -0.5f, 0.25f}));
  }
}

TEST_F(WavReaderTest, MissingFileIsRefused) {
  std::vector<float> out = {1.0f};
  int rate = 7;
  EXPECT_FALSE(read_wav_mono_16k(::testing::TempDir() + "no_such_dir/none.wav", out, rate));
  EXPECT_EQ(rate, 7);
  EXPECT_EQ(out.size(), 1u);
}

}  // namespace
