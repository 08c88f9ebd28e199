#include "support/md4.h"

#include <bit>
#include <cstring>

#include "support/exceptions.h"

namespace hv {

namespace {

constexpr char kHashNotInitialized[] = "Hash not initialized";

inline uint32_t LoadLE32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}

inline void StoreLE32(uint8_t* p, uint32_t v) {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  std::memcpy(p, &v, sizeof v);
}

// Each step is bound by the latency of its chain through the newest word
// (b), so everything that does not depend on b is summed first and b enters
// last. In round 2 the majority function is split into two terms that never
// share a set bit, so | becomes + and b meets a single operation.
template <int S>
inline void R1(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x) {
  a = std::rotl((a + x) + (((c ^ d) & b) ^ d), S);
}
template <int S>
inline void R2(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x) {
  a = std::rotl((a + x + 0x5A827999u + (c & d)) + ((c ^ d) & b), S);
}
template <int S>
inline void R3(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x) {
  a = std::rotl((a + x + 0x6ED9EBA1u) + ((c ^ d) ^ b), S);
}

// Compresses `blocks` consecutive 64-byte blocks into `hash`. Kept in one
// loop so the chaining value stays in registers across a large update.
void Compress(uint32_t hash[4], const uint8_t* p, size_t blocks) {
  uint32_t a = hash[0], b = hash[1], c = hash[2], d = hash[3];
  for (; blocks != 0; --blocks, p += 64) {
    const uint32_t x0 = LoadLE32(p + 0), x1 = LoadLE32(p + 4), x2 = LoadLE32(p + 8),
                   x3 = LoadLE32(p + 12), x4 = LoadLE32(p + 16), x5 = LoadLE32(p + 20),
                   x6 = LoadLE32(p + 24), x7 = LoadLE32(p + 28), x8 = LoadLE32(p + 32),
                   x9 = LoadLE32(p + 36), x10 = LoadLE32(p + 40), x11 = LoadLE32(p + 44),
                   x12 = LoadLE32(p + 48), x13 = LoadLE32(p + 52), x14 = LoadLE32(p + 56),
                   x15 = LoadLE32(p + 60);
    const uint32_t aa = a, bb = b, cc = c, dd = d;

    R1<3>(a, b, c, d, x0);   R1<7>(d, a, b, c, x1);
    R1<11>(c, d, a, b, x2);  R1<19>(b, c, d, a, x3);
    R1<3>(a, b, c, d, x4);   R1<7>(d, a, b, c, x5);
    R1<11>(c, d, a, b, x6);  R1<19>(b, c, d, a, x7);
    R1<3>(a, b, c, d, x8);   R1<7>(d, a, b, c, x9);
    R1<11>(c, d, a, b, x10); R1<19>(b, c, d, a, x11);
    R1<3>(a, b, c, d, x12);  R1<7>(d, a, b, c, x13);
    R1<11>(c, d, a, b, x14); R1<19>(b, c, d, a, x15);

    R2<3>(a, b, c, d, x0);   R2<5>(d, a, b, c, x4);
    R2<9>(c, d, a, b, x8);   R2<13>(b, c, d, a, x12);
    R2<3>(a, b, c, d, x1);   R2<5>(d, a, b, c, x5);
    R2<9>(c, d, a, b, x9);   R2<13>(b, c, d, a, x13);
    R2<3>(a, b, c, d, x2);   R2<5>(d, a, b, c, x6);
    R2<9>(c, d, a, b, x10);  R2<13>(b, c, d, a, x14);
    R2<3>(a, b, c, d, x3);   R2<5>(d, a, b, c, x7);
    R2<9>(c, d, a, b, x11);  R2<13>(b, c, d, a, x15);

    R3<3>(a, b, c, d, x0);   R3<9>(d, a, b, c, x8);
    R3<11>(c, d, a, b, x4);  R3<15>(b, c, d, a, x12);
    R3<3>(a, b, c, d, x2);   R3<9>(d, a, b, c, x10);
    R3<11>(c, d, a, b, x6);  R3<15>(b, c, d, a, x14);
    R3<3>(a, b, c, d, x1);   R3<9>(d, a, b, c, x9);
    R3<11>(c, d, a, b, x5);  R3<15>(b, c, d, a, x13);
    R3<3>(a, b, c, d, x3);   R3<9>(d, a, b, c, x11);
    R3<11>(c, d, a, b, x7);  R3<15>(b, c, d, a, x15);

    a += aa; b += bb; c += cc; d += dd;
  }
  hash[0] = a; hash[1] = b; hash[2] = c; hash[3] = d;
}

// Zeroes memory that is about to die without letting the compiler drop the
// stores: digest state should not outlive the object.
void SecureZero(void* p, size_t n) {
  std::memset(p, 0, n);
  __asm__ __volatile__("" : : "r"(p) : "memory");
}

}  // namespace

