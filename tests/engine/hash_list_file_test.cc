#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/hash_list.h"
#include "helpers/fake_file_system.h"
#include "helpers/temp_dir.h"
#include "platform/file_system.h"

namespace hv {
namespace {

constexpr char kBom[] = "\xEF\xBB\xBF";
constexpr char kHash[] = "MdbP4NFq6TG3PFnX4MCJwA==";

std::string Line(const std::string& path, int64_t size = 0) {
  HashItem item;
  item.SetPath(path);
  item.SetSize(size);
  item.SetHash(kHash);
  return item.AsString();
}

std::string ReadAll(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(HashListLoad, SkipsCommentsAndBlanksAndKeepsFileOrder) {
  testing::TempDir dir;
  const std::string name = dir.Write(
      "list.txt", std::string(kBom) + "; a comment\r\n\r\n   ; indented comment\r\n" + Line("b") +
                      "\r\n\t \r\n" + Line("a") + "\n" + Line("c") + "\r");
  HashList list;
  std::vector<std::pair<int64_t, int64_t>> progress;
  list.LoadFromFile(name, std::make_shared<const std::string>("/base/"),
                    [&](const void* sender, int64_t done, int64_t total) {
                      EXPECT_EQ(sender, &list);
                      progress.emplace_back(done, total);
                    },
                    hsDeleted);
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list.Items(0).Path(), "b");
  EXPECT_EQ(list.Items(1).Path(), "a");
  EXPECT_EQ(list.Items(2).Path(), "c");
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(list.Items(i).State(), hsDeleted);
    EXPECT_EQ(list.Items(i).BasePath(), "/base/");
    EXPECT_EQ(list.Items(i).Related(), nullptr);
  }
  // One report per line read, comments and blank lines included.
  ASSERT_EQ(progress.size(), 7u);
  EXPECT_EQ(progress.front().second, static_cast<int64_t>(std::filesystem::file_size(name)));
  EXPECT_EQ(progress[0].first, 11 + 2);
}

TEST(HashListLoad, ABadLineNamesItsNumberAndKeepsTheEntriesBeforeIt) {
  testing::TempDir dir;
  const std::string name =
      dir.Write("list.txt", "; c\r\n" + Line("a") + "\r\n\r\n" + Line("b") + "\r\nnot a line\r\n" + Line("c"));
  HashList list;
  try {
    list.LoadFromFile(name, nullptr, nullptr, hsOK);
    FAIL() << "no exception";
  } catch (const EHashItemError& e) {
    EXPECT_STREQ(e.ClassName(), "EHashItemError");
    EXPECT_EQ(e.Message(), "Line 5 - Invalid AsString input.");
  }
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list.Items(1).Path(), "b");
}

TEST(HashListLoad, OutOfRangeFieldsPassOnWithoutALineNumber) {
  testing::TempDir dir;
  const std::string name = dir.Write(
      "list.txt", "\"a\" 2001-13-01T00:00:00.000 5 " + std::string(kHash) + "\r\n");
  HashList list;
  try {
    list.LoadFromFile(name, nullptr, nullptr, hsOK);
    FAIL() << "no exception";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.ClassName(), "EConvertError");
    EXPECT_EQ(e.Message(), "Invalid argument to date encode");
  }
}

TEST(HashListLoad, AMissingFileIsAnErrorNamingIt) {
  testing::TempDir dir;
  HashList list;
  const std::string name = dir.File("missing.txt");
  try {
    list.LoadFromFile(name, nullptr, nullptr, hsOK);
    FAIL() << "no exception";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.Message(), "Cannot open file \"" + name + "\". No such file or directory");
  }
  EXPECT_EQ(list.Count(), 0);
}

TEST(HashListLoad, AFileOfCommentsOnlyLoadsNothingAndAppendsToTheList) {
  testing::TempDir dir;
  HashList list;
  list.LoadFromFile(dir.Write("c.txt", ";x\r\n\r\n"), nullptr, nullptr, hsOK);
  EXPECT_EQ(list.Count(), 0);
  list.LoadFromFile(dir.Write("one.txt", Line("x")), nullptr, nullptr, hsOK);
  list.LoadFromFile(dir.Write("two.txt", Line("y")), nullptr, nullptr, hsOK);
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list.Items(1).Path(), "y");
}

