#include "support/file_replacement.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "helpers/fake_file_system.h"
#include "helpers/temp_dir.h"
#include "platform/file_system.h"
#include "support/exceptions.h"

namespace hv {
namespace {

namespace fs = std::filesystem;
using testing::FakeFileSystem;

constexpr char kNew[] = "\xEF\xBB\xBFnew\r\n";

std::string ReadAll(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void Replace(const std::string& name, bool commit = true) {
  FileReplacement replacement(name);
  replacement.Text().SetEncoding(feUTF8);
  replacement.WriteLine("new");
  if (commit) replacement.Commit();
}

// On a real disk: the file behind a link is replaced and the link stays; the
// new file has the old one's permissions; nothing is left beside it; without
// Commit the old file is untouched.
TEST(FileReplacement, ReplacesWhereALinkLeadsAndKeepsThePermissions) {
  testing::TempDir dir;
  const std::string target = dir.Write("real.txt", "old");
  fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  fs::create_symlink("real.txt", dir.path() / "link.txt");

  Replace(dir.File("link.txt"), false);
  EXPECT_EQ(ReadAll(target), "old");
  Replace(dir.File("link.txt"));
  EXPECT_TRUE(fs::is_symlink(dir.path() / "link.txt"));
  EXPECT_EQ(ReadAll(target), kNew);
  EXPECT_EQ(fs::status(target).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 2);
}

// A file with two names is rewritten, so that both still name it.
TEST(FileReplacement, AFileWithSeveralNamesIsRewrittenInPlace) {
  testing::TempDir dir;
  const std::string name = dir.Write("list.txt", std::string(5000, 'o'));
  fs::create_hard_link(name, dir.path() / "other.txt");
  Replace(name);
  EXPECT_EQ(ReadAll(name), kNew);
  EXPECT_EQ(ReadAll(dir.File("other.txt")), kNew);
  EXPECT_EQ(fs::hard_link_count(name), 2u);
}

// What the new file takes from the old one, and when the old file is
// rewritten instead: for a directory that refuses new files for lack of
// permission, never for a full disk.
TEST(FileReplacement, TakesOwnerAndAttributesOrRewritesWhenTheDirectoryRefuses) {
  for (const int refusal : {0, EACCES, EPERM, ENOSPC}) {
    FakeFileSystem fake;
    platform::ScopedFileSystem scope(fake);
    const std::map<std::string, std::string> attributes = {{"system.posix_acl_access", "acl"},
                                                           {"user.note", "kept"}};
    FakeFileSystem::Entry& old = fake.AddFile("/d/list.txt", "old");
    old.owner = 1000;
    old.group = 100;
    old.permissions = 0640;
    old.extended_attributes = attributes;
    const uint64_t old_inode = old.inode;
    fake.create_temporary_error = refusal;
    if (refusal == ENOSPC) {
      EXPECT_THROW(Replace("/d/list.txt"), EFCreateError);
      EXPECT_EQ(old.contents, "old");
      continue;
    }
    Replace("/d/list.txt");
    const FakeFileSystem::Entry& now = *fake.Find("/d/list.txt");
    EXPECT_EQ(now.contents, kNew) << refusal;
    EXPECT_EQ(now.owner, 1000u) << refusal;
    EXPECT_EQ(now.group, 100u) << refusal;
    EXPECT_EQ(now.permissions, 0640u) << refusal;
    EXPECT_EQ(now.extended_attributes, attributes) << refusal;
    // Rewritten means the same file, synced.
    EXPECT_EQ(now.inode == old_inode, refusal != 0) << refusal;
    EXPECT_GT(now.sync_calls, 0) << refusal;
    EXPECT_EQ(fake.Names(), std::vector<std::string>{"/d/list.txt"}) << refusal;
    EXPECT_EQ(fake.open_handles(), 0) << refusal;
  }
}

// A rewrite that fails names the file and its reason.
TEST(FileReplacement, AFailedRewriteNamesTheFile) {
  FakeFileSystem fake;
  platform::ScopedFileSystem scope(fake);
  FakeFileSystem::Entry& old = fake.AddFile("/d/list.txt", "old");
  old.link_count = 2;
  old.write_error = ENOSPC;
  try {
    Replace("/d/list.txt");
    ADD_FAILURE() << "no error";
  } catch (const EWriteError& e) {
    EXPECT_STREQ(e.what(), "Cannot write file \"/d/list.txt\". No space left on device");
  }
  EXPECT_EQ(fake.open_handles(), 0);
}

// Only a file that is not there is no old file: any other failure to look
// at it ends the replacement, which would otherwise lose its owner, mode,
// attributes and other names.
TEST(FileReplacement, AFailedLookAtTheOldFileKeepsIt) {
  FakeFileSystem fake;
  platform::ScopedFileSystem scope(fake);
  fake.AddFile("/d/list.txt", "old").stat_error = EIO;
  try {
    Replace("/d/list.txt");
    ADD_FAILURE() << "no error";
  } catch (const EFCreateError& e) {
    EXPECT_STREQ(e.what(), "Cannot create file \"/d/list.txt\". Input/output error");
  }
  EXPECT_EQ(fake.Find("/d/list.txt")->contents, "old");
  EXPECT_EQ(fake.Names(), std::vector<std::string>{"/d/list.txt"});
}

}  // namespace
}  // namespace hv
