#include "platform/posix_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "helpers/temp_dir.h"

namespace hv::platform {
namespace {

using hv::testing::ReadFile;
using hv::testing::TempDir;

// The process's umask, from /proc rather than a call that would change it.
std::filesystem::perms Umask() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Umask:", 0) == 0) {
      return static_cast<std::filesystem::perms>(std::stoi(line.substr(6), nullptr, 8));
    }
  }
  return std::filesystem::perms::none;
}

std::unique_ptr<File> MustOpen(const std::string& path, OpenMode mode) {
  std::unique_ptr<File> file;
  const ErrorCode error = OpenPosixFile(path, mode, &file);
  EXPECT_EQ(error, 0) << path;
  return file;
}

TEST(PosixFileTest, OpenModeValues) {
  EXPECT_EQ(static_cast<uint16_t>(OpenMode::fmOpenRead), 0x0020);
  EXPECT_EQ(static_cast<uint16_t>(OpenMode::fmOpenReadWrite), 0x0022);
  EXPECT_EQ(static_cast<uint16_t>(OpenMode::fmCreate), 0xFF00);
}

TEST(PosixFileTest, ReadExistingFile) {
  TempDir dir;
  const std::string name = dir.Write("a.txt", "hello world");
  std::unique_ptr<File> file = MustOpen(name, OpenMode::fmOpenRead);
  ASSERT_NE(file, nullptr);
  int64_t size = 0;
  ASSERT_EQ(file->Size(&size), 0);
  EXPECT_EQ(size, 11);
  char buffer[32];
  ErrorCode error = 0;
  EXPECT_EQ(file->Read(buffer, 5, &error), 5);
  EXPECT_EQ(std::string(buffer, 5), "hello");
  // Fewer bytes only at the end.
  EXPECT_EQ(file->Read(buffer, 32, &error), 6);
  EXPECT_EQ(std::string(buffer, 6), " world");
  EXPECT_EQ(file->Read(buffer, 32, &error), 0);
  // Read only.
  EXPECT_EQ(file->Write("x", 1), EBADF);
  EXPECT_EQ(file->Close(), 0);
  EXPECT_EQ(ReadFile(name), "hello world");
}

TEST(PosixFileTest, OpenFailures) {
  TempDir dir;
  std::unique_ptr<File> file;
  EXPECT_EQ(OpenPosixFile(dir.File("missing"), OpenMode::fmOpenRead, &file), ENOENT);
  EXPECT_EQ(OpenPosixFile(dir.File("missing"), OpenMode::fmOpenReadWrite, &file), ENOENT);
  EXPECT_EQ(OpenPosixFile(dir.File("no/such/file"), OpenMode::fmCreate, &file), ENOENT);
  EXPECT_EQ(file, nullptr);
  EXPECT_FALSE(std::filesystem::exists(dir.File("missing")));
  // open(2) would take a directory for reading; it is no file here.
  EXPECT_EQ(OpenPosixFile(dir.path().string(), OpenMode::fmOpenRead, &file), EISDIR);
  EXPECT_EQ(OpenPosixFile(dir.path().string(), OpenMode::fmCreate, &file), EISDIR);
  EXPECT_EQ(file, nullptr);
}

TEST(PosixFileTest, ReadWriteKeepsTheContents) {
  TempDir dir;
  const std::string name = dir.Write("a.txt", "0123456789");
  std::unique_ptr<File> file = MustOpen(name, OpenMode::fmOpenReadWrite);
  ASSERT_NE(file, nullptr);
  int64_t position = -1;
  ASSERT_EQ(file->Seek(4, Whence::kBeginning, &position), 0);
  EXPECT_EQ(position, 4);
  ASSERT_EQ(file->Write("ab", 2), 0);
  ASSERT_EQ(file->Seek(0, Whence::kCurrent, &position), 0);
  EXPECT_EQ(position, 6);
  ASSERT_EQ(file->Seek(-1, Whence::kEnd, &position), 0);
  EXPECT_EQ(position, 9);
  ASSERT_EQ(file->Write("XYZ", 3), 0);
  EXPECT_EQ(file->Sync(), 0);
  EXPECT_EQ(file->Close(), 0);
  EXPECT_EQ(ReadFile(name), "0123ab678XYZ");
}

