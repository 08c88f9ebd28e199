#include "support/file_helpers.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>

#include "helpers/fake_file_system.h"
#include "helpers/temp_dir.h"
#include "platform/file_system.h"
#include "support/exceptions.h"

namespace hv {
namespace {

using hv::testing::FakeFileSystem;
using hv::testing::TempDir;

constexpr int64_t kYear1601Ms = -11644473600000;
constexpr int64_t kYear10000Ms = 253402300800000;
// 2021-03-04 12:34:56.789 UTC
constexpr int64_t kSampleMs = 1614861296789;
// 2020-01-02 03:04:05.006 UTC
constexpr int64_t kOtherMs = 1577934245006;

DateTime Sample() { return EncodeDate(2021, 3, 4) + EncodeTime(12, 34, 56, 789); }
DateTime Other() { return EncodeDate(2020, 1, 2) + EncodeTime(3, 4, 5, 6); }

// Makes a sparse file of `size` bytes; false when the file system refuses.
bool MakeSparseFile(const std::string& name, uintmax_t size) {
  std::error_code error;
  std::filesystem::resize_file(name, size, error);
  return !error;
}

// ---- Sizes of real files ----

TEST(FileSizeByNameTest, EmptyFile) {
  TempDir dir;
  EXPECT_EQ(FileSizeByName(dir.Write("empty", "")), 0);
}

TEST(FileSizeByNameTest, SmallFile) {
  TempDir dir;
  EXPECT_EQ(FileSizeByName(dir.Write("f", "hello")), 5);
}

TEST(FileSizeByNameTest, SizeWithTheLow32BitsAllOnes) {
  TempDir dir;
  const std::string name = dir.Write("sparse", "");
  if (!MakeSparseFile(name, 4294967295u)) GTEST_SKIP() << "no sparse files here";
  EXPECT_EQ(FileSizeByName(name), 4294967295);
}

TEST(FileSizeByNameTest, FileOfFiveGibibytes) {
  TempDir dir;
  const std::string name = dir.Write("sparse", "");
  if (!MakeSparseFile(name, 5ull << 30)) GTEST_SKIP() << "no sparse files here";
  EXPECT_EQ(FileSizeByName(name), int64_t{5} << 30);
}

TEST(FileSizeByNameTest, DirectoryHasNoSize) {
  TempDir dir;
  EXPECT_EQ(FileSizeByName(dir.path().string()), -1);
}

TEST(FileSizeByNameTest, MissingNameHasNoSize) {
  TempDir dir;
  EXPECT_EQ(FileSizeByName(dir.File("missing")), -1);
  EXPECT_EQ(FileSizeByName(""), -1);
}

TEST(FileSizeByNameTest, LinksAreFollowed) {
  TempDir dir;
  std::filesystem::create_symlink(dir.Write("target", "1234"), dir.File("link"));
  std::filesystem::create_symlink(dir.File("nowhere"), dir.File("dangling"));
  EXPECT_EQ(FileSizeByName(dir.File("link")), 4);
  EXPECT_EQ(FileSizeByName(dir.File("dangling")), -1);
}

// ---- Sizes through the fake ----

TEST(FileSizeByNameTest, NonRegularEntriesAndFailedQueriesHaveNoSize) {
  FakeFileSystem fs;
  platform::ScopedFileSystem scope(fs);
  fs.AddOther("/fifo");
  fs.AddFile("/locked", "abc").stat_error = EACCES;
  fs.AddGeneratedFile("/huge", int64_t{1} << 42);
  EXPECT_EQ(FileSizeByName("/fifo"), -1);
  EXPECT_EQ(FileSizeByName("/locked"), -1);
  EXPECT_EQ(FileSizeByName("/huge"), int64_t{1} << 42);
}

// ---- Conversion of file times ----

TEST(FileTimeToDateTimeTest, EpochOf1601IsANegativeDayCount) {
  EXPECT_EQ(FileTimeToDateTime(kYear1601Ms), -109205.0);
}

TEST(FileTimeToDateTimeTest, UnixEpoch) { EXPECT_EQ(FileTimeToDateTime(0), 25569.0); }

TEST(FileTimeToDateTimeTest, MillisecondsAreKept) {
  EXPECT_EQ(FileTimeToDateTime(kSampleMs), Sample());
  EXPECT_DOUBLE_EQ(FileTimeToDateTime(kSampleMs), 44259.0 + 45296789.0 / 86400000.0);
}

TEST(FileTimeToDateTimeTest, LastMillisecondOfYear9999) {
  EXPECT_EQ(FileTimeToDateTime(kYear10000Ms - 1),
            EncodeDate(9999, 12, 31) + EncodeTime(23, 59, 59, 999));
}

TEST(FileTimeToDateTimeTest, Year10000IsAConversionError) {
  try {
    FileTimeToDateTime(kYear10000Ms);
    FAIL() << "no exception";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.ClassName(), "EConvertError");
    EXPECT_EQ(e.Message(), "Invalid argument to date encode");
  }
}

TEST(FileTimeToDateTimeTest, BeforeYear1601IsZero) {
  EXPECT_EQ(FileTimeToDateTime(kYear1601Ms - 1), 0.0);
}

// ---- Times of real files ----

TEST(GetFileTimesTest, ModifiedTimeInUtcToTheMillisecond) {
  using namespace std::chrono;
  TempDir dir;
  const std::string name = dir.Write("t", "x");
  // Sub-millisecond parts are dropped, not rounded.
  const auto time = sys_time<milliseconds>(milliseconds(kSampleMs)) + 999999ns;
  const auto file_time = file_clock::from_sys(time);
  std::filesystem::last_write_time(name, file_time);
  if (std::filesystem::last_write_time(name) != file_time) {
    GTEST_SKIP() << "file system keeps coarser times";
  }
  DateTime created = -1, modified = -1, accessed = -1;
  ASSERT_TRUE(GetFileTimes(name, &created, &modified, &accessed));
  EXPECT_EQ(modified, Sample());
  EXPECT_GT(accessed, 0.0);
  EXPECT_GE(created, 0.0);
}

TEST(GetFileTimesTest, DirectoryHasNoTimes) {
  TempDir dir;
  DateTime created = 1, modified = 1, accessed = 1;
  EXPECT_FALSE(GetFileTimes(dir.path().string(), &created, &modified, &accessed));
  EXPECT_EQ(created, 0.0);
  EXPECT_EQ(modified, 0.0);
  EXPECT_EQ(accessed, 0.0);
}

TEST(GetFileTimesTest, MissingNameHasNoTimes) {
  TempDir dir;
  DateTime created = 1, modified = 1, accessed = 1;
  EXPECT_FALSE(GetFileTimes(dir.File("missing"), &created, &modified, &accessed));
  EXPECT_EQ(created, 0.0);
  EXPECT_EQ(modified, 0.0);
  EXPECT_EQ(accessed, 0.0);
}

// ---- Times through the fake ----

class FakeTimesTest : public ::testing::Test {
 protected:
  FakeFileSystem fs_;
  platform::ScopedFileSystem scope_{fs_};
  DateTime created_ = 1, modified_ = 1, accessed_ = 1;

