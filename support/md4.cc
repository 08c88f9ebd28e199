#include "support/md4.h"

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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

#if defined(__GNUC__) && !defined(__clang__)
// The vector type below never crosses a call that is not inlined.
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

#define HV_INLINE inline __attribute__((always_inline))

// The steps of MD4 for one word (uint32_t) or for a vector of words, one
// message in each lane.
template <int S, typename W>
HV_INLINE W Rotl(const W& x) {
  return (x << S) | (x >> (32 - S));
}

// Each step is bound by the latency of its chain through the newest word
// (b), so everything that does not depend on b is summed first and b enters
// last. In round 2 the majority function is split into two terms that never
// share a set bit, so | becomes + and b meets a single operation.
template <int S, typename W>
HV_INLINE void R1(W& a, const W& b, const W& c, const W& d, const W& x) {
  a = Rotl<S>((a + x) + (((c ^ d) & b) ^ d));
}
template <int S, typename W>
HV_INLINE void R2(W& a, const W& b, const W& c, const W& d, const W& x) {
  a = Rotl<S>((a + x + 0x5A827999u + (c & d)) + ((c ^ d) & b));
}
template <int S, typename W>
HV_INLINE void R3(W& a, const W& b, const W& c, const W& d, const W& x) {
  a = Rotl<S>((a + x + 0x6ED9EBA1u) + ((c ^ d) ^ b));
}

// Compresses the 64-byte block `x` into the chaining value a, b, c, d.
template <typename W>
HV_INLINE void CompressBlock(W& a, W& b, W& c, W& d, const W (&x)[16]) {
  const W aa = a, bb = b, cc = c, dd = d;

  R1<3>(a, b, c, d, x[0]);   R1<7>(d, a, b, c, x[1]);
  R1<11>(c, d, a, b, x[2]);  R1<19>(b, c, d, a, x[3]);
  R1<3>(a, b, c, d, x[4]);   R1<7>(d, a, b, c, x[5]);
  R1<11>(c, d, a, b, x[6]);  R1<19>(b, c, d, a, x[7]);
  R1<3>(a, b, c, d, x[8]);   R1<7>(d, a, b, c, x[9]);
  R1<11>(c, d, a, b, x[10]); R1<19>(b, c, d, a, x[11]);
  R1<3>(a, b, c, d, x[12]);  R1<7>(d, a, b, c, x[13]);
  R1<11>(c, d, a, b, x[14]); R1<19>(b, c, d, a, x[15]);

  R2<3>(a, b, c, d, x[0]);   R2<5>(d, a, b, c, x[4]);
  R2<9>(c, d, a, b, x[8]);   R2<13>(b, c, d, a, x[12]);
  R2<3>(a, b, c, d, x[1]);   R2<5>(d, a, b, c, x[5]);
  R2<9>(c, d, a, b, x[9]);   R2<13>(b, c, d, a, x[13]);
  R2<3>(a, b, c, d, x[2]);   R2<5>(d, a, b, c, x[6]);
  R2<9>(c, d, a, b, x[10]);  R2<13>(b, c, d, a, x[14]);
  R2<3>(a, b, c, d, x[3]);   R2<5>(d, a, b, c, x[7]);
  R2<9>(c, d, a, b, x[11]);  R2<13>(b, c, d, a, x[15]);

  R3<3>(a, b, c, d, x[0]);   R3<9>(d, a, b, c, x[8]);
  R3<11>(c, d, a, b, x[4]);  R3<15>(b, c, d, a, x[12]);
  R3<3>(a, b, c, d, x[2]);   R3<9>(d, a, b, c, x[10]);
  R3<11>(c, d, a, b, x[6]);  R3<15>(b, c, d, a, x[14]);
  R3<3>(a, b, c, d, x[1]);   R3<9>(d, a, b, c, x[9]);
  R3<11>(c, d, a, b, x[5]);  R3<15>(b, c, d, a, x[13]);
  R3<3>(a, b, c, d, x[3]);   R3<9>(d, a, b, c, x[11]);
  R3<11>(c, d, a, b, x[7]);  R3<15>(b, c, d, a, x[15]);

  a += aa; b += bb; c += cc; d += dd;
}

// Compresses `blocks` consecutive 64-byte blocks into `hash`. Kept in one
// loop so the chaining value stays in registers across a large update.
void Compress(uint32_t hash[4], const uint8_t* p, size_t blocks) {
  uint32_t a = hash[0], b = hash[1], c = hash[2], d = hash[3];
  for (; blocks != 0; --blocks, p += 64) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = LoadLE32(p + 4 * i);
    CompressBlock(a, b, c, d, x);
  }
  hash[0] = a; hash[1] = b; hash[2] = c; hash[3] = d;
}

constexpr uint32_t kInitialHash[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};

// Eight words side by side, one of each message.
typedef uint32_t LaneWords __attribute__((vector_size(32)));
constexpr size_t kLanesPerGroup = 8;