TEST(PosixFileTest, CreateMakesANewFileOrEmptiesAnOldOne) {
  TempDir dir;
  const std::string fresh = dir.File("new.txt");
  std::unique_ptr<File> file = MustOpen(fresh, OpenMode::fmCreate);
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(file->Write("abc", 3), 0);
  // Created for reading too.
  int64_t position = 0;
  ASSERT_EQ(file->Seek(0, Whence::kBeginning, &position), 0);
  char buffer[3];
  ErrorCode error = 0;
  EXPECT_EQ(file->Read(buffer, 3, &error), 3);
  EXPECT_EQ(file->Close(), 0);
  EXPECT_EQ(ReadFile(fresh), "abc");
  using std::filesystem::perms;
  const perms expected = (perms::owner_read | perms::owner_write | perms::group_read | perms::group_write |
                          perms::others_read | perms::others_write) &
                         ~Umask();
  EXPECT_EQ(std::filesystem::status(fresh).permissions(), expected);

  const std::string old = dir.Write("old.txt", "old contents");
  file = MustOpen(old, OpenMode::fmCreate);
  ASSERT_NE(file, nullptr);
  int64_t size = -1;
  ASSERT_EQ(file->Size(&size), 0);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(file->Close(), 0);
  EXPECT_EQ(ReadFile(old), "");
}

TEST(PosixFileTest, TruncateAndLargeOffsets) {
  TempDir dir;
  const std::string name = dir.Write("a.bin", "0123456789");
  std::unique_ptr<File> file = MustOpen(name, OpenMode::fmOpenReadWrite);
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(file->Truncate(4), 0);
  int64_t size = 0;
  ASSERT_EQ(file->Size(&size), 0);
  EXPECT_EQ(size, 4);
  // Beyond 4 GiB: the file grows as a sparse file.
  const int64_t far = (int64_t{1} << 32) + 10;
  int64_t position = 0;
  ASSERT_EQ(file->Seek(far, Whence::kBeginning, &position), 0);
  EXPECT_EQ(position, far);
  ASSERT_EQ(file->Truncate(far + 1), 0);
  ASSERT_EQ(file->Size(&size), 0);
  EXPECT_EQ(size, far + 1);
  ASSERT_EQ(file->Truncate(4), 0);
  EXPECT_EQ(file->Seek(-1, Whence::kBeginning, &position), EINVAL);
  EXPECT_EQ(file->Close(), 0);
  EXPECT_EQ(ReadFile(name), "0123");
}

TEST(PosixFileTest, EverythingFailsAfterClose) {
  TempDir dir;
  std::unique_ptr<File> file = MustOpen(dir.Write("a.txt", "abc"), OpenMode::fmOpenReadWrite);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->Close(), 0);
  EXPECT_EQ(file->Close(), 0);
  char buffer[4];
  ErrorCode error = 0;
  EXPECT_EQ(file->Read(buffer, 4, &error), -1);
  EXPECT_EQ(error, EBADF);
  EXPECT_EQ(file->Write("x", 1), EBADF);
  int64_t value = 0;
  EXPECT_EQ(file->Seek(0, Whence::kBeginning, &value), EBADF);
  EXPECT_EQ(file->Size(&value), EBADF);
  EXPECT_EQ(file->Truncate(0), EBADF);
  EXPECT_EQ(file->Sync(), EBADF);
}

TEST(PosixFileTest, WriteToAFullDeviceFails) {
  std::unique_ptr<File> file = MustOpen("/dev/full", OpenMode::fmOpenReadWrite);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->Write("abc", 3), ENOSPC);
  EXPECT_EQ(file->Close(), 0);
}

TEST(PosixFileTest, LargeTransfers) {
  TempDir dir;
  std::string data(3 * 1024 * 1024 + 17, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 31 + 7);
  const std::string name = dir.File("big.bin");
  std::unique_ptr<File> file = MustOpen(name, OpenMode::fmCreate);
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(file->Write(data.data(), static_cast<int64_t>(data.size())), 0);
  int64_t position = 0;
  ASSERT_EQ(file->Seek(0, Whence::kBeginning, &position), 0);
  std::string back(data.size() + 10, '\0');
  ErrorCode error = 0;
  EXPECT_EQ(file->Read(back.data(), static_cast<int64_t>(back.size()), &error),
            static_cast<int64_t>(data.size()));
  back.resize(data.size());
  EXPECT_TRUE(back == data);
  EXPECT_EQ(file->Close(), 0);
}

}  // namespace
}  // namespace hv::platform
