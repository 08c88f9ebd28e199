#include <gtest/gtest.h>

#include <cerrno>

#include "helpers/fake_file_system.h"
#include "platform/file_system.h"

namespace hv::platform {
namespace {

using hv::testing::FakeFileSystem;

TEST(NormalizeAbsolutePathTest, RootStaysRoot) {
  EXPECT_EQ(NormalizeAbsolutePath("/"), "/");
  EXPECT_EQ(NormalizeAbsolutePath("//"), "/");
  EXPECT_EQ(NormalizeAbsolutePath("///"), "/");
  EXPECT_EQ(NormalizeAbsolutePath("/."), "/");
  EXPECT_EQ(NormalizeAbsolutePath("/./"), "/");
}

TEST(NormalizeAbsolutePathTest, ParentOfRootIsRoot) {
  EXPECT_EQ(NormalizeAbsolutePath("/.."), "/");
  EXPECT_EQ(NormalizeAbsolutePath("/../.."), "/");
  EXPECT_EQ(NormalizeAbsolutePath("/../a"), "/a");
  EXPECT_EQ(NormalizeAbsolutePath("/a/../../b"), "/b");
}

TEST(NormalizeAbsolutePathTest, AlreadyNormalPathIsUnchanged) {
  EXPECT_EQ(NormalizeAbsolutePath("/a"), "/a");
  EXPECT_EQ(NormalizeAbsolutePath("/a/b/c.txt"), "/a/b/c.txt");
  EXPECT_EQ(NormalizeAbsolutePath("/a/b/"), "/a/b/");
}

TEST(NormalizeAbsolutePathTest, DotsAreResolved) {
  EXPECT_EQ(NormalizeAbsolutePath("/a/./b"), "/a/b");
  EXPECT_EQ(NormalizeAbsolutePath("/a/b/.."), "/a");
  EXPECT_EQ(NormalizeAbsolutePath("/a/b/../c"), "/a/c");
  EXPECT_EQ(NormalizeAbsolutePath("/a/b/./../../c/."), "/c");
  EXPECT_EQ(NormalizeAbsolutePath("/a/.."), "/");
}

TEST(NormalizeAbsolutePathTest, NamesThatOnlyStartWithDotsAreKept) {
  EXPECT_EQ(NormalizeAbsolutePath("/a/.hidden"), "/a/.hidden");
  EXPECT_EQ(NormalizeAbsolutePath("/a/..b/...c"), "/a/..b/...c");
  EXPECT_EQ(NormalizeAbsolutePath("/a/b./c.."), "/a/b./c..");
}

TEST(NormalizeAbsolutePathTest, RepeatedSeparatorsAreFolded) {
  EXPECT_EQ(NormalizeAbsolutePath("//a//b///c"), "/a/b/c");
  EXPECT_EQ(NormalizeAbsolutePath("/a//"), "/a/");
}

TEST(NormalizeAbsolutePathTest, TrailingSeparatorIsKept) {
  EXPECT_EQ(NormalizeAbsolutePath("/a/b/."), "/a/b");
  EXPECT_EQ(NormalizeAbsolutePath("/a/b/./"), "/a/b/");
  EXPECT_EQ(NormalizeAbsolutePath("/a/b/../"), "/a/");
  EXPECT_EQ(NormalizeAbsolutePath("/a/../"), "/");
}

TEST(NormalizeAbsolutePathTest, BackslashIsAnOrdinaryCharacter) {
  EXPECT_EQ(NormalizeAbsolutePath("/a\\..\\b/c"), "/a\\..\\b/c");
}

TEST(FullPathTest, AbsolutePathIgnoresCurrentDirectory) {
  FakeFileSystem fs;
  fs.SetCurrentDirectory("/home/user");
  EXPECT_EQ(fs.FullPath("/data/./x/../y.txt"), "/data/y.txt");
}

TEST(FullPathTest, RelativePathIsResolvedAgainstCurrentDirectory) {
  FakeFileSystem fs;
  fs.SetCurrentDirectory("/home/user");
  EXPECT_EQ(fs.FullPath("file.txt"), "/home/user/file.txt");
  EXPECT_EQ(fs.FullPath("./a//b/"), "/home/user/a/b/");
  EXPECT_EQ(fs.FullPath("../other/f"), "/home/other/f");
  EXPECT_EQ(fs.FullPath("../../../../f"), "/f");
  EXPECT_EQ(fs.FullPath("."), "/home/user");
  EXPECT_EQ(fs.FullPath(".."), "/home");
  EXPECT_EQ(fs.FullPath(""), "/home/user");
}

TEST(FullPathTest, CurrentDirectoryAtRoot) {
  FakeFileSystem fs;
  fs.SetCurrentDirectory("/");
  EXPECT_EQ(fs.FullPath("a"), "/a");
  EXPECT_EQ(fs.FullPath("a/"), "/a/");
  EXPECT_EQ(fs.FullPath(".."), "/");
}

TEST(FullPathTest, UnknownCurrentDirectoryLeavesRelativePathAlone) {
  FakeFileSystem fs;
  fs.SetCurrentDirectory("");
  EXPECT_EQ(fs.FullPath("a/../b"), "a/../b");
  EXPECT_EQ(fs.FullPath("/a/../b"), "/b");
}

TEST(FileExistsTest, AnythingButADirectoryExists) {
  FakeFileSystem fs;
  fs.AddFile("/f", "x");
  fs.AddOther("/fifo");
  fs.AddDirectory("/d");
  fs.AddFile("/hidden", "x").stat_error = EACCES;
  EXPECT_TRUE(fs.FileExists("/f"));
  EXPECT_TRUE(fs.FileExists("/fifo"));
  EXPECT_FALSE(fs.FileExists("/d"));
  EXPECT_FALSE(fs.FileExists("/hidden"));
  EXPECT_FALSE(fs.FileExists("/missing"));
}

TEST(ScopedFileSystemTest, ReplacesAndRestoresInNestedScopes) {
  FileSystem& real = RealFileSystem();
  ASSERT_EQ(&CurrentFileSystem(), &real);
  FakeFileSystem outer;
  {
    ScopedFileSystem outer_scope(outer);
    EXPECT_EQ(&CurrentFileSystem(), &outer);
    FakeFileSystem inner;
    {
      ScopedFileSystem inner_scope(inner);
      EXPECT_EQ(&CurrentFileSystem(), &inner);
    }
    EXPECT_EQ(&CurrentFileSystem(), &outer);
  }
  EXPECT_EQ(&CurrentFileSystem(), &real);
}

}  // namespace
}  // namespace hv::platform
