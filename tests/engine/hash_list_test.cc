#include "engine/hash_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/entry_order.h"

namespace hv {
namespace {

std::unique_ptr<HashItem> MakeItem(std::string path, std::string hash = "h", int64_t size = 0) {
  auto item = std::make_unique<HashItem>();
  item->SetPath(std::move(path));
  item->SetHash(std::move(hash));
  item->SetSize(size);
  return item;
}

// The sort as it reads on paper: always recurse into the left part and loop
// on the right. The list's own sort must leave equal keys in this very order.
void ReferenceSort(std::vector<HashItem*>& v, int l, int r,
                   const std::function<int(const HashItem&, const HashItem&)>& cmp) {
  int i;
  do {
    i = l;
    int j = r;
    HashItem* p = v[static_cast<size_t>((l + r) / 2)];
    do {
      while (cmp(*v[static_cast<size_t>(i)], *p) < 0) ++i;
      while (cmp(*v[static_cast<size_t>(j)], *p) > 0) --j;
      if (i <= j) {
        if (i != j) std::swap(v[static_cast<size_t>(i)], v[static_cast<size_t>(j)]);
        ++i;
        --j;
      }
    } while (i <= j);
    if (l < j) ReferenceSort(v, l, j, cmp);
    l = i;
  } while (i < r);
}

std::vector<HashItem*> Order(const HashList& list) {
  std::vector<HashItem*> order;
  for (int i = 0; i < list.Count(); ++i) order.push_back(&list.Items(i));
  return order;
}

TEST(HashListSort, LeavesEqualKeysInTheReferenceOrder) {
  std::mt19937 rng(42);
  for (int round = 0; round < 200; ++round) {
    HashList list;
    const int n = static_cast<int>(rng() % 60);
    for (int i = 0; i < n; ++i) {
      // Few distinct keys, so that runs of equal keys are common.
      // Short names, and long ones that share their first bytes or differ
      // only in the case of non-ASCII letters beyond them.
      static const char* const kPieces[] = {"a", "A", "b", "dir\\", "DIR\\", "\xC3\xA9", "\xC3\x89",
                                            "abcdefgh", "ABCDEFGH", "\xF0\x9F\x98\x80"};
      std::string path;
      const int pieces = 1 + static_cast<int>(rng() % (round % 2 ? 1 : 4));
      for (int k = 0; k < pieces; ++k) path += kPieces[rng() % 10];
      list.Add(MakeItem(path, std::string(1, static_cast<char>('A' + rng() % 3)),
                        static_cast<int64_t>(rng() % 2)));
    }
    auto expected_by_path = Order(list);
    if (n > 1) ReferenceSort(expected_by_path, 0, n - 1, CompareByPath);
    list.SortByPath();
    ASSERT_EQ(Order(list), expected_by_path) << "round " << round;

    auto expected_by_hash = Order(list);
    if (n > 1) ReferenceSort(expected_by_hash, 0, n - 1, CompareByHash);
    list.SortByHash();
    ASSERT_EQ(Order(list), expected_by_hash) << "round " << round;
  }
}

// Ranks in an order made to defeat the quicksort: each value is fixed only
// when the sort first compares it, so that the pivot turns out to be the
// smallest value left.
std::vector<int> QuicksortKillerRanks(int n) {
  std::vector<std::unique_ptr<HashItem>> items;
  std::vector<HashItem*> order;
  for (int i = 0; i < n; ++i) {
    items.push_back(MakeItem("", "h", i));
    order.push_back(items.back().get());
  }
  const int gas = n;
  std::vector<int> value(static_cast<size_t>(n), gas);
  int solid = 0;
  int candidate = 0;
  ReferenceSort(order, 0, n - 1, [&](const HashItem& a, const HashItem& b) {
    int& va = value[static_cast<size_t>(a.Size())];
    int& vb = value[static_cast<size_t>(b.Size())];
    if (va == gas && vb == gas) (a.Size() == candidate ? va : vb) = solid++;
    if (va == gas) candidate = static_cast<int>(a.Size());
    if (vb == gas) candidate = static_cast<int>(b.Size());
    return va < vb ? -1 : (va > vb ? 1 : 0);
  });
  for (int& v : value) {
    if (v == gas) v = solid++;
  }
  return value;
}

TEST(HashListSort, OrdersThatDefeatThePivotSortLikeTheReference) {
  const int n = 3000;
  const std::vector<int> ranks = QuicksortKillerRanks(n);
  // All keys distinct, then a few equal ones among the last to be sorted.
  for (const int equal_from : {n, n - 40}) {
    SCOPED_TRACE(equal_from);
    HashList by_path;
    HashList by_hash;
    for (const int rank : ranks) {
      char key[16];
      std::snprintf(key, sizeof key, "p%05d", rank < equal_from ? rank : rank & ~3);
      by_path.Add(MakeItem(key));
      by_hash.Add(MakeItem("p", key));
    }
    auto expected_by_path = Order(by_path);
    ReferenceSort(expected_by_path, 0, n - 1, CompareByPath);
    by_path.SortByPath();
    EXPECT_EQ(Order(by_path), expected_by_path);
    auto expected_by_hash = Order(by_hash);
    ReferenceSort(expected_by_hash, 0, n - 1, CompareByHash);
    by_hash.SortByHash();
    EXPECT_EQ(Order(by_hash), expected_by_hash);
  }
}

TEST(HashListSort, SortsLargeAndAdversarialInputWithoutDeepRecursion) {
  HashList list;
  for (int i = 200000; i > 0; --i) {
    std::string path = std::to_string(i % 1000);
    path.insert(path.begin(), 'p');
    list.Add(MakeItem(path));
  }
  list.SortByPath();
  for (int i = 1; i < list.Count(); ++i) {
    ASSERT_LE(CompareByPath(list.Items(i - 1), list.Items(i)), 0);
  }
}

TEST(HashListSearch, FindsFirstOfRunOrInsertionPoint) {
  HashList list;
  int index = -1;
  EXPECT_FALSE(list.FindByPath("x", index));
  EXPECT_EQ(index, 0);

  for (const char* p : {"b", "c", "c", "c", "e"}) list.Add(MakeItem(p));
  list.SortByPath();
  EXPECT_FALSE(list.FindByPath("a", index));
  EXPECT_EQ(index, 0);
  EXPECT_TRUE(list.FindByPath("c", index));
  EXPECT_EQ(index, 1);
  EXPECT_FALSE(list.FindByPath("d", index));
  EXPECT_EQ(index, 4);
  EXPECT_FALSE(list.FindByPath("z", index));
  EXPECT_EQ(index, 5);
}

TEST(HashListSearch, PathsThatDifferOnlyInCaseAreFoundEachOnItsOwn) {
  HashList list;
  for (const char* p : {"File.txt", "file.txt", "FILE.TXT", "a"}) list.Add(MakeItem(p));
  list.SortByPath();
  int index = -1;
  for (const char* p : {"File.txt", "file.txt", "FILE.TXT"}) {
    ASSERT_TRUE(list.FindByPath(p, index)) << p;
    EXPECT_EQ(list.Items(index).Path(), p);
    // Neighbours of a case variant never compare equal to it.
    if (index + 1 < list.Count()) {
      EXPECT_NE(ComparePaths(list.Items(index + 1).Path(), p), 0);
    }
  }
  EXPECT_FALSE(list.FindByPath("fILE.txt", index));
}

TEST(HashListSearch, HashRunsAreOrderedBySize) {
  HashList list;
  list.Add(MakeItem("a", "SAME", 10));
  list.Add(MakeItem("b", "SAME", 30));
  list.Add(MakeItem("c", "SAME", 10));
  list.Add(MakeItem("d", "OTHER", 20));
  list.SortByHash();
  int index = -1;
  EXPECT_TRUE(list.FindByHash("SAME", 10, index));
  EXPECT_EQ(list.Items(index).Size(), 10);
  EXPECT_EQ(list.Items(index + 1).Size(), 10);
  EXPECT_EQ(index, 1);
  EXPECT_FALSE(list.FindByHash("SAME", 20, index));
  EXPECT_EQ(index, 3);  // between the size-10 run and the size-30 entry
  EXPECT_FALSE(list.FindByHash("SAMF", 10, index));
  EXPECT_EQ(index, 4);
}

TEST(HashListSearch, FindAllByHashFindsTheRunsFindByHashFinds) {
  // Hashes that are prefixes of each other or share their first eight
  // bytes, and few sizes: equal keys within and across both sides.
  static const char* const kHashes[] = {"",          "A",         "AB",       "ABCDEFGH",
                                        "ABCDEFGHa", "ABCDEFGHb", "ABCDEFGI", "zz"};
  std::mt19937 rng(7);
  for (int round = 0; round < 100; ++round) {
    HashList list;
    HashList wanted;
    for (int i = static_cast<int>(rng() % 40); i > 0; --i) {
      list.Add(MakeItem("l", kHashes[rng() % 8], static_cast<int64_t>(rng() % 3)));
    }
    for (int i = static_cast<int>(rng() % 40); i > 0; --i) {
      wanted.Add(MakeItem("w", kHashes[rng() % 8], static_cast<int64_t>(rng() % 3)));
    }
    list.SortByHash();
    std::vector<const HashItem*> keys;
    for (int i = 0; i < wanted.Count(); ++i) keys.push_back(&wanted.Items(i));
    const std::vector<HashList::HashRun> found = list.FindAllByHash(keys);
    ASSERT_EQ(found.size(), keys.size());
    for (size_t k = 0; k < keys.size(); ++k) {
      int index = -1;
      int end = 0;
      const HashText hash = keys[k]->Hash();
      if (list.FindByHash(hash, keys[k]->Size(), index)) {
        for (end = index; end < list.Count() && CompareByHash(list.Items(end), *keys[k]) == 0;) ++end;
      } else {
        index = -1;
      }
      EXPECT_EQ(found[k].first, index) << "round " << round << ", key " << k;
      EXPECT_EQ(found[k].count, end - std::max(index, 0)) << "round " << round << ", key " << k;
    }
  }
}

TEST(HashListOwnership, InsertDeleteRemoveAndCopy) {
  HashList list;
  list.Add(MakeItem("a"));
  list.Add(MakeItem("c"));
  list.Insert(1, MakeItem("b"));
  list.Insert(3, MakeItem("d"));
  ASSERT_EQ(list.Count(), 4);
  EXPECT_EQ(list.Items(1).Path(), "b");
  EXPECT_EQ(list.Items(3).Path(), "d");
  EXPECT_THROW(list.Insert(6, MakeItem("x")), EListError);
  try {
    list.Items(4);
    FAIL();
  } catch (const EListError& e) {
    EXPECT_STREQ(e.ClassName(), "EListError");
    EXPECT_EQ(e.Message(), "List index out of bounds (4)");
  }

  HashItem& b = list.Items(1);
  EXPECT_EQ(list.IndexOf(&b), 1);
  EXPECT_EQ(list.Remove(&b), 1);
  EXPECT_EQ(list.Remove(&b), -1);
  EXPECT_EQ(list.Count(), 3);

  HashList other;
  HashItem& a = list.Items(0);
  a.SetRelated(&list.Items(1));
  a.SetState(hsRenamed);
  other.AddCopy(a);
  EXPECT_EQ(other.Items(0).Related(), &list.Items(1));
  EXPECT_EQ(other.Items(0).State(), hsRenamed);
  EXPECT_NE(&other.Items(0), &a);

  // Many at once, each before the entry its index names in the list as it
  // is; indexes out of order change nothing.
  std::vector<std::pair<int, std::unique_ptr<HashItem>>> items;
  for (const auto& [index, path] : {std::pair{0, "0"}, {2, "c1"}, {2, "c2"}, {3, "e"}}) {
    items.emplace_back(index, MakeItem(path));
  }
  list.InsertAll(std::move(items));
  std::vector<std::string_view> paths;
  for (int i = 0; i < list.Count(); ++i) paths.push_back(list.Items(i).Path());
  EXPECT_EQ(paths, (std::vector<std::string_view>{"0", "a", "c", "c1", "c2", "d", "e"}));
  items.clear();
  items.emplace_back(2, MakeItem("x"));
  items.emplace_back(1, MakeItem("y"));
  EXPECT_THROW(list.InsertAll(std::move(items)), EListError);
  EXPECT_EQ(list.Count(), 7);
}

TEST(HashListOwnership, DeleteByStateKeepsTheOrderOfTheRest) {
  HashList list;
  const HashState states[] = {hsDeleted, hsOK, hsDeleted, hsNew, hsDeleted};
  for (int i = 0; i < 5; ++i) {
    list.Add(MakeItem(std::to_string(i)));
    list.Items(i).SetState(states[i]);
  }
  list.DeleteByState(hsDeleted);
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list.Items(0).Path(), "1");
  EXPECT_EQ(list.Items(1).Path(), "3");
  list.DeleteByState(hsOK);
  list.DeleteByState(hsNew);
  EXPECT_EQ(list.Count(), 0);
}

}  // namespace
}  // namespace hv
