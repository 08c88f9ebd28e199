#include "bench/list_generator.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string_view>

#include "engine/entry_order.h"
#include "engine/hash_item.h"
#include "support/base64.h"
#include "support/date_time.h"

namespace hv::bench {

namespace {

constexpr std::array<std::string_view, 40> kWords = {
    "projects", "src",       "include",  "docs",      "assets",    "images",  "photos",  "music",
    "backup",   "archive",   "reports",  "2019",      "2021",      "2023",    "build",   "release",
    "data",     "shared",    "home",     "work",      "library",   "cache",   "config",  "drivers",
    "fonts",    "games",     "videos",   "downloads", "templates", "invoice", "summary", "notes",
    "scans",    "Holiday",   "Vendor",   "Export",    "old",       "tmp",     "module",
    "r\xC3\xA9sum\xC3\xA9s"};

constexpr std::array<std::string_view, 12> kExtensions = {".txt", ".jpg", ".png", ".cc",  ".h",    ".pdf",
                                                          ".docx", ".mp3", ".dll", ".xml", ".json", ".zip"};

class Generator {
 public:
  Generator(uint32_t seed, int count) : rng_(seed) {
    const int dir_count = std::max(1, count / 16);
    directories_.reserve(static_cast<size_t>(dir_count));
    for (int i = 0; i < dir_count; ++i) {
      std::string dir(Word());
      const int depth = 1 + static_cast<int>(rng_() % 4);
      for (int d = 1; d < depth; ++d) {
        dir += '\\';
        dir += Word();
      }
      directories_.push_back(std::move(dir));
    }
  }

  // A path no other call returns: the serial after the last '_' tells them apart.
  std::string Path() {
    const size_t target = 30 + rng_() % 51;
    std::string suffix(1, '_');
    suffix += std::to_string(serial_++);
    suffix += kExtensions[rng_() % kExtensions.size()];
    std::string path = directories_[rng_() % directories_.size()];
    path += '\\';
    path += Word();
    while (path.size() + suffix.size() < target) {
      path += '_';
      path += Word();
    }
    size_t keep = target > suffix.size() + 1 ? target - suffix.size() : 1;
    if (keep < path.size()) {
      // Never cut a character in two or end a directory name.
      while (keep > 1 && ((static_cast<unsigned char>(path[keep]) & 0xC0) == 0x80)) --keep;
      path.resize(keep);
      while (path.size() > 1 && path.back() == '\\') path.pop_back();
    }
    return path + suffix;
  }

  void NewContent(GeneratedEntry& entry) {
    std::string digest(16, '\0');
    for (char& c : digest) c = static_cast<char>(rng_() & 0xFF);
    entry.hash = Base64Encode(digest);
    // Mostly small files, some huge ones.
    const unsigned bits = static_cast<unsigned>(rng_() % 32);
    entry.size = static_cast<int64_t>(rng_() & ((uint64_t{1} << bits) - 1));
    entry.date = EncodeDate(2010 + static_cast<int>(rng_() % 15), 1 + static_cast<int>(rng_() % 12),
                            1 + static_cast<int>(rng_() % 28)) +
                 EncodeTime(static_cast<int>(rng_() % 24), static_cast<int>(rng_() % 60),
                            static_cast<int>(rng_() % 60), static_cast<int>(rng_() % 1000));
  }

  std::mt19937& rng() { return rng_; }

 private:
  std::string_view Word() { return kWords[rng_() % kWords.size()]; }

