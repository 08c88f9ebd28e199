#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/build_read_ahead.h"
#include "engine/hash_item.h"
#include "helpers/fake_file_system.h"
#include "platform/file_system.h"
#include "support/base64.h"
#include "support/exceptions.h"
#include "support/file_helpers.h"
#include "support/md4.h"

namespace hv {
namespace {

using hv::testing::FakeFileSystem;

HV_DECLARE_EXCEPTION(ETestAbort, EAbort);

constexpr int64_t kReadSize = 8388608;
constexpr int64_t kThreshold = 2145300000;
constexpr int64_t kModifiedMs = 1614861296789;  // 2021-03-04 12:34:56.789 UTC
constexpr int64_t kYear10000Ms = 253402300800000;
constexpr char kEmptyHash[] = "MdbP4NFq6TG3PFnX4MCJwA==";

struct ProgressCall {
  const void* sender;
  int64_t done;
  int64_t total;
  bool operator==(const ProgressCall&) const = default;
};

// The Base64 MD4 of the bytes of `entry`, fed to the digest in odd pieces.
std::string ReferenceHash(const FakeFileSystem::Entry& entry) {
  DigestMD4 digest;
  digest.Init();
  for (int64_t offset = 0; offset < entry.Length(); offset += 1000003) {
    const std::string piece = FakeFileSystem::ContentsOf(entry, offset, 1000003);
    digest.Update(piece.data(), piece.size());
  }
  unsigned char value[DigestMD4::kHashSizeBytes];
  digest.Final(value);
  return Base64Encode(std::string_view(reinterpret_cast<const char*>(value), sizeof value));
}

class HashItemFileTest : public ::testing::Test {
 protected:
  FakeFileSystem fs_;
  platform::ScopedFileSystem scope_{fs_};
  std::shared_ptr<const std::string> base_ = std::make_shared<const std::string>("/data/");
  HashItem item_;
  std::vector<ProgressCall> calls_;

  progress::ProgressEvent Recorder() {
    return [this](const void* sender, int64_t done, int64_t total) {
      calls_.push_back({sender, done, total});
    };
  }
  // Records the call, then stops the hashing with an abort.
  progress::ProgressEvent Aborter() {
    return [this](const void* sender, int64_t done, int64_t total) {
      calls_.push_back({sender, done, total});
      throw ETestAbort("stop here");
    };
  }
  bool Read(const std::string& path, const progress::ProgressEvent& on_progress = nullptr) {
    return item_.ReadFromFile(base_, path, on_progress);
  }
  ProgressCall Call(int64_t done, int64_t total) { return {&item_, done, total}; }

