// MD4 throughput, ours against OpenSSL's, over the 8 MiB blocks that file
// hashing reads. Compare the bytes_per_second of BM_MD4_Ours_8MiB with that of
// BM_MD4_OpenSSL_8MiB from the same run: ours / OpenSSL should be 0.95 or more.
// Pin to one core (e.g. taskset -c 2) and use --benchmark_repetitions for a
// steadier ratio.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

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

void BM_MD4_OpenSSL_8MiB(benchmark::State& state) {
  // MD4 lives in OpenSSL 3's legacy provider.
  static OSSL_PROVIDER* const legacy = OSSL_PROVIDER_load(nullptr, "legacy");
  if (legacy == nullptr) {
    state.SkipWithError("OpenSSL legacy provider not available");
    return;
  }
  std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)> md(EVP_MD_fetch(nullptr, "MD4", nullptr),
                                                      &EVP_MD_free);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(),
                                                               &EVP_MD_CTX_free);
  if (!md || !ctx) {
    state.SkipWithError("OpenSSL MD4 not available");
    return;
  }
  const auto& data = Input8MiB();
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int out_len = 0;
  for (auto _ : state) {
    if (EVP_DigestInit_ex(ctx.get(), md.get(), nullptr) != 1 ||
        EVP_DigestUpdate(ctx.get(), data.data(), data.size()) != 1 ||
        EVP_DigestFinal_ex(ctx.get(), out, &out_len) != 1) {
      state.SkipWithError("OpenSSL MD4 failed");
      return;
    }
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(k8MiB));
}
BENCHMARK(BM_MD4_OpenSSL_8MiB);

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
