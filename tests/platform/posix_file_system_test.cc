#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "helpers/temp_dir.h"
#include "platform/directory.h"
#include "platform/file_system.h"
#include "platform/posix_file.h"

namespace hv::platform {
namespace {

using hv::testing::TempDir;
using std::chrono::file_clock;
using std::chrono::nanoseconds;
using std::chrono::sys_days;

constexpr size_t kAlignment = 0x10000;

std::string Pattern(size_t size) {
  std::string result(size, '\0');
  for (size_t i = 0; i < size; ++i) result[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
  return result;
}

// A buffer of `size` bytes that starts on a 64 KiB boundary.
class AlignedBuffer {
 public:
  explicit AlignedBuffer(size_t size) : storage_(size + kAlignment) {
    const auto start = reinterpret_cast<uintptr_t>(storage_.data());
    data_ = storage_.data() + (kAlignment - start % kAlignment) % kAlignment;
  }
  std::byte* data() { return data_; }

 private:
  std::vector<std::byte> storage_;
  std::byte* data_;
};

// Reads the whole file in reads of `count` bytes starting at `buffer`.
std::string ReadAll(ReadableFile& file, std::byte* buffer, size_t count) {
  std::string result;
  for (;;) {
    ErrorCode error = 0;
    const int64_t n = file.Read(buffer, count, &error);
    EXPECT_GE(n, 0) << "error " << error;
    if (n <= 0) return result;
    result.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
  }
}

// Sets the last-write time; false when the file system cannot keep it exactly.
bool SetModified(const std::string& name, std::chrono::sys_time<nanoseconds> time) {
  const auto file_time = file_clock::from_sys(time);
  std::filesystem::last_write_time(name, file_time);
  return std::filesystem::last_write_time(name) == file_time;
}

TEST(PosixFileSystemStatTest, RegularFile) {
  TempDir dir;
  const std::string name = dir.Write("a.bin", Pattern(12345));
  FileStatus status;
  ASSERT_EQ(RealFileSystem().Stat(name, &status), 0);
  EXPECT_TRUE(status.is_regular());
  EXPECT_FALSE(status.is_directory());
  EXPECT_EQ(status.size, 12345);
  EXPECT_GT(status.accessed_ms, 0);
  if (status.has_birth_time) {
    EXPECT_NE(status.birth_ms, 0);
  }
}

TEST(PosixFileSystemStatTest, EmptyFile) {
  TempDir dir;
  const std::string name = dir.Write("empty", "");
  FileStatus status;
  ASSERT_EQ(RealFileSystem().Stat(name, &status), 0);
  EXPECT_TRUE(status.is_regular());
  EXPECT_EQ(status.size, 0);
}

TEST(PosixFileSystemStatTest, Directory) {
  TempDir dir;
  FileStatus status;
  ASSERT_EQ(RealFileSystem().Stat(dir.path().string(), &status), 0);
  EXPECT_FALSE(status.is_regular());
  EXPECT_TRUE(status.is_directory());
}

TEST(PosixFileSystemStatTest, MissingName) {
  TempDir dir;
  FileStatus status;
  EXPECT_EQ(RealFileSystem().Stat(dir.File("missing"), &status), ENOENT);
  EXPECT_EQ(RealFileSystem().Stat(dir.File("missing/below"), &status), ENOENT);
}

TEST(PosixFileSystemStatTest, FileInPlaceOfDirectory) {
  TempDir dir;
  const std::string name = dir.Write("file", "x");
  FileStatus status;
  EXPECT_EQ(RealFileSystem().Stat(name + "/below", &status), ENOTDIR);
}

TEST(PosixFileSystemStatTest, SymbolicLinksAreFollowed) {
  TempDir dir;
  const std::string target = dir.Write("target", "12345");
  std::filesystem::create_symlink(target, dir.File("link"));
  std::filesystem::create_directory_symlink(dir.path(), dir.File("dirlink"));
  std::filesystem::create_symlink(dir.File("nowhere"), dir.File("dangling"));
  FileStatus status;
  ASSERT_EQ(RealFileSystem().Stat(dir.File("link"), &status), 0);
  EXPECT_TRUE(status.is_regular());
  EXPECT_EQ(status.size, 5);
  ASSERT_EQ(RealFileSystem().Stat(dir.File("dirlink"), &status), 0);
  EXPECT_TRUE(status.is_directory());
  EXPECT_EQ(RealFileSystem().Stat(dir.File("dangling"), &status), ENOENT);
}

TEST(PosixFileSystemStatTest, DeviceAndInodeIdentifyTheFile) {
  TempDir dir;
  const std::string a = dir.Write("a", "1");
  const std::string b = dir.Write("b", "1");
  std::filesystem::create_hard_link(a, dir.File("a2"));
  FileStatus sa, sb, sa2;
  ASSERT_EQ(RealFileSystem().Stat(a, &sa), 0);
  ASSERT_EQ(RealFileSystem().Stat(b, &sb), 0);
  ASSERT_EQ(RealFileSystem().Stat(dir.File("a2"), &sa2), 0);
  EXPECT_EQ(sa.device, sa2.device);
  EXPECT_EQ(sa.inode, sa2.inode);
  EXPECT_EQ(sa.device, sb.device);
  EXPECT_NE(sa.inode, sb.inode);
}

TEST(PosixFileSystemStatTest, ModifiedTimeIsTruncatedToTheMillisecond) {
  using namespace std::chrono;
  TempDir dir;
  const std::string name = dir.Write("t", "x");
  const sys_days day = 2021y / March / 4;
  const auto time = day + 12h + 34min + 56s + 789ms + 999us + 999ns;
  if (!SetModified(name, time)) GTEST_SKIP() << "file system keeps coarser times";
  FileStatus status;
  ASSERT_EQ(RealFileSystem().Stat(name, &status), 0);
  const int64_t expected =
      duration_cast<milliseconds>((day + 12h + 34min + 56s + 789ms).time_since_epoch()).count();
  EXPECT_EQ(status.modified_ms, expected);
  EXPECT_EQ(status.modified_ms, 1614861296789);
}

TEST(PosixFileSystemStatTest, TimeBeforeTheEpochIsRoundedDown) {
  using namespace std::chrono;
  TempDir dir;
  const std::string name = dir.Write("t", "x");
  // 1969-12-31 23:59:59.9995: half a millisecond before the epoch.
  const sys_time<nanoseconds> time{nanoseconds(-500000)};
  if (!SetModified(name, time)) GTEST_SKIP() << "file system keeps no times before 1970";
  FileStatus status;
  ASSERT_EQ(RealFileSystem().Stat(name, &status), 0);
  EXPECT_EQ(status.modified_ms, -1);
}

TEST(PosixFileSystemStatTest, TimeBeforeTheEpochOnAWholeSecond) {
  using namespace std::chrono;
  TempDir dir;
  const std::string name = dir.Write("t", "x");
  const sys_time<nanoseconds> time{seconds(-86400) + milliseconds(250)};
  if (!SetModified(name, time)) GTEST_SKIP() << "file system keeps no times before 1970";
  FileStatus status;
  ASSERT_EQ(RealFileSystem().Stat(name, &status), 0);
  EXPECT_EQ(status.modified_ms, -86400000 + 250);
}

TEST(PosixFileSystemOpenTest, ReadsTheWholeFile) {
  TempDir dir;
  const std::string contents = Pattern(300000);
  const std::string name = dir.Write("a.bin", contents);
  std::unique_ptr<ReadableFile> file;
  ASSERT_EQ(RealFileSystem().OpenForReading(name, FileSystem::kAlwaysCached, true, &file, nullptr), 0);
  ASSERT_NE(file, nullptr);
  std::vector<std::byte> buffer(4096);
  EXPECT_EQ(ReadAll(*file, buffer.data(), buffer.size()), contents);
  // Further reads keep reporting the end.
  ErrorCode error = 0;
  EXPECT_EQ(file->Read(buffer.data(), buffer.size(), &error), 0);
}

TEST(PosixFileSystemOpenTest, EmptyFile) {
  TempDir dir;
  const std::string name = dir.Write("empty", "");
  std::unique_ptr<ReadableFile> file;
  ASSERT_EQ(RealFileSystem().OpenForReading(name, FileSystem::kAlwaysCached, true, &file, nullptr), 0);
  std::vector<std::byte> buffer(16);
  EXPECT_EQ(ReadAll(*file, buffer.data(), buffer.size()), "");
}

TEST(PosixFileSystemOpenTest, UnbufferedReadOfAnUnalignedLength) {
  TempDir dir;
  const std::string contents = Pattern(200001);
  const std::string name = dir.Write("a.bin", contents);
  std::unique_ptr<ReadableFile> file;
  ASSERT_EQ(RealFileSystem().OpenForReading(name, 0, true, &file, nullptr), 0);
  AlignedBuffer buffer(4 * kAlignment);
  EXPECT_EQ(ReadAll(*file, buffer.data(), 4 * kAlignment), contents);
}

TEST(PosixFileSystemOpenTest, UnbufferedReadIntoAnUnalignedBufferFallsBackToTheCache) {
  TempDir dir;
  const std::string contents = Pattern(100000);
  const std::string name = dir.Write("a.bin", contents);
  std::unique_ptr<ReadableFile> file;
  ASSERT_EQ(RealFileSystem().OpenForReading(name, 0, true, &file, nullptr), 0);
  AlignedBuffer buffer(2 * kAlignment + 1);
  EXPECT_EQ(ReadAll(*file, buffer.data() + 1, 2 * kAlignment - 3), contents);
}

TEST(PosixFileSystemOpenTest, MissingFile) {
  TempDir dir;
  std::unique_ptr<ReadableFile> file;
  EXPECT_EQ(RealFileSystem().OpenForReading(dir.File("missing"), FileSystem::kAlwaysCached, true, &file, nullptr),
            ENOENT);
  EXPECT_EQ(file, nullptr);
  EXPECT_EQ(RealFileSystem().OpenForReading(dir.File("missing"), 0, true, &file, nullptr), ENOENT);
  EXPECT_EQ(file, nullptr);
}

// Only a regular file is ever opened, whatever the name has become, so that
// nothing can block or be read forever; also where /proc is missing.
TEST(PosixFileSystemOpenTest, OnlyARegularFileIsOpened) {
  TempDir dir;
  dir.Write("file", "contents");
  ASSERT_EQ(CreateFifo(dir.File("fifo")), 0);
  ASSERT_EQ(CreateSocketFile(dir.File("socket")), 0);
  std::filesystem::create_symlink("/dev/zero", dir.File("zero"));
  std::filesystem::create_symlink("file", dir.File("link"));
  struct Case {
    std::string name;
    bool follow_links;
    ErrorCode error;
    FileKind kind;
  };
  const std::vector<Case> cases = {
      {"file", false, 0, FileKind::kRegular},          {".", true, EISDIR, FileKind::kDirectory},
      {"fifo", true, ENXIO, FileKind::kFifo},          {"socket", true, ENXIO, FileKind::kSocket},
      {"zero", true, ENXIO, FileKind::kCharacterDevice}, {"zero", false, ELOOP, FileKind::kSymbolicLink},
      {"link", true, 0, FileKind::kRegular},           {"link", false, ELOOP, FileKind::kSymbolicLink},
  };
  std::unique_ptr<DirectoryHandle> directory;
  ASSERT_EQ(RealFileSystem().OpenDirectoryHandle(dir.path(), &directory), 0);
  FileStatus file_status;
  ASSERT_EQ(RealFileSystem().Stat(dir.File("file"), &file_status), 0);
  // By the whole path, and by the name alone in the directory held open.
  for (const bool relative : {false, true}) {
    for (const int reopen_directory : {DescriptorDirectory(), -1}) {
      for (const bool unbuffered : {false, true}) {
        if (relative && (unbuffered || reopen_directory == -1)) continue;
        for (const Case& c : cases) {
          SCOPED_TRACE(c.name + (relative ? " relative" : "") + (reopen_directory == -1 ? " without /proc" : "") +
                       (c.follow_links ? " followed" : "") + (unbuffered ? " unbuffered" : ""));
          std::unique_ptr<ReadableFile> file;
          FileStatus status;
          EXPECT_EQ(relative ? directory->OpenForReading(c.name, c.follow_links, &file, &status)
                             : OpenRegularForReading(kCurrentDirectory, dir.File(c.name),
                                                     unbuffered ? 0 : FileSystem::kAlwaysCached, c.follow_links,
                                                     reopen_directory, &file, &status),
                    c.error);
          EXPECT_EQ(status.kind, c.kind);
          if (c.error != 0) {
            EXPECT_EQ(file, nullptr);
          } else {
            EXPECT_EQ(status.inode, file_status.inode);
            FileStatus now;
            ASSERT_EQ(file->Status(&now), 0);
            EXPECT_EQ(now.size, 8);
            EXPECT_EQ(now.changed, file_status.changed);
            AlignedBuffer buffer(kAlignment);
            EXPECT_EQ(ReadAll(*file, buffer.data(), kAlignment), "contents");
          }
        }
      }
    }
  }
}

size_t OpenDescriptors() {
  const std::filesystem::directory_iterator fds("/proc/thread-self/fd");
  return static_cast<size_t>(std::distance(begin(fds), end(fds)));
}

// A thread with a table of its own keeps what it read open until
// CloseDeferred (both of its descriptors); any other closes at once.
TEST(PosixFileSystemOpenTest, OwnDescriptorsAreClosedTogether) {
  TempDir dir;
  dir.Write("file", "contents");
  std::unique_ptr<DirectoryHandle> directory;
  ASSERT_EQ(RealFileSystem().OpenDirectoryHandle(dir.path(), &directory), 0);
  const auto read_and_drop = [&directory] {
    std::unique_ptr<ReadableFile> file;
    FileStatus status;
    ASSERT_EQ(directory->OpenForReading("file", true, &file, &status), 0);
    AlignedBuffer buffer(kAlignment);
    EXPECT_EQ(ReadAll(*file, buffer.data(), kAlignment), "contents");
  };
  DescriptorDirectory();  // held open from its first use on
  const size_t shared = OpenDescriptors();
  read_and_drop();
  EXPECT_EQ(OpenDescriptors(), shared);
  std::thread([&read_and_drop] {
    if (!UseOwnDescriptors()) return;  // refused here: nothing is kept
    const size_t own = OpenDescriptors();
    read_and_drop();
    read_and_drop();
    EXPECT_EQ(OpenDescriptors(), own + 4);
    RealFileSystem().CloseDeferred();
    EXPECT_EQ(OpenDescriptors(), own);
  }).join();
}

TEST(PosixFileSystemOpenTest, SymbolicLinkIsFollowed) {
  TempDir dir;
  const std::string target = dir.Write("target", "contents");
  std::filesystem::create_symlink(target, dir.File("link"));
  std::unique_ptr<ReadableFile> file;
  ASSERT_EQ(RealFileSystem().OpenForReading(dir.File("link"), FileSystem::kAlwaysCached, true, &file, nullptr), 0);
  std::vector<std::byte> buffer(3);
  EXPECT_EQ(ReadAll(*file, buffer.data(), buffer.size()), "contents");
}

TEST(PosixFileSystemOpenTest, OpenFileStaysReadableAfterDeletion) {
  TempDir dir;
  const std::string name = dir.Write("a", "still here");
  std::unique_ptr<ReadableFile> file;
  FileStatus status;
  ASSERT_EQ(RealFileSystem().OpenForReading(name, FileSystem::kAlwaysCached, true, &file, &status), 0);
  ASSERT_EQ(RealFileSystem().DeleteFile(name), 0);
  EXPECT_EQ(status.size, 10);
  std::vector<std::byte> buffer(64);
  EXPECT_EQ(ReadAll(*file, buffer.data(), buffer.size()), "still here");
}

TEST(PosixFileSystemDeleteTest, DeletesAFile) {
  TempDir dir;
  const std::string name = dir.Write("a", "x");
  EXPECT_EQ(RealFileSystem().DeleteFile(name), 0);
  EXPECT_FALSE(std::filesystem::exists(name));
  EXPECT_EQ(RealFileSystem().DeleteFile(name), ENOENT);
}

TEST(PosixFileSystemDeleteTest, DeletesALinkNotItsTarget) {
  TempDir dir;
  const std::string target = dir.Write("target", "x");
  std::filesystem::create_symlink(target, dir.File("link"));
  EXPECT_EQ(RealFileSystem().DeleteFile(dir.File("link")), 0);
  EXPECT_TRUE(std::filesystem::exists(target));
  EXPECT_FALSE(std::filesystem::is_symlink(dir.File("link")));
}

TEST(PosixFileSystemDeleteTest, DirectoryIsNotDeleted) {
  TempDir dir;
  std::filesystem::create_directory(dir.File("sub"));
  EXPECT_NE(RealFileSystem().DeleteFile(dir.File("sub")), 0);
  EXPECT_TRUE(std::filesystem::is_directory(dir.File("sub")));
}

TEST(PosixFileSystemTest, CurrentDirectory) {
  EXPECT_EQ(RealFileSystem().CurrentDirectory(), std::filesystem::current_path().string());
}

TEST(PosixFileSystemTest, FullPathOfARelativeName) {
  const std::string cwd = std::filesystem::current_path().string();
  const std::string expected = cwd == "/" ? "/x/y" : cwd + "/x/y";
  EXPECT_EQ(RealFileSystem().FullPath("x/./z/../y"), expected);
}

TEST(PosixFileSystemTest, ErrorTexts) {
  FileSystem& fs = RealFileSystem();
  EXPECT_EQ(fs.ErrorText(ENOENT), "No such file or directory");
  EXPECT_EQ(fs.ErrorText(EACCES), "Permission denied");
  EXPECT_EQ(fs.ErrorText(EISDIR), "Is a directory");
  EXPECT_EQ(fs.ErrorText(EIO), "Input/output error");
  EXPECT_EQ(fs.ErrorText(99999), "Unknown error 99999");
}

}  // namespace
}  // namespace hv::platform

namespace hv::platform {
namespace {

// Until Rename the temporary has no name in the directory (where the file
// system allows that), so a process killed while writing it leaves nothing.
TEST(PosixFileSystemTemporaryTest, ReplacesTheTargetAndLeavesNothingElse) {
  TempDir dir;
  const std::string target = dir.File("list.txt");
  dir.Write("list.txt", "old");
  FileSystem& fs = RealFileSystem();
  const auto names = [&dir] {
    std::vector<std::string> result;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      result.push_back(entry.path().filename().string());
    }
    return result;
  };
  for (const bool keep : {false, true}) {
    std::string temp;
    std::unique_ptr<File> file;
    ASSERT_EQ(fs.CreateTemporary(target, &temp, &file), 0);
    EXPECT_EQ(temp.rfind(dir.File(".list.txt.tmp"), 0), 0u) << temp;
    ASSERT_EQ(file->Write("new", 3), 0);
    ASSERT_EQ(file->Close(), 0);
    if (keep) {
      ASSERT_EQ(fs.Rename(temp, target), 0);
    } else {
      EXPECT_EQ(fs.DeleteFile(temp), 0);
    }
    EXPECT_EQ(names(), std::vector<std::string>{"list.txt"});
  }
  std::ifstream in(target, std::ios::binary);
  std::string contents((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(contents, "new");
}

}  // namespace
}  // namespace hv::platform