  void ExpectClearedWithPaths(const std::string& path) {
    EXPECT_EQ(item_.BasePath(), *base_);
    EXPECT_EQ(item_.Path(), path);
    EXPECT_EQ(item_.Size(), -1);
    EXPECT_EQ(item_.Date(), 0.0);
    EXPECT_EQ(item_.Hash(), "");
    EXPECT_EQ(item_.State(), hsOK);
    EXPECT_EQ(item_.Related(), nullptr);
  }
};

// ---- Contents and digest ----

TEST_F(HashItemFileTest, EmptyFile) {
  FakeFileSystem::Entry& entry = fs_.AddFile("/data/empty", "", kModifiedMs);
  EXPECT_TRUE(Read("empty", Recorder()));
  EXPECT_TRUE(calls_.empty());
  EXPECT_EQ(item_.Hash(), kEmptyHash);
  EXPECT_EQ(item_.Size(), 0);
  EXPECT_EQ(item_.Date(), FileTimeToDateTime(kModifiedMs));
  EXPECT_EQ(item_.Path(), "empty");
  EXPECT_EQ(item_.BasePath(), *base_);
  EXPECT_EQ(entry.read_calls, 1);
  EXPECT_EQ(fs_.open_handles(), 0);
}

TEST_F(HashItemFileTest, SmallFileHasItsKnownDigest) {
  fs_.AddFile("/data/abc", "abc", kModifiedMs);
  EXPECT_TRUE(Read("abc", Recorder()));
  EXPECT_EQ(item_.Hash(), "pEgBeq8h2FJfwQroeqZynQ==");
  EXPECT_EQ(item_.Size(), 3);
  EXPECT_EQ(calls_, (std::vector<ProgressCall>{Call(3, 3)}));
}

TEST_F(HashItemFileTest, FileInASubdirectory) {
  fs_.AddFile("/data/sub/dir/m.txt", "message digest");
  EXPECT_TRUE(Read("sub/dir/m.txt"));
  EXPECT_EQ(item_.Hash(), "2RMKgWRUn+gYh0gG4ccBSw==");
  EXPECT_EQ(item_.FileName(), "/data/sub/dir/m.txt");
}

TEST_F(HashItemFileTest, ExactlyOneReadSize) {
  FakeFileSystem::Entry& entry = fs_.AddGeneratedFile("/data/f", kReadSize);
  EXPECT_TRUE(Read("f", Recorder()));
  EXPECT_EQ(calls_, (std::vector<ProgressCall>{Call(kReadSize, kReadSize)}));
  EXPECT_EQ(entry.read_calls, 2);
  EXPECT_EQ(item_.Hash(), ReferenceHash(entry));
  EXPECT_EQ(item_.Size(), kReadSize);
}

TEST_F(HashItemFileTest, OneByteMoreThanOneReadSize) {
  FakeFileSystem::Entry& entry = fs_.AddGeneratedFile("/data/f", kReadSize + 1);
  EXPECT_TRUE(Read("f", Recorder()));
  EXPECT_EQ(calls_, (std::vector<ProgressCall>{Call(kReadSize, kReadSize + 1),
                                               Call(kReadSize + 1, kReadSize + 1)}));
  EXPECT_EQ(entry.read_calls, 3);
  EXPECT_EQ(item_.Hash(), ReferenceHash(entry));
}

TEST_F(HashItemFileTest, SeveralReadsGiveTheDigestOfAllBytes) {
  FakeFileSystem::Entry& entry = fs_.AddGeneratedFile("/data/f", 2 * kReadSize + 12345);
  EXPECT_TRUE(Read("f"));
  EXPECT_EQ(item_.Hash(), ReferenceHash(entry));
  EXPECT_NE(item_.Hash(), kEmptyHash);
}

TEST_F(HashItemFileTest, ShortReadsGiveTheSameDigest) {
  FakeFileSystem::Entry& whole = fs_.AddGeneratedFile("/data/whole", kReadSize + 70000);
  FakeFileSystem::Entry& pieces = fs_.AddGeneratedFile("/data/pieces", kReadSize + 70000);
  pieces.read_chunk = 65537;
  ASSERT_TRUE(Read("whole"));
  const std::string expected(item_.Hash());
  EXPECT_EQ(expected, ReferenceHash(whole));
  ASSERT_TRUE(Read("pieces", Recorder()));
  EXPECT_EQ(item_.Hash(), expected);
  ASSERT_EQ(calls_.size(), 130u);
  EXPECT_EQ(calls_.front(), Call(65537, kReadSize + 70000));
  EXPECT_EQ(calls_.back(), Call(kReadSize + 70000, kReadSize + 70000));
}

TEST_F(HashItemFileTest, OneAlignedBufferServesEveryFile) {
  fs_.AddFile("/data/a", "a");
  fs_.AddFile("/data/b", "b");
  ASSERT_TRUE(Read("a"));
  const void* first = fs_.last_read_buffer();
  ASSERT_TRUE(Read("b"));
  EXPECT_EQ(fs_.last_read_buffer(), first);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(first) % 0x10000, 0u);
}

TEST_F(HashItemFileTest, EarlierContentsOfTheEntryAreReplaced) {
  HashItem other;
  item_.SetState(hsChanged);
  item_.SetRelated(&other);
  item_.SetHash("old");
  fs_.AddFile("/data/abc", "abc", kModifiedMs);
  ASSERT_TRUE(Read("abc"));
  EXPECT_EQ(item_.State(), hsOK);
  EXPECT_EQ(item_.Related(), nullptr);
  EXPECT_EQ(item_.Hash(), "pEgBeq8h2FJfwQroeqZynQ==");
}

// ---- Unbuffered reads of big files ----

TEST_F(HashItemFileTest, FileBelowTheThresholdIsReadThroughTheCache) {
  FakeFileSystem::Entry& entry = fs_.AddGeneratedFile("/data/big", kThreshold - 1);
  EXPECT_THROW(Read("big", Aborter()), ETestAbort);
  EXPECT_EQ(entry.open_calls, 1);
  EXPECT_FALSE(entry.last_open_unbuffered);
  EXPECT_EQ(calls_, (std::vector<ProgressCall>{Call(kReadSize, kThreshold - 1)}));
}

TEST_F(HashItemFileTest, FileAtTheThresholdIsReadUnbuffered) {
  FakeFileSystem::Entry& entry = fs_.AddGeneratedFile("/data/big", kThreshold);
  // The fake refuses unbuffered reads into unaligned buffers, so a read that
  // arrives proves the buffer's alignment.
  EXPECT_THROW(Read("big", Aborter()), ETestAbort);
  EXPECT_TRUE(entry.last_open_unbuffered);
  EXPECT_EQ(calls_, (std::vector<ProgressCall>{Call(kReadSize, kThreshold)}));
  EXPECT_EQ(fs_.open_handles(), 0);
  ExpectClearedWithPaths("big");
}

// ---- Failures ----

TEST_F(HashItemFileTest, MissingFileCannotBeOpened) {
  try {
    Read("missing.bin");
    FAIL() << "no exception";
  } catch (const EFOpenError& e) {
    EXPECT_STREQ(e.ClassName(), "EFOpenError");
    EXPECT_EQ(e.Message(), "Cannot open file \"/data/missing.bin\". No such file or directory");
  }
  ExpectClearedWithPaths("missing.bin");
}

TEST_F(HashItemFileTest, OpenErrorNamesTheFullPath) {
  fs_.SetCurrentDirectory("/home/user");
  base_ = std::make_shared<const std::string>("rel/./x/../");
  fs_.AddFile("rel/./x/../f", "abc").open_error = EACCES;
  try {
    Read("f");
    FAIL() << "no exception";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.Message(), "Cannot open file \"/home/user/rel/f\". Permission denied");
  }
  ExpectClearedWithPaths("f");
  EXPECT_EQ(fs_.open_handles(), 0);
}

