// Sizes that a 32-bit address space cannot hold.
#include <gtest/gtest.h>

#include <cstdint>
#include <new>

#include "support/memory_stream.h"

namespace hv {
namespace {

TEST(MemoryStream32, SizesBeyondTheAddressSpaceAreOutOfMemoryNotCut) {
  constexpr int64_t kFiveGiB = int64_t{5} << 30;
  MemoryStream stream;
  EXPECT_THROW(stream.SetSize(kFiveGiB), std::bad_alloc);
  stream.Seek(kFiveGiB, SeekOrigin::soBeginning);
  EXPECT_THROW(stream.Write("x", 1), std::bad_alloc);
  EXPECT_EQ(stream.Size(), 0);
}

}  // namespace
}  // namespace hv
