// MD4 throughput, ours against OpenSSL's, over the 8 MiB blocks that file
// hashing reads. BM_MD4_Ratio hashes the same buffer with both, alternating,
// and reports `ratio` = our throughput / OpenSSL's (target: 0.95 or more).
// Pin to one core (e.g. taskset -c 2) for a steadier figure.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/base64.h"
#include "support/md4.h"

namespace {

constexpr size_t k8MiB = size_t{8} << 20;

const std::vector<uint8_t>& Input8MiB() {
  static const std::vector<uint8_t> data = [] {
    std::vector<uint8_t> v(k8MiB);
    uint32_t x = 0x12345678;
    for (auto& b : v) {
      x = x * 1664525u + 1013904223u;
      b = static_cast<uint8_t>(x >> 24);
    }
    return v;
  }();
  return data;
}

void BM_MD4_Ours_8MiB(benchmark::State& state) {
  const auto& data = Input8MiB();
  uint8_t out[hv::DigestMD4::kHashSizeBytes];
  for (auto _ : state) {
    hv::DigestMD4 md4;
    md4.Init();
    md4.Update(data.data(), data.size());
    md4.Final(out);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(k8MiB));
}
BENCHMARK(BM_MD4_Ours_8MiB);

// OpenSSL's MD4, from its legacy provider; empty when unavailable.
class OpenSslMd4 {
 public:
  OpenSslMd4() {
    static OSSL_PROVIDER* const legacy = OSSL_PROVIDER_load(nullptr, "legacy");
    if (legacy == nullptr) return;
    md_.reset(EVP_MD_fetch(nullptr, "MD4", nullptr));
    ctx_.reset(EVP_MD_CTX_new());
  }
  bool Available() const { return md_ && ctx_; }
  bool Digest(const std::vector<uint8_t>& data, unsigned char* out) {
    unsigned int out_len = 0;
    return EVP_DigestInit_ex(ctx_.get(), md_.get(), nullptr) == 1 &&
           EVP_DigestUpdate(ctx_.get(), data.data(), data.size()) == 1 &&
           EVP_DigestFinal_ex(ctx_.get(), out, &out_len) == 1;
  }

 private:
  std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)> md_{nullptr, &EVP_MD_free};
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx_{nullptr, &EVP_MD_CTX_free};
};

void BM_MD4_OpenSSL_8MiB(benchmark::State& state) {
  OpenSslMd4 openssl;
  if (!openssl.Available()) {
    state.SkipWithError("OpenSSL MD4 not available");
    return;
  }
  const auto& data = Input8MiB();
  unsigned char out[EVP_MAX_MD_SIZE];
  for (auto _ : state) {
    if (!openssl.Digest(data, out)) {
      state.SkipWithError("OpenSSL MD4 failed");
      return;
    }
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(k8MiB));
}
BENCHMARK(BM_MD4_OpenSSL_8MiB);

void BM_MD4_Ratio(benchmark::State& state) {
  OpenSslMd4 openssl;
  if (!openssl.Available()) {
    state.SkipWithError("OpenSSL MD4 not available");
    return;
  }
  using Clock = std::chrono::steady_clock;
  const auto& data = Input8MiB();
  unsigned char out[EVP_MAX_MD_SIZE];
  double ours = 0;
  double theirs = 0;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    hv::DigestMD4 md4;
    md4.Init();
    md4.Update(data.data(), data.size());
    md4.Final(out);
    benchmark::DoNotOptimize(out);
    const auto t1 = Clock::now();
    if (!openssl.Digest(data, out)) {
      state.SkipWithError("OpenSSL MD4 failed");
      return;
    }
    benchmark::DoNotOptimize(out);
    const auto t2 = Clock::now();
    ours += std::chrono::duration<double>(t1 - t0).count();
    theirs += std::chrono::duration<double>(t2 - t1).count();
  }
  const double bytes = static_cast<double>(state.iterations()) * static_cast<double>(k8MiB);
  state.counters["ours_MBps"] = bytes / ours / 1e6;
  state.counters["openssl_MBps"] = bytes / theirs / 1e6;
  state.counters["ratio"] = theirs / ours;
}
BENCHMARK(BM_MD4_Ratio)->MinTime(2.0);

// Build's helpers hash small files side by side: 32 messages of 1-32 KiB
// (as the bench tree holds) at a time, taken from the 8 MiB input.
void BM_MD4_Messages_SmallFiles(benchmark::State& state) {
  const auto& data = Input8MiB();
  constexpr size_t kCount = 32;
  const uint8_t* messages[kCount];
  size_t sizes[kCount];
  size_t bytes = 0;
  for (size_t i = 0; i < kCount; ++i) {
    sizes[i] = 1024 + (i * 7919) % (31 * 1024);
    messages[i] = data.data() + i * 64 * 1024;
    bytes += sizes[i];
  }
  uint8_t digests[kCount][hv::DigestMD4::kHashSizeBytes];
  for (auto _ : state) {
    hv::DigestMD4Messages(messages, sizes, kCount, digests);
    benchmark::DoNotOptimize(digests);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
}
BENCHMARK(BM_MD4_Messages_SmallFiles);

void BM_Base64_16Bytes(benchmark::State& state) {
  const std::string digest("\x31\xd6\xcf\xe0\xd1\x6a\xe9\x31\xb7\x3c\x59\xd7\xe0\xc0\x89\xc0", 16);
  for (auto _ : state) {
    std::string text = hv::Base64Encode(digest);
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 16);
}
BENCHMARK(BM_Base64_16Bytes);

}  // namespace
