#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "helpers/temp_dir.h"
#include "platform/directory.h"
#include "platform/file_system.h"

namespace hv::platform {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

// Every entry of a directory by name, with its kind; fails on a repeated name.
std::map<std::string, EntryKind> List(const std::string& path) {
  std::unique_ptr<DirectoryReader> reader;
  EXPECT_EQ(OpenPosixDirectory(path, &reader), 0);
  std::map<std::string, EntryKind> entries;
  if (!reader) return entries;
  DirectoryEntry entry;
  while (reader->Next(&entry)) {
    EXPECT_TRUE(entries.emplace(std::string(entry.name), entry.kind).second) << entry.name;
  }
  EXPECT_EQ(reader->error(), 0);
  // Stays at its end.
  EXPECT_FALSE(reader->Next(&entry));
  return entries;
}

TEST(PosixDirectoryTest, ListsEveryKindWithoutDotEntries) {
  TempDir dir;
  dir.Write("file.txt", "x");
  dir.Write(".hidden", "");
  fs::create_directory(dir.path() / "sub");
  fs::create_symlink("file.txt", dir.path() / "file.lnk");
  fs::create_directory_symlink("sub", dir.path() / "dir.lnk");
  fs::create_symlink("missing", dir.path() / "dangling");
  ASSERT_EQ(CreateFifo(dir.File("fifo")), 0);
  ASSERT_EQ(CreateSocketFile(dir.File("socket")), 0);

  const std::map<std::string, EntryKind> expected = {
      {"file.txt", EntryKind::kRegular},     {".hidden", EntryKind::kRegular},
      {"sub", EntryKind::kDirectory},        {"file.lnk", EntryKind::kSymbolicLink},
      {"dir.lnk", EntryKind::kSymbolicLink}, {"dangling", EntryKind::kSymbolicLink},
      {"fifo", EntryKind::kOther},           {"socket", EntryKind::kOther},
  };
  EXPECT_EQ(List(dir.path().string()), expected);

  // A stat of a name in the open directory is the stat of the full name.
  std::unique_ptr<DirectoryReader> reader;
  ASSERT_EQ(OpenPosixDirectory(dir.path().string(), &reader), 0);
  for (const auto& [name, kind] : expected) {
    FileStatus by_name;
    FileStatus by_path;
    const ErrorCode error = reader->Stat(name, &by_name);
    ASSERT_EQ(error, RealFileSystem().Stat(dir.File(name), &by_path)) << name;
    if (error != 0) continue;
    EXPECT_EQ(by_name.kind, by_path.kind) << name;
    EXPECT_EQ(by_name.inode, by_path.inode) << name;
    EXPECT_EQ(by_name.size, by_path.size) << name;
  }
  FileStatus status;
  EXPECT_EQ(reader->Stat("missing", &status), ENOENT);
}

TEST(PosixDirectoryTest, EmptyDirectoryHasNoEntries) {
  TempDir dir;
  EXPECT_TRUE(List(dir.path().string()).empty());
}

TEST(PosixDirectoryTest, NamesComeAsTheyAreStored) {
  TempDir dir;
  const std::string odd[] = {"back\\slash", "quo\"te", "bad\xff", "line\nbreak", "\xc3\xa9t\xc3\xa9"};
  for (const std::string& name : odd) dir.Write(name, "");
  const std::map<std::string, EntryKind> entries = List(dir.path().string());
  EXPECT_EQ(entries.size(), std::size(odd));
  for (const std::string& name : odd) EXPECT_EQ(entries.count(name), 1u) << name;
}

TEST(PosixDirectoryTest, ListsLargeDirectoriesWhole) {
  TempDir dir;
  constexpr int kCount = 3000;
  for (int i = 0; i < kCount; ++i) dir.Write(std::to_string(i) + ".f", "");
  const std::map<std::string, EntryKind> entries = List(dir.path().string());
  EXPECT_EQ(entries.size(), static_cast<size_t>(kCount));
}

TEST(PosixDirectoryTest, IdentityIsThatOfTheDirectory) {
  TempDir dir;
  fs::create_directory(dir.path() / "sub");
  fs::create_directory_symlink("sub", dir.path() / "link");
  FileStatus status;
  ASSERT_EQ(RealFileSystem().Stat(dir.File("sub"), &status), 0);

  std::unique_ptr<DirectoryReader> direct;
  ASSERT_EQ(OpenPosixDirectory(dir.File("sub"), &direct), 0);
  EXPECT_EQ(direct->device(), status.device);
  EXPECT_EQ(direct->inode(), status.inode);

  // A link is followed: it lists, and is, the directory it leads to.
  std::unique_ptr<DirectoryReader> linked;
  ASSERT_EQ(OpenPosixDirectory(dir.File("link"), &linked), 0);
  EXPECT_EQ(linked->device(), status.device);
  EXPECT_EQ(linked->inode(), status.inode);

  std::unique_ptr<DirectoryReader> parent;
  ASSERT_EQ(OpenPosixDirectory(dir.path().string(), &parent), 0);
  EXPECT_NE(parent->inode(), status.inode);
}

TEST(PosixDirectoryTest, WhatIsNoDirectoryCannotBeOpened) {
  TempDir dir;
  dir.Write("file", "x");
  fs::create_symlink("missing", dir.path() / "dangling");
  std::unique_ptr<DirectoryReader> reader;
  EXPECT_EQ(OpenPosixDirectory(dir.File("missing"), &reader), ENOENT);
  EXPECT_EQ(OpenPosixDirectory(dir.File("file"), &reader), ENOTDIR);
  EXPECT_EQ(OpenPosixDirectory(dir.File("dangling"), &reader), ENOENT);
  EXPECT_EQ(OpenPosixDirectory("", &reader), ENOENT);
  EXPECT_EQ(reader, nullptr);
}

TEST(PosixDirectoryTest, UnreadableDirectoryFailsToOpen) {
  TempDir dir;
  const fs::path locked = dir.path() / "locked";
  fs::create_directory(locked);
  fs::permissions(locked, fs::perms::none);
  std::unique_ptr<DirectoryReader> reader;
  const ErrorCode error = OpenPosixDirectory(locked.string(), &reader);
  fs::permissions(locked, fs::perms::owner_all);
  if (error == 0) GTEST_SKIP() << "this user reads every directory";
  EXPECT_EQ(error, EACCES);
}

TEST(PosixDirectoryTest, SpecialFilesCannotBeMadeTwice) {
  TempDir dir;
  ASSERT_EQ(CreateFifo(dir.File("fifo")), 0);
  EXPECT_EQ(CreateFifo(dir.File("fifo")), EEXIST);
  ASSERT_EQ(CreateSocketFile(dir.File("socket")), 0);
  EXPECT_EQ(CreateSocketFile(dir.File("socket")), EADDRINUSE);
  EXPECT_EQ(CreateSocketFile(dir.File(std::string(200, 's'))), ENAMETOOLONG);
}

TEST(PosixDirectoryTest, TheRealFileSystemListsThroughIt) {
  TempDir dir;
  dir.Write("f", "");
  std::unique_ptr<DirectoryReader> reader;
  ASSERT_EQ(RealFileSystem().OpenDirectory(dir.path().string() + "/", &reader), 0);
  DirectoryEntry entry;
  ASSERT_TRUE(reader->Next(&entry));
  EXPECT_EQ(entry.name, "f");
  EXPECT_EQ(entry.kind, EntryKind::kRegular);
  EXPECT_FALSE(reader->Next(&entry));
  EXPECT_EQ(RealFileSystem().OpenDirectory(dir.File("f"), &reader), ENOTDIR);
}

}  // namespace
}  // namespace hv::platform