TEST_F(HashItemFileTest, DirectoryCannotBeOpened) {
  fs_.AddDirectory("/data/dir");
  try {
    Read("dir");
    FAIL() << "no exception";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.Message(), "Cannot open file \"/data/dir\". Is a directory");
  }
  ExpectClearedWithPaths("dir");
}

TEST_F(HashItemFileTest, FailingReadIsAnErrorAndNotTheEndOfTheFile) {
  FakeFileSystem::Entry& entry = fs_.AddGeneratedFile("/data/f", 3 * kReadSize);
  entry.fail_read_call = 2;
  try {
    Read("f", Recorder());
    FAIL() << "no exception";
  } catch (const EReadError& e) {
    EXPECT_STREQ(e.ClassName(), "EReadError");
    EXPECT_EQ(e.Message(), "Stream read error");
  }
  EXPECT_EQ(calls_, (std::vector<ProgressCall>{Call(kReadSize, 3 * kReadSize)}));
  EXPECT_EQ(entry.read_calls, 2);
  EXPECT_EQ(fs_.open_handles(), 0);
  ExpectClearedWithPaths("f");
}

TEST_F(HashItemFileTest, FailingFirstReadIsAnError) {
  fs_.AddFile("/data/f", "abc").fail_read_call = 1;
  EXPECT_THROW(Read("f"), EReadError);
  ExpectClearedWithPaths("f");
}

TEST_F(HashItemFileTest, ReadFailingAtAnOffsetAfterTheBytesBeforeIt) {
  FakeFileSystem::Entry& entry = fs_.AddFile("/data/f", std::string(1000, 'x'));
  entry.fail_read_at_offset = 100;
  EXPECT_THROW(Read("f", Recorder()), EReadError);
  EXPECT_EQ(calls_, (std::vector<ProgressCall>{Call(100, 1000)}));
  EXPECT_EQ(fs_.open_handles(), 0);
  ExpectClearedWithPaths("f");
}

TEST_F(HashItemFileTest, AbortFromProgressPassesThroughUnchanged) {
  fs_.AddGeneratedFile("/data/f", 3 * kReadSize);
  try {
    Read("f", Aborter());
    FAIL() << "no exception";
  } catch (const ETestAbort& e) {
    EXPECT_STREQ(e.ClassName(), "ETestAbort");
    EXPECT_EQ(e.Message(), "stop here");
  }
  EXPECT_EQ(calls_.size(), 1u);
  EXPECT_EQ(fs_.open_handles(), 0);
  ExpectClearedWithPaths("f");
}

TEST_F(HashItemFileTest, DateAfterYear9999FailsAndLeavesTheEntryCleared) {
  fs_.AddFile("/data/f", "abc", kYear10000Ms);
  try {
    Read("f");
    FAIL() << "no exception";
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "Invalid argument to date encode");
  }
  EXPECT_EQ(fs_.open_handles(), 0);
  ExpectClearedWithPaths("f");
}