// Groups of lanes taken through each step one after the other: each group
// waits on the latency of its own chain, so several keep the processor busy.
template <size_t N>
struct LaneGroups {
  LaneWords v[N];
};
// Each operator applies to every group.
#define HV_LANE_GROUPS_OPERATOR(op, Right)                                               \
  template <size_t N>                                                                    \
  HV_INLINE LaneGroups<N> operator op(const LaneGroups<N>& x, const Right& y) {          \
    LaneGroups<N> result;                                                                \
    for (size_t g = 0; g < N; ++g) result.v[g] = x.v[g] op Part(y, g);                   \
    return result;                                                                       \
  }

template <size_t N>
HV_INLINE const LaneWords& Part(const LaneGroups<N>& y, size_t g) {
  return y.v[g];
}
template <typename Scalar>
HV_INLINE Scalar Part(Scalar y, size_t) {
  return y;
}

HV_LANE_GROUPS_OPERATOR(+, LaneGroups<N>)
HV_LANE_GROUPS_OPERATOR(+, uint32_t)
HV_LANE_GROUPS_OPERATOR(^, LaneGroups<N>)
HV_LANE_GROUPS_OPERATOR(&, LaneGroups<N>)
HV_LANE_GROUPS_OPERATOR(|, LaneGroups<N>)
HV_LANE_GROUPS_OPERATOR(<<, int)
HV_LANE_GROUPS_OPERATOR(>>, int)
#undef HV_LANE_GROUPS_OPERATOR

template <size_t N>
HV_INLINE LaneGroups<N>& operator+=(LaneGroups<N>& x, const LaneGroups<N>& y) {
  return x = x + y;
}

// One message on its way through a lane: its whole blocks straight from the
// caller's memory, then the padded tail (one or two blocks) from here.
struct Lane {
  size_t message = SIZE_MAX;  // none
  const uint8_t* next = nullptr;
  size_t whole_blocks = 0;
  size_t tail_blocks = 0;
  uint8_t tail[128];

  bool Idle() const { return message == SIZE_MAX; }
  void Start(size_t index, const uint8_t* data, size_t size) {
    message = index;
    next = data;
    whole_blocks = size / 64;
    const size_t rest = size % 64;
    tail_blocks = rest < 56 ? 1 : 2;
    std::memset(tail, 0, sizeof tail);
    if (rest != 0) std::memcpy(tail, data + whole_blocks * 64, rest);
    tail[rest] = 0x80;
    const uint64_t bits = static_cast<uint64_t>(size) * 8u;
    StoreLE32(tail + 64 * tail_blocks - 8, static_cast<uint32_t>(bits));
    StoreLE32(tail + 64 * tail_blocks - 4, static_cast<uint32_t>(bits >> 32));
    if (whole_blocks == 0) next = tail;
  }
  // Moves on to the next block; false when the message is done.
  bool Advance() {
    if (whole_blocks != 0) {
      next = --whole_blocks != 0 ? next + 64 : tail;
      return true;
    }
    next += 64;
    return --tail_blocks != 0;
  }
};

// The words of the blocks at p[0] to p[7], word i of each in x[i].
struct LoadLaneWords {
  HV_INLINE void operator()(const uint8_t* const p[kLanesPerGroup], LaneWords (&x)[16]) const {
    for (int i = 0; i < 16; ++i) {
      x[i] = LaneWords{LoadLE32(p[0] + 4 * i), LoadLE32(p[1] + 4 * i), LoadLE32(p[2] + 4 * i),
                       LoadLE32(p[3] + 4 * i), LoadLE32(p[4] + 4 * i), LoadLE32(p[5] + 4 * i),
                       LoadLE32(p[6] + 4 * i), LoadLE32(p[7] + 4 * i)};
    }
  }
};

// The digests of `count` messages, kGroups * 8 of them at a time, each lane
// taking up the next message as soon as its own is done; `load` fills the
// words of one group.
template <size_t kGroups, typename Load>
HV_INLINE void DigestInLanes(const uint8_t* const messages[], const size_t sizes[], size_t count,
                             uint8_t (*digests)[DigestMD4::kHashSizeBytes], Load load) {
  constexpr size_t kLanes = kGroups * kLanesPerGroup;
  static const uint8_t kNothing[64] = {};
  Lane lanes[kLanes];
  LaneGroups<kGroups> a = {}, b = {}, c = {}, d = {};
  size_t started = 0;
  size_t busy = 0;
  const auto start = [&](size_t lane) {
    lanes[lane].Start(started, messages[started], sizes[started]);
    const size_t g = lane / kLanesPerGroup, l = lane % kLanesPerGroup;
    a.v[g][l] = kInitialHash[0];
    b.v[g][l] = kInitialHash[1];
    c.v[g][l] = kInitialHash[2];
    d.v[g][l] = kInitialHash[3];
    ++started;
    ++busy;
  };
  for (size_t lane = 0; lane < kLanes && started < count; ++lane) start(lane);
  while (busy != 0) {
    const uint8_t* p[kLanes];
    for (size_t lane = 0; lane < kLanes; ++lane) p[lane] = lanes[lane].Idle() ? kNothing : lanes[lane].next;
    LaneWords words[kGroups][16];
    for (size_t g = 0; g < kGroups; ++g) load(p + g * kLanesPerGroup, words[g]);
    LaneGroups<kGroups> x[16];
    for (int i = 0; i < 16; ++i) {
      for (size_t g = 0; g < kGroups; ++g) x[i].v[g] = words[g][i];
    }
    CompressBlock(a, b, c, d, x);
    for (size_t lane = 0; lane < kLanes; ++lane) {
      if (lanes[lane].Idle() || lanes[lane].Advance()) continue;
      const size_t g = lane / kLanesPerGroup, l = lane % kLanesPerGroup;
      uint8_t* out = digests[lanes[lane].message];
      StoreLE32(out, a.v[g][l]);
      StoreLE32(out + 4, b.v[g][l]);
      StoreLE32(out + 8, c.v[g][l]);
      StoreLE32(out + 12, d.v[g][l]);
      lanes[lane].message = SIZE_MAX;
      --busy;
      if (started < count) start(lane);
    }
  }
}

