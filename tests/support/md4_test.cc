#include "support/md4.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "support/exceptions.h"
#include "support/memory_stream.h"

namespace hv {
namespace {

using Bytes = std::vector<uint8_t>;

std::string Hex(const uint8_t* p, size_t n) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += kDigits[p[i] >> 4];
    s += kDigits[p[i] & 15];
  }
  return s;
}

// A plain, unoptimised MD4 following RFC 1320 step by step, so the real one
// is checked against code that shares nothing with it.
std::string ReferenceMD4(const Bytes& msg) {
  Bytes m = msg;
  const uint64_t bits = uint64_t{msg.size()} * 8;
  m.push_back(0x80);
  while (m.size() % 64 != 56) m.push_back(0);
  for (int i = 0; i < 8; ++i) m.push_back(static_cast<uint8_t>(bits >> (8 * i)));
  uint32_t h[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  auto rol = [](uint32_t v, int s) { return (v << s) | (v >> (32 - s)); };
  for (size_t off = 0; off < m.size(); off += 64) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) {
      x[i] = 0;
      for (int j = 3; j >= 0; --j) x[i] = (x[i] << 8) | m[off + 4 * i + j];
    }
    uint32_t v[4] = {h[0], h[1], h[2], h[3]};
    static const int kS[3][4] = {{3, 7, 11, 19}, {3, 5, 9, 13}, {3, 9, 11, 15}};
    static const int kOrder3[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
    for (int round = 0; round < 3; ++round) {
      for (int step = 0; step < 16; ++step) {
        uint32_t& a = v[(16 - step) % 4];
        const uint32_t b = v[(17 - step) % 4], c = v[(18 - step) % 4], d = v[(19 - step) % 4];
        uint32_t f;
        int k;
        uint32_t add;
        if (round == 0) {
          f = (b & c) | (~b & d);
          k = step;
          add = 0;
        } else if (round == 1) {
          f = (b & c) | (b & d) | (c & d);
          k = (step % 4) * 4 + step / 4;
          add = 0x5A827999;
        } else {
          f = b ^ c ^ d;
          k = kOrder3[step];
          add = 0x6ED9EBA1;
        }
        a = rol(a + f + x[k] + add, kS[round][step % 4]);
      }
    }
    for (int i = 0; i < 4; ++i) h[i] += v[i];
  }
  uint8_t out[16];
  for (int i = 0; i < 16; ++i) out[i] = static_cast<uint8_t>(h[i / 4] >> (8 * (i % 4)));
  return Hex(out, 16);
}

std::string FinalHex(DigestMD4& md4) {
  uint8_t out[DigestMD4::kHashSizeBytes];
  md4.Final(out);
  return Hex(out, sizeof out);
}

std::string OneShot(const void* p, size_t n) {
  DigestMD4 md4;
  md4.Init();
  md4.Update(p, n);
  return FinalHex(md4);
}

TEST(DigestMD4Test, IdentityAndSelfTest) {
  DigestMD4 md4;
  const Digest& d = md4;
  EXPECT_EQ(d.GetId(), 17);
  EXPECT_EQ(d.GetAlgorithm(), "MD4");
  EXPECT_EQ(d.GetHashSize(), 128);
  EXPECT_FALSE(d.Initialized());
  EXPECT_TRUE(DigestMD4::SelfTest());
}

TEST(DigestMD4Test, Rfc1320Suite) {
  const std::pair<std::string, std::string> kVectors[] = {
      {"", "31d6cfe0d16ae931b73c59d7e0c089c0"},
      {"a", "bde52cb31de33e46245e05fbdbd6fb24"},
      {"abc", "a448017aaf21d8525fc10ae87aa6729d"},
      {"message digest", "d9130a8164549fe818874806e1c7014b"},
      {"abcdefghijklmnopqrstuvwxyz", "d79e1c308aa5bbcdeea8ed63df412da9"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "043f8582f241db351ce627e153e7f0e4"},
      {"1234567890123456789012345678901234567890123456789012345678901234567890123456"
       "7890",
       "e33b4ddc9c38f2199c3e7b164fcc0536"},
  };
  DigestMD4 md4;  // one object reused for every vector
  for (const auto& [text, hex] : kVectors) {
    md4.Init();
    md4.UpdateStr(std::string_view(text));
    EXPECT_EQ(FinalHex(md4), hex) << '"' << text << '"';
    EXPECT_FALSE(md4.Initialized());
    EXPECT_EQ(ReferenceMD4(Bytes(text.begin(), text.end())), hex) << "reference";
  }
}

TEST(DigestMD4Test, RandomSplitsMatchOneShotAndReference) {
  std::mt19937 rng(1320);
  std::vector<size_t> sizes;
  for (size_t n = 0; n <= 200; ++n) sizes.push_back(n);
  for (size_t n : {255, 256, 257, 511, 512, 1000, 4095, 4096, 4097, 65537}) sizes.push_back(n);

  DigestMD4 md4;
  for (size_t n : sizes) {
    Bytes msg(n);
    for (auto& b : msg) b = static_cast<uint8_t>(rng());
    const std::string expected = ReferenceMD4(msg);
    ASSERT_EQ(OneShot(msg.data(), n), expected) << "size " << n;

    for (int trial = 0; trial < 4; ++trial) {
      md4.Init();
      size_t pos = 0;
      while (pos < n) {
        size_t chunk;
        switch (rng() % 5) {
          case 0: chunk = 0; break;
          case 1: chunk = (64 - pos % 64);  break;  // completes the block exactly
          case 2: chunk = 64 + rng() % 130; break;  // spans whole blocks
          default: chunk = rng() % 20; break;
        }
        chunk = std::min(chunk, n - pos);
        md4.Update(msg.data() + pos, chunk);
        pos += chunk;
      }
      md4.Update(msg.data(), 0);
      ASSERT_EQ(FinalHex(md4), expected) << "size " << n << " trial " << trial;
    }
  }
}

