#include "support/case_fold.h"

#include <cstdint>

namespace hv {

namespace {
#include "support/case_fold_table.inc"
}  // namespace

char32_t SimpleCaseFoldNonAscii(char32_t c) {
  if (c >= kCaseFoldLimit) return c;
  constexpr unsigned kMask = (1u << kCaseFoldBlockBits) - 1;
  const unsigned block = kCaseFoldStage1[c >> kCaseFoldBlockBits];
  const unsigned index = kCaseFoldStage2[(block << kCaseFoldBlockBits) | (c & kMask)];
  return static_cast<char32_t>(static_cast<int32_t>(c) + kCaseFoldDeltas[index]);
}

}  // namespace hv