  std::mt19937 rng_;
  std::vector<std::string> directories_;
  int64_t serial_ = 0;
};

void SortByPath(std::vector<GeneratedEntry>& entries) {
  std::sort(entries.begin(), entries.end(), [](const GeneratedEntry& a, const GeneratedEntry& b) {
    return ComparePaths(a.path, b.path) < 0;
  });
}

int Part(double fraction, int count) { return static_cast<int>(fraction * count); }

}  // namespace

GeneratedLists GenerateLists(int count, uint32_t seed, const ChangeMix& mix) {
  Generator gen(seed, count);
  GeneratedLists lists;
  lists.old_entries.resize(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    GeneratedEntry& entry = lists.old_entries[static_cast<size_t>(i)];
    entry.path = gen.Path();
    gen.NewContent(entry);
    if (i > 0 && std::uniform_real_distribution<double>(0, 1)(gen.rng()) < mix.duplicates) {
      const GeneratedEntry& twin = lists.old_entries[gen.rng()() % static_cast<size_t>(i)];
      entry.hash = twin.hash;
      entry.size = twin.size;
    }
  }

  // Disjoint picks of old entries for each kind of change.
  std::vector<int> picks(static_cast<size_t>(count));
  std::iota(picks.begin(), picks.end(), 0);
  std::shuffle(picks.begin(), picks.end(), gen.rng());
  size_t next = 0;
  const auto take = [&](double fraction) {
    std::vector<int> taken;
    for (int k = Part(fraction, count); k > 0 && next < picks.size(); --k) taken.push_back(picks[next++]);
    return taken;
  };
  const std::vector<int> changed = take(mix.changed);
  const std::vector<int> renamed = take(mix.renamed);
  const std::vector<int> deleted = take(mix.deleted);
  const std::vector<int> copied = take(mix.copied);

  std::vector<bool> gone(static_cast<size_t>(count), false);
  for (int i : renamed) gone[static_cast<size_t>(i)] = true;
  for (int i : deleted) gone[static_cast<size_t>(i)] = true;

  lists.new_entries.reserve(static_cast<size_t>(count + Part(mix.copied + mix.added, count)));
  for (int i = 0; i < count; ++i) {
    if (!gone[static_cast<size_t>(i)]) lists.new_entries.push_back(lists.old_entries[static_cast<size_t>(i)]);
  }
  // Index of every old entry in the new list, for the edits in place.
  std::vector<int> position(static_cast<size_t>(count), -1);
  for (int i = 0, j = 0; i < count; ++i) {
    if (!gone[static_cast<size_t>(i)]) position[static_cast<size_t>(i)] = j++;
  }
  for (int i : changed) {
    gen.NewContent(lists.new_entries[static_cast<size_t>(position[static_cast<size_t>(i)])]);
  }
  for (int i : renamed) {
    GeneratedEntry entry = lists.old_entries[static_cast<size_t>(i)];
    entry.path = gen.Path();
    lists.new_entries.push_back(std::move(entry));
  }
  for (int i : copied) {
    GeneratedEntry entry = lists.old_entries[static_cast<size_t>(i)];
    entry.path = gen.Path();
    lists.new_entries.push_back(std::move(entry));
  }
  for (int k = Part(mix.added, count); k > 0; --k) {
    GeneratedEntry entry;
    entry.path = gen.Path();
    gen.NewContent(entry);
    lists.new_entries.push_back(std::move(entry));
  }

  SortByPath(lists.old_entries);
  SortByPath(lists.new_entries);
  return lists;
}

std::vector<GeneratedEntry> NumberedEntries(int count, const std::string& prefix, bool one_content) {
  std::vector<GeneratedEntry> entries(static_cast<size_t>(count));
  char name[64];
  for (int i = 0; i < count; ++i) {
    GeneratedEntry& entry = entries[static_cast<size_t>(i)];
    std::snprintf(name, sizeof name, "\\d%03d\\f%07d.bin", i / 1000, i);
    entry.path = prefix + name;
    std::string digest(16, '\0');
    if (!one_content) {
      for (int b = 0; b < 4; ++b) digest[static_cast<size_t>(b)] = static_cast<char>((i >> (8 * b)) & 0xFF);
    }
    entry.hash = Base64Encode(digest);
    entry.size = one_content ? 0 : 1 + i % 4096;
    entry.date = EncodeDate(2024, 1, 1);
  }
  SortByPath(entries);
  return entries;
}

namespace {

// The list's quicksort on indices, comparing through `compare`.
template <typename Compare>
void ModelQuickSort(std::vector<int>& v, int l, int r, Compare& compare) {
  while (l < r) {
    int i = l;
    int j = r;
    const int pivot = v[static_cast<size_t>((l + r) >> 1)];
    do {
      while (compare(v[static_cast<size_t>(i)], pivot) < 0) ++i;
      while (compare(v[static_cast<size_t>(j)], pivot) > 0) --j;
      if (i <= j) {
        std::swap(v[static_cast<size_t>(i)], v[static_cast<size_t>(j)]);
        ++i;
        --j;
      }
    } while (i <= j);
    if (j - l < r - i) {
      if (l < j) ModelQuickSort(v, l, j, compare);
      l = i;
    } else {
      if (i < r) ModelQuickSort(v, i, r, compare);
      r = j;
    }
  }
}

}  // namespace

void QuicksortKillerOrder(std::vector<GeneratedEntry>& entries) {
  const int n = static_cast<int>(entries.size());
  // Values are handed out as the sort asks about them ("gas" until then),
  // always so that the pivot turns out to be the smallest candidate left.
  const int gas = n;
  std::vector<int> value(static_cast<size_t>(n), gas);
  int solid = 0;
  int candidate = 0;
  auto compare = [&](int x, int y) {
    int& vx = value[static_cast<size_t>(x)];
    int& vy = value[static_cast<size_t>(y)];
    if (vx == gas && vy == gas) {
      if (x == candidate) {
        vx = solid++;
      } else {
        vy = solid++;
      }
    }
    if (vx == gas) {
      candidate = x;
    } else if (vy == gas) {
      candidate = y;
    }
    return vx < vy ? -1 : (vx > vy ? 1 : 0);
  };
  std::vector<int> order(static_cast<size_t>(n));
  std::iota(order.begin(), order.end(), 0);
  if (n > 1) ModelQuickSort(order, 0, n - 1, compare);
  for (int& v : value) {
    if (v == gas) v = solid++;
  }
  // Position i of the file takes the entry of rank value[i] in path order.
  SortByPath(entries);
  std::vector<GeneratedEntry> placed(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) placed[static_cast<size_t>(i)] = entries[static_cast<size_t>(value[static_cast<size_t>(i)])];
  entries = std::move(placed);
}

void WriteHashListFile(const std::string& file_name, const std::vector<GeneratedEntry>& entries) {
  std::ofstream out(file_name, std::ios::binary | std::ios::trunc);
  out << "\xEF\xBB\xBF";
  HashItem item;
  for (const GeneratedEntry& entry : entries) {
    item.SetPath(entry.path);
    item.SetHash(entry.hash);
    item.SetSize(entry.size);
    item.SetDate(entry.date);
    out << item.AsString() << "\r\n";
  }
  out.close();
  if (!out) throw std::runtime_error("cannot write " + file_name);
}

}  // namespace hv::bench