#if defined(__x86_64__)
// LoadLaneWords with AVX2: whole rows loaded and transposed in registers.
struct LoadLaneWordsAvx2 {
  __attribute__((target("avx2"))) void operator()(const uint8_t* const p[kLanesPerGroup],
                                                  LaneWords (&x)[16]) const {
    for (int half = 0; half < 2; ++half) {
      __m256i r[8];
      for (int l = 0; l < 8; ++l) r[l] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p[l] + 32 * half));
      const __m256i t0 = _mm256_unpacklo_epi32(r[0], r[1]), t1 = _mm256_unpackhi_epi32(r[0], r[1]);
      const __m256i t2 = _mm256_unpacklo_epi32(r[2], r[3]), t3 = _mm256_unpackhi_epi32(r[2], r[3]);
      const __m256i t4 = _mm256_unpacklo_epi32(r[4], r[5]), t5 = _mm256_unpackhi_epi32(r[4], r[5]);
      const __m256i t6 = _mm256_unpacklo_epi32(r[6], r[7]), t7 = _mm256_unpackhi_epi32(r[6], r[7]);
      const __m256i u0 = _mm256_unpacklo_epi64(t0, t2), u1 = _mm256_unpackhi_epi64(t0, t2);
      const __m256i u2 = _mm256_unpacklo_epi64(t1, t3), u3 = _mm256_unpackhi_epi64(t1, t3);
      const __m256i u4 = _mm256_unpacklo_epi64(t4, t6), u5 = _mm256_unpackhi_epi64(t4, t6);
      const __m256i u6 = _mm256_unpacklo_epi64(t5, t7), u7 = _mm256_unpackhi_epi64(t5, t7);
      LaneWords* out = x + 8 * half;
      out[0] = reinterpret_cast<LaneWords>(_mm256_permute2x128_si256(u0, u4, 0x20));
      out[1] = reinterpret_cast<LaneWords>(_mm256_permute2x128_si256(u1, u5, 0x20));
      out[2] = reinterpret_cast<LaneWords>(_mm256_permute2x128_si256(u2, u6, 0x20));
      out[3] = reinterpret_cast<LaneWords>(_mm256_permute2x128_si256(u3, u7, 0x20));
      out[4] = reinterpret_cast<LaneWords>(_mm256_permute2x128_si256(u0, u4, 0x31));
      out[5] = reinterpret_cast<LaneWords>(_mm256_permute2x128_si256(u1, u5, 0x31));
      out[6] = reinterpret_cast<LaneWords>(_mm256_permute2x128_si256(u2, u6, 0x31));
      out[7] = reinterpret_cast<LaneWords>(_mm256_permute2x128_si256(u3, u7, 0x31));
    }
  }
};

// With AVX2, two groups of eight lanes.
__attribute__((target("avx2"))) void CompressLanesAvx2(const uint8_t* const messages[], const size_t sizes[],
                                                       size_t count,
                                                       uint8_t (*digests)[DigestMD4::kHashSizeBytes]) {
  DigestInLanes<2>(messages, sizes, count, digests, LoadLaneWordsAvx2{});
}
#endif

void CompressLanes(const uint8_t* const messages[], const size_t sizes[], size_t count,
                   uint8_t (*digests)[DigestMD4::kHashSizeBytes]) {
#if defined(__x86_64__)
  if (__builtin_cpu_supports("avx2")) {
    CompressLanesAvx2(messages, sizes, count, digests);
    return;
  }
#endif
  DigestInLanes<1>(messages, sizes, count, digests, LoadLaneWords{});
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
  std::memcpy(current_hash_, kInitialHash, sizeof current_hash_);
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

namespace hv {

void DigestMD4Messages(const uint8_t* const messages[], const size_t sizes[], size_t count,
                       uint8_t (*digests)[DigestMD4::kHashSizeBytes]) {
  // Lanes that stay empty cost as much as full ones: two messages are done
  // sooner one after the other.
  if (count > 2) {
    CompressLanes(messages, sizes, count, digests);
    return;
  }
  DigestMD4 digest;
  for (size_t i = 0; i < count; ++i) {
    digest.Init();
    digest.Update(messages[i], sizes[i]);
    digest.Final(digests[i]);
  }
}

}  // namespace hv