// Messages of mixed lengths, more of them than there are lanes, so that
// lanes finish at different blocks and take up the next message.
TEST(DigestMD4Test, MessagesSideBySideMatchOneAfterAnother) {
  std::mt19937 rng(1186);
  std::vector<Bytes> messages;
  for (size_t n : {0, 1, 55, 56, 63, 64, 65, 119, 120, 127, 128, 129, 1000, 4097}) messages.emplace_back(n);
  for (int i = 0; i < 20; ++i) messages.emplace_back(rng() % 3000);
  for (Bytes& msg : messages) {
    for (auto& b : msg) b = static_cast<uint8_t>(rng());
  }
  for (size_t count = 0; count <= messages.size(); ++count) {
    std::vector<const uint8_t*> data;
    std::vector<size_t> sizes;
    for (size_t i = 0; i < count; ++i) {
      data.push_back(messages[i].data());
      sizes.push_back(messages[i].size());
    }
    std::vector<uint8_t[DigestMD4::kHashSizeBytes]> digests(count);
    DigestMD4Messages(data.data(), sizes.data(), count, digests.data());
    for (size_t i = 0; i < count; ++i) {
      ASSERT_EQ(Hex(digests[i], DigestMD4::kHashSizeBytes), OneShot(data[i], sizes[i]))
          << "message " << i << " of " << count;
    }
  }
}

TEST(DigestMD4Test, LifeCycleErrors) {
  DigestMD4 md4;
  uint8_t out[16] = {};
  const char byte = 'x';
  auto expect_not_initialized = [&](auto&& call) {
    try {
      call();
      ADD_FAILURE() << "no exception";
    } catch (const EDigestError& e) {
      EXPECT_EQ(e.Message(), "Hash not initialized");
      EXPECT_STREQ(e.ClassName(), "EDigestError");
    }
  };
  expect_not_initialized([&] { md4.Update(&byte, 1); });
  expect_not_initialized([&] { md4.Update(&byte, 0); });
  expect_not_initialized([&] { md4.Final(out); });

  md4.Init();
  EXPECT_TRUE(md4.Initialized());
  md4.Final(out);
  EXPECT_EQ(Hex(out, 16), "31d6cfe0d16ae931b73c59d7e0c089c0");
  expect_not_initialized([&] { md4.Final(out); });
  expect_not_initialized([&] { md4.Update(&byte, 1); });

  md4.Init();
  md4.Update(&byte, 1);
  md4.Burn();
  EXPECT_FALSE(md4.Initialized());
  expect_not_initialized([&] { md4.Final(out); });

  // Init half-way discards what came before, including a pending partial block
  // and whole blocks already compressed.
  const std::string junk(100, 'j');
  md4.Init();
  md4.UpdateStr(std::string_view(junk));
  md4.Init();
  md4.UpdateStr(std::string_view("abc"));
  EXPECT_EQ(FinalHex(md4), "a448017aaf21d8525fc10ae87aa6729d");
}

TEST(DigestMD4Test, Utf16StringAddsTwoLittleEndianBytesPerUnit) {
  DigestMD4 md4;
  md4.Init();
  md4.UpdateStr(std::u16string_view(u"A\u00E9\u20AC"));
  const uint8_t bytes[] = {0x41, 0x00, 0xE9, 0x00, 0xAC, 0x20};
  EXPECT_EQ(FinalHex(md4), OneShot(bytes, sizeof bytes));

  // Long enough to be serialised in several pieces.
  std::u16string long_text;
  Bytes long_bytes;
  for (int i = 0; i < 1000; ++i) {
    const char16_t c = static_cast<char16_t>(0x30 + i * 37);
    long_text += c;
    long_bytes.push_back(static_cast<uint8_t>(c));
    long_bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  md4.Init();
  md4.UpdateStr(std::u16string_view(long_text));
  EXPECT_EQ(FinalHex(md4), ReferenceMD4(long_bytes));
}

// Records the size of every read it is asked for.
class ReadLoggingStream : public MemoryStream {
 public:
  using MemoryStream::MemoryStream;
  int64_t Read(void* buffer, int64_t count) override {
    requests.push_back(count);
    return MemoryStream::Read(buffer, count);
  }
  std::vector<int64_t> requests;
};

TEST(DigestMD4Test, UpdateStreamReadsWholeBlocksThenTheRest) {
  std::mt19937 rng(1108);
  Bytes data(20000);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  ReadLoggingStream stream(std::string(data.begin(), data.end()));
  const auto part = [&data](size_t from, size_t to) {
    return ReferenceMD4(Bytes(data.begin() + from, data.begin() + to));
  };

  DigestMD4 md4;
  md4.Init();
  md4.UpdateStream(stream, 2 * 8192 + 100);
  EXPECT_EQ(stream.requests, (std::vector<int64_t>{8192, 8192, 100}));
  EXPECT_EQ(FinalHex(md4), part(0, 16484));

  // It reads on from where the stream stands, and past the end only what the
  // stream held counts.
  md4.Init();
  md4.UpdateStream(stream, 8192);
  EXPECT_EQ(FinalHex(md4), part(16484, data.size()));

  // A whole block needs no read of a remainder, and nothing no read at all.
  stream.SetPosition(0);
  stream.requests.clear();
  md4.Init();
  md4.UpdateStream(stream, 8192);
  md4.UpdateStream(stream, 0);
  EXPECT_EQ(stream.requests, std::vector<int64_t>{8192});
  EXPECT_EQ(FinalHex(md4), part(0, 8192));
}

}  // namespace
}  // namespace hv