  FakeFileSystem::Entry& File(int64_t birth_ms, int64_t modified_ms, int64_t accessed_ms) {
    FakeFileSystem::Entry& entry = fs_.AddFile("/f", "x", modified_ms);
    entry.has_birth_time = true;
    entry.birth_ms = birth_ms;
    entry.accessed_ms = accessed_ms;
    return entry;
  }
  bool Get() { return GetFileTimes("/f", &created_, &modified_, &accessed_); }
};

TEST_F(FakeTimesTest, EachTimeGoesToItsOutput) {
  File(kOtherMs, kSampleMs, 0);
  ASSERT_TRUE(Get());
  EXPECT_EQ(created_, Other());
  EXPECT_EQ(modified_, Sample());
  EXPECT_EQ(accessed_, 25569.0);
}

TEST_F(FakeTimesTest, NoBirthTimeGivesZeroCreated) {
  File(kOtherMs, kSampleMs, kOtherMs).has_birth_time = false;
  ASSERT_TRUE(Get());
  EXPECT_EQ(created_, 0.0);
  EXPECT_EQ(modified_, Sample());
  EXPECT_EQ(accessed_, Other());
}

TEST_F(FakeTimesTest, TimeBefore1601GivesZeroForThatTimeOnly) {
  File(kYear1601Ms - 1, kSampleMs, kYear1601Ms);
  ASSERT_TRUE(Get());
  EXPECT_EQ(created_, 0.0);
  EXPECT_EQ(modified_, Sample());
  EXPECT_EQ(accessed_, -109205.0);
}

TEST_F(FakeTimesTest, CreatedInYear10000RaisesWithNothingConverted) {
  File(kYear10000Ms, kSampleMs, kSampleMs);
  EXPECT_THROW(Get(), EConvertError);
  EXPECT_EQ(created_, 0.0);
  EXPECT_EQ(modified_, 0.0);
  EXPECT_EQ(accessed_, 0.0);
}

TEST_F(FakeTimesTest, ModifiedInYear10000KeepsCreated) {
  File(kOtherMs, kYear10000Ms + 12345, kSampleMs);
  try {
    Get();
    FAIL() << "no exception";
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "Invalid argument to date encode");
  }
  EXPECT_EQ(created_, Other());
  EXPECT_EQ(modified_, 0.0);
  EXPECT_EQ(accessed_, 0.0);
}