// ---- Size and time of the file opened, taken before the read ----

// The name goes, or leads to another file, at the look that the open takes
// before the first read: the entry holds what was read, in the main thread's
// read and in the pipelined one alike.
TEST_F(HashItemFileTest, FileReplacedOrDeletedOnceOpenIsListedAsWhatWasRead) {
  for (const bool pipelined : {false, true}) {
    for (const bool replaced : {false, true}) {
      SCOPED_TRACE(std::string(pipelined ? "pipelined" : "main") + (replaced ? " replaced" : " deleted"));
      FakeFileSystem::Entry& entry = fs_.AddFile("/data/f", "abc", kModifiedMs);
      bool swapped = false;
      entry.on_stat = [&](FakeFileSystem::Entry&) {
        if (std::exchange(swapped, true)) return;
        fs_.Remove("/data/f");
        if (replaced) fs_.AddFile("/data/f", "newcomer", kModifiedMs + 1000);
      };
      calls_.clear();
      if (pipelined) {
        ReadLargeFile(item_, base_, "f", "/data/f", true, Recorder());
      } else {
        EXPECT_TRUE(Read("f", Recorder()));
      }
      EXPECT_EQ(calls_, (std::vector<ProgressCall>{Call(3, 3)}));
      EXPECT_EQ(item_.Size(), 3);
      EXPECT_EQ(item_.Date(), FileTimeToDateTime(kModifiedMs));
      EXPECT_EQ(item_.Hash(), "pEgBeq8h2FJfwQroeqZynQ==");
    }
  }
}

TEST_F(HashItemFileTest, GrowingFileReportsDoneAboveTotal) {
  FakeFileSystem::Entry& entry = fs_.AddGeneratedFile("/data/f", kReadSize + 5);
  entry.stat_size = 10;
  EXPECT_TRUE(Read("f", Recorder()));
  EXPECT_EQ(calls_, (std::vector<ProgressCall>{Call(kReadSize, 10), Call(kReadSize + 5, 10)}));
  EXPECT_EQ(item_.Size(), 10);
  EXPECT_EQ(item_.Hash(), ReferenceHash(entry));
}

TEST_F(HashItemFileTest, ShrinkingFileKeepsTheSizeTakenBefore) {
  FakeFileSystem::Entry& entry = fs_.AddFile("/data/f", "abc");
  entry.stat_size = 100;
  EXPECT_TRUE(Read("f", Recorder()));
  EXPECT_EQ(calls_, (std::vector<ProgressCall>{Call(3, 100)}));
  EXPECT_EQ(item_.Size(), 100);
  EXPECT_EQ(item_.Hash(), "pEgBeq8h2FJfwQroeqZynQ==");
}

// Without its size and time a file is not read: a line without them would
// pass for one.
TEST_F(HashItemFileTest, FileThatCannotBeLookedAtIsNotRead) {
  FakeFileSystem::Entry& entry = fs_.AddFile("/data/f", "abc", kModifiedMs);
  entry.stat_error = EACCES;
  EXPECT_THROW(Read("f", Recorder()), EFOpenError);
  EXPECT_EQ(entry.read_calls, 0);
  ExpectClearedWithPaths("f");
}

// ---- Size and date by name ----

// Only the last-write time counts: access and birth times that no date can
// hold are ignored, by name and in hashing alike.
TEST_F(HashItemFileTest, SizeAndDateByName) {
  FakeFileSystem::Entry& entry = fs_.AddFile("/data/f", "abcd", kModifiedMs);
  entry.accessed_ms = kYear10000Ms;
  entry.has_birth_time = true;
  entry.birth_ms = kYear10000Ms;
  EXPECT_TRUE(Read("f"));
  EXPECT_EQ(item_.Date(), FileTimeToDateTime(kModifiedMs));
  fs_.AddDirectory("/data/dir").modified_ms = kModifiedMs;
  EXPECT_EQ(HashItem::GetFileSize("/data/f"), 4);
  EXPECT_EQ(HashItem::GetFileDate("/data/f"), EncodeDate(2021, 3, 4) + EncodeTime(12, 34, 56, 789));
  EXPECT_EQ(HashItem::GetFileSize("/data/dir"), -1);
  EXPECT_EQ(HashItem::GetFileDate("/data/dir"), 0.0);
  EXPECT_EQ(HashItem::GetFileSize("/data/missing"), -1);
  EXPECT_EQ(HashItem::GetFileDate("/data/missing"), 0.0);
}

}  // namespace
}  // namespace hv