TEST(HashListSave, WritesUtf8WithMarkAndSkipsStatesButReportsEveryIndex) {
  testing::TempDir dir;
  HashList list;
  for (const char* p : {"a", "b", "c"}) {
    auto item = std::make_unique<HashItem>();
    item->SetPath(p);
    item->SetHash(kHash);
    item->SetSize(1);
    list.Add(std::move(item));
  }
  list.Items(1).SetState(hsDeleted);
  std::vector<std::pair<int64_t, int64_t>> progress;
  const std::string name = dir.File("out.txt");
  list.SaveToFile(name, [&](const void*, int64_t d, int64_t t) { progress.emplace_back(d, t); },
                  HashStates{hsDeleted});
  EXPECT_EQ(ReadAll(name), std::string(kBom) + Line("a", 1) + "\r\n" + Line("c", 1) + "\r\n");
  EXPECT_EQ(progress, (std::vector<std::pair<int64_t, int64_t>>{{1, 3}, {2, 3}, {3, 3}}));

  HashList empty;
  empty.SaveToFile(name, nullptr, {});
  EXPECT_EQ(ReadAll(name), kBom);
  // Nothing but the list itself is left in the directory.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(HashListSave, KeepsThePermissionBitsOfTheListItReplaces) {
  testing::TempDir dir;
  const std::string name = dir.Write("list.txt", "old");
  std::filesystem::permissions(name, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                                         std::filesystem::perms::group_read);
  HashList list;
  list.SaveToFile(name, nullptr, {});
  EXPECT_EQ(std::filesystem::status(name).permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                std::filesystem::perms::group_read);
}

// Every way the rewrite can fail leaves the old list byte for byte and no
// temporary file behind.
TEST(HashListSave, AFailurePartWayLeavesTheOldListWhole) {
  HashList list;
  for (int i = 0; i < 2000; ++i) {
    auto item = std::make_unique<HashItem>();
    item->SetPath("dir\\file" + std::to_string(i));
    item->SetHash(kHash);
    list.Add(std::move(item));
  }
  const std::string old_contents = std::string(kBom) + Line("old") + "\r\n";
  enum Fault { kCreate, kChmod, kWrite1, kWrite3, kSync, kClose, kRename };
  for (Fault fault : {kCreate, kChmod, kWrite1, kWrite3, kSync, kClose, kRename}) {
    testing::FakeFileSystem fs;
    platform::ScopedFileSystem scope(fs);
    fs.AddFile("/d/list.txt", old_contents);
    // The temporary file does not exist yet; arm its failures as it is made.
    if (fault == kCreate) fs.create_temporary_error = ENOSPC;
    if (fault == kRename) fs.Find("/d/list.txt")->rename_error = EXDEV;
    fs.fail_next_temporary = [fault](testing::FakeFileSystem::Entry& e) {
      if (fault == kChmod) e.chmod_error = EPERM;
      if (fault == kWrite1) e.fail_write_call = 1, e.write_error = ENOSPC;
      if (fault == kWrite3) e.fail_write_call = 3, e.write_error = ENOSPC;
      if (fault == kSync) e.sync_error = EIO;
      if (fault == kClose) e.close_error = EIO;
    };
    EXPECT_ANY_THROW(list.SaveToFile("/d/list.txt", nullptr, {})) << fault;
    ASSERT_NE(fs.Find("/d/list.txt"), nullptr);
    EXPECT_EQ(fs.Find("/d/list.txt")->contents, old_contents) << fault;
    EXPECT_EQ(fs.Names(), std::vector<std::string>{"/d/list.txt"}) << fault;
    EXPECT_EQ(fs.open_handles(), 0) << fault;
  }
}

}  // namespace
}  // namespace hv