TEST_F(FakeTimesTest, AccessedInYear10000KeepsCreatedAndModified) {
  File(kOtherMs, kSampleMs, kYear10000Ms);
  EXPECT_THROW(Get(), EConvertError);
  EXPECT_EQ(created_, Other());
  EXPECT_EQ(modified_, Sample());
  EXPECT_EQ(accessed_, 0.0);
}

TEST_F(FakeTimesTest, FailedQueryGivesFalseAndZeros) {
  File(kOtherMs, kSampleMs, kSampleMs).stat_error = EACCES;
  EXPECT_FALSE(Get());
  EXPECT_EQ(created_, 0.0);
  EXPECT_EQ(modified_, 0.0);
  EXPECT_EQ(accessed_, 0.0);
}

TEST_F(FakeTimesTest, NonRegularEntryGivesFalseAndZeros) {
  FakeFileSystem::Entry& entry = fs_.AddOther("/f");
  entry.modified_ms = kSampleMs;
  EXPECT_FALSE(Get());
  EXPECT_EQ(modified_, 0.0);
  fs_.AddDirectory("/f").modified_ms = kSampleMs;
  EXPECT_FALSE(Get());
  EXPECT_EQ(modified_, 0.0);
}

// ---- The exit-time list ----

TEST(TempFileListTest, DeletesListedFilesThatExist) {
  TempDir dir;
  const std::string a = dir.Write("a", "1");
  const std::string b = dir.Write("b", "2");
  const std::string kept = dir.Write("kept", "3");
  std::filesystem::create_directory(dir.File("sub"));
  {
    TempFileList list;
    list.Add(a);
    list.Add(dir.File("missing"));
    list.Add(dir.File("sub"));
    list.Add(b);
    EXPECT_EQ(list.Names().size(), 4u);
  }
  EXPECT_FALSE(std::filesystem::exists(a));
  EXPECT_FALSE(std::filesystem::exists(b));
  EXPECT_TRUE(std::filesystem::exists(kept));
  EXPECT_TRUE(std::filesystem::is_directory(dir.File("sub")));
}

TEST(TempFileListTest, DanglingLinkIsNotTakenForAFile) {
  TempDir dir;
  std::filesystem::create_symlink(dir.File("nowhere"), dir.File("dangling"));
  {
    TempFileList list;
    list.Add(dir.File("dangling"));
  }
  EXPECT_TRUE(std::filesystem::is_symlink(dir.File("dangling")));
}

TEST(TempFileListTest, FailedDeletionDoesNotStopTheOthers) {
  FakeFileSystem fs;
  platform::ScopedFileSystem scope(fs);
  fs.AddFile("/a", "1");
  fs.AddFile("/b", "2").delete_error = EACCES;
  fs.AddFile("/c", "3");
  {
    TempFileList list;
    list.Add("/c");
    list.Add("/missing");
    list.Add("/b");
    list.Add("/a");
  }
  EXPECT_EQ(fs.deleted(), (std::vector<std::string>{"/c", "/a"}));
  EXPECT_NE(fs.Find("/b"), nullptr);
}

TEST(TempFileListTest, ProgramListIsOneObjectAndStartsEmpty) {
  EXPECT_EQ(&TempFiles(), &TempFiles());
  EXPECT_TRUE(TempFiles().Names().empty());
}

}  // namespace
}  // namespace hv