DigestMD4::~DigestMD4() {
  if (initialized_) Burn();
}

bool DigestMD4::SelfTest() {
  static constexpr uint8_t kAbc[kHashSizeBytes] = {0xa4, 0x48, 0x01, 0x7a, 0xaf, 0x21,
                                                   0xd8, 0x52, 0x5f, 0xc1, 0x0a, 0xe8,
                                                   0x7a, 0xa6, 0x72, 0x9d};
  static constexpr uint8_t kAlphabet[kHashSizeBytes] = {0xd7, 0x9e, 0x1c, 0x30, 0x8a, 0xa5,
                                                        0xbb, 0xcd, 0xee, 0xa8, 0xed, 0x63,
                                                        0xdf, 0x41, 0x2d, 0xa9};
  DigestMD4 md4;
  uint8_t out[kHashSizeBytes] = {};
  md4.Init();
  md4.UpdateStr(std::string_view("abc"));
  md4.Final(out);
  bool ok = std::memcmp(out, kAbc, sizeof out) == 0;
  std::memset(out, 0, sizeof out);
  md4.Init();
  md4.UpdateStr(std::string_view("abcdefghijklmnopqrstuvwxyz"));
  md4.Final(out);
  ok = ok && std::memcmp(out, kAlphabet, sizeof out) == 0;
  return ok;
}

void DigestMD4::Init() {
  Burn();
  current_hash_[0] = 0x67452301u;
  current_hash_[1] = 0xefcdab89u;
  current_hash_[2] = 0x98badcfeu;
  current_hash_[3] = 0x10325476u;
  initialized_ = true;
}

void DigestMD4::Update(const void* buffer, size_t size) {
  if (!initialized_) throw EDigestError(kHashNotInitialized);
  // The 64-bit bit count wraps modulo 2^64, as RFC 1320 appends it.
  const uint64_t bits =
      ((uint64_t{len_hi_} << 32) | len_lo_) + static_cast<uint64_t>(size) * 8u;
  len_hi_ = static_cast<uint32_t>(bits >> 32);
  len_lo_ = static_cast<uint32_t>(bits);

  const auto* p = static_cast<const uint8_t*>(buffer);
  if (index_ != 0) {
    const size_t room = 64 - index_;
    if (size < room) {
      std::memcpy(hash_buffer_ + index_, p, size);
      index_ += static_cast<uint32_t>(size);
      return;
    }
    std::memcpy(hash_buffer_ + index_, p, room);
    Compress(current_hash_, hash_buffer_, 1);
    std::memset(hash_buffer_, 0, sizeof hash_buffer_);
    index_ = 0;
    p += room;
    size -= room;
  }
  // Whole blocks go straight from the caller's memory; only a tail is buffered.
  if (const size_t blocks = size / 64; blocks != 0) {
    Compress(current_hash_, p, blocks);
    p += blocks * 64;
    size -= blocks * 64;
  }
  if (size != 0) {
    std::memcpy(hash_buffer_, p, size);
    index_ = static_cast<uint32_t>(size);
  }
}

void DigestMD4::Final(void* digest) {
  if (!initialized_) throw EDigestError(kHashNotInitialized);
  hash_buffer_[index_] = 0x80;
  if (index_ >= 56) {
    Compress(current_hash_, hash_buffer_, 1);
    std::memset(hash_buffer_, 0, sizeof hash_buffer_);
  }
  StoreLE32(hash_buffer_ + 56, len_lo_);
  StoreLE32(hash_buffer_ + 60, len_hi_);
  Compress(current_hash_, hash_buffer_, 1);
  auto* out = static_cast<uint8_t*>(digest);
  for (int i = 0; i < 4; ++i) StoreLE32(out + 4 * i, current_hash_[i]);
  Burn();
}

void DigestMD4::Burn() {
  len_hi_ = 0;
  len_lo_ = 0;
  index_ = 0;
  SecureZero(hash_buffer_, sizeof hash_buffer_);
  SecureZero(current_hash_, sizeof current_hash_);
  initialized_ = false;
}

}  // namespace hv
