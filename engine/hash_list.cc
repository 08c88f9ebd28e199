#include "engine/hash_list.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <new>
#include <string>
#include <utility>

#include "engine/entry_order.h"
#include "platform/console.h"
#include "platform/file_system.h"
#include "support/file_replacement.h"
#include "support/code_pages.h"
#include "support/exceptions.h"
#include "support/text_stream.h"
#include "support/utf8.h"

namespace hv {

namespace {

// What the sorts compare: an entry and the first bytes of its key, so that
// most comparisons are decided without touching the entry.
struct SortEntry {
  uint64_t key;
  HashItem* item;
};

// Orders two entries by their keys; only equal keys need `compare`.
template <typename Compare>
struct KeyOrder {
  Compare compare;
  int operator()(uint64_t key_a, const HashItem* a, uint64_t key_b, const HashItem* b) const {
    if (key_a != key_b) return key_a < key_b ? -1 : 1;
    // The pivot meets itself; that needs no look at the entry.
    if (a == b) return 0;
    return compare(*a, *b);
  }
  int operator()(const SortEntry& a, const SortEntry& b) const {
    return (*this)(a.key, a.item, b.key, b.item);
  }
  bool Less(const SortEntry& a, const SortEntry& b) const { return (*this)(a, b) < 0; }
};

// Where no two keys of items[l..r] are equal there is only one sorted order,
// which any sort gives: then that range is sorted here, true. False, and
// nothing changed, where two keys are equal. Each entry's second key word
// spares most comparisons a look at the entry.
template <typename Items, typename KeyOf, typename Order>
bool SortIfDistinct(Items& items, std::vector<uint64_t>& keys, int l, int r, KeyOf key_of,
                    const Order& order) {
  struct LongEntry {
    uint64_t key;
    uint64_t second_key;
    HashItem* item;
  };
  const auto compare = [&order](const LongEntry& a, const LongEntry& b) {
    if (a.key != b.key) return a.key < b.key ? -1 : 1;
    if (a.second_key != b.second_key) return a.second_key < b.second_key ? -1 : 1;
    return order(a.key, a.item, b.key, b.item);
  };
  std::vector<LongEntry> range;
  range.reserve(static_cast<size_t>(r - l + 1));
  for (int k = l; k <= r; ++k) {
    HashItem* item = items[static_cast<size_t>(k)].get();
    range.push_back({keys[static_cast<size_t>(k)], key_of(*item, KeyWord::kSecond), item});
  }
  std::sort(range.begin(), range.end(),
            [&compare](const LongEntry& a, const LongEntry& b) { return compare(a, b) < 0; });
  for (size_t k = 1; k < range.size(); ++k) {
    if (compare(range[k - 1], range[k]) == 0) return false;
  }
  // Nothing can fail here, so ownership moves over in one go.
  for (int k = l; k <= r; ++k) static_cast<void>(items[static_cast<size_t>(k)].release());
  for (size_t k = 0; k < range.size(); ++k) {
    items[static_cast<size_t>(l) + k].reset(range[k].item);
    keys[static_cast<size_t>(l) + k] = range[k].key;
  }
  return true;
}

// Sorts items[l..r], whose keys stand at the same places in `keys`: middle
// pivot, Hoare-style partition. Disjoint ranges are partitioned independently
// of each other, so recursing into the smaller side (to bound the stack)
// leaves exactly the order that always recursing into the left side would.
// An order made to defeat the pivot choice would take quadratic time, and
// it shows in partitions that leave less than an eighth of their range on
// one side. After `bad` of those on the way to a range, the range is sorted
// by SortIfDistinct where it can be; only where equal keys make the order
// depend on the procedure does the procedure go on (bad -1: no limit).
template <typename Items, typename KeyOf, typename Order>
void QuickSort(Items& items, std::vector<uint64_t>& keys, int l, int r, KeyOf key_of, const Order& order,
               int bad) {
  const auto at = [](int index) { return static_cast<size_t>(index); };
  while (l < r) {
    if (bad == 0) {
      if (SortIfDistinct(items, keys, l, r, key_of, order)) return;
      bad = -1;
    }
    int i = l;
    int j = r;
    const uint64_t pivot_key = keys[at((l + r) >> 1)];
    const HashItem* const pivot = items[at((l + r) >> 1)].get();
    do {
      while (order(keys[at(i)], items[at(i)].get(), pivot_key, pivot) < 0) ++i;
      while (order(keys[at(j)], items[at(j)].get(), pivot_key, pivot) > 0) --j;
      if (i <= j) {
        if (i != j) {
          std::swap(keys[at(i)], keys[at(j)]);
          items[at(i)].swap(items[at(j)]);
        }
        ++i;
        --j;
      }
    } while (i <= j);
    if (bad > 0 && std::min(j - l, r - i) + 1 < (r - l + 1) / 8) --bad;
    if (j - l < r - i) {
      if (l < j) QuickSort(items, keys, l, j, key_of, order, bad);
      l = i;
    } else {
      if (i < r) QuickSort(items, keys, i, r, key_of, order, bad);
      r = j;
    }
  }
}

// `compare(item)` < 0 when the item sorts before the key.
template <typename Items, typename Compare>
bool BinarySearch(const Items& items, int& index, Compare compare) {
  bool found = false;
  int lo = 0;
  int hi = static_cast<int>(items.size()) - 1;
  while (lo <= hi) {
    const int mid = (lo + hi) >> 1;
    const int c = compare(*items[static_cast<size_t>(mid)]);
    if (c < 0) {
      lo = mid + 1;
    } else {
      hi = mid - 1;
      if (c == 0) found = true;
    }
  }
  index = lo;
  return found;
}

// The longest hash-list line read, in bytes.
constexpr size_t kLongestLine = size_t{1} << 20;

// Without the characters of code 32 or less at both ends.
std::string_view TrimControls(std::string_view line) {
  size_t begin = 0;
  size_t end = line.size();
  while (begin < end && static_cast<unsigned char>(line[begin]) <= 32) ++begin;
  while (end > begin && static_cast<unsigned char>(line[end - 1]) <= 32) --end;
  return line.substr(begin, end - begin);
}

}  // namespace

void HashItemDeleter::operator()(HashItem* item) const noexcept {
  if (item->InArena()) {
    item->~HashItem();
  } else {
    std::default_delete<HashItem>()(item);
  }
}

void HashList::CheckIndex(int index, int count, int lowest) const {
  if (index < lowest || index >= count) {
    throw EListError("List index out of bounds (" + std::to_string(index) + ")");
  }
}

HashItem& HashList::Items(int index) const {
  CheckIndex(index, Count());
  return *items_[static_cast<size_t>(index)];
}

void HashList::SetItem(int index, std::unique_ptr<HashItem> item) {
  CheckIndex(index, Count());
  items_[static_cast<size_t>(index)] = ItemPtr(item.release());
}

int HashList::Add(std::unique_ptr<HashItem> item) {
  items_.emplace_back(item.release());
  return Count() - 1;
}

int HashList::AddCopy(const HashItem& item) {
  auto copy = std::make_unique<HashItem>();
  copy->Assign(item);
  return Add(std::move(copy));
}

int HashList::IndexOf(const HashItem* item) const {
  for (size_t i = 0; i < items_.size(); ++i) {
    if (items_[i].get() == item) return static_cast<int>(i);
  }
  return -1;
}

void HashList::Insert(int index, std::unique_ptr<HashItem> item) {
  CheckIndex(index, Count() + 1);
  items_.insert(items_.begin() + index, ItemPtr(item.release()));
}

void HashList::InsertAll(std::vector<std::pair<int, std::unique_ptr<HashItem>>> items) {
  int lowest = 0;
  for (const auto& [index, item] : items) {
    CheckIndex(index, Count() + 1, lowest);
    lowest = index;
  }
  // From the back, so that every entry moves once.
  size_t from = items_.size();
  items_.resize(items_.size() + items.size());
  size_t to = items_.size();
  for (size_t k = items.size(); k-- > 0;) {
    const auto index = static_cast<size_t>(items[k].first);
    while (from > index) items_[--to] = std::move(items_[--from]);
    items_[--to].reset(items[k].second.release());
  }
}

int HashList::Remove(const HashItem* item) {
  const int index = IndexOf(item);
  if (index >= 0) Delete(index);
  return index;
}

void HashList::Delete(int index) {
  CheckIndex(index, Count());
  items_.erase(items_.begin() + index);
}

void HashList::Clear() {
  items_.clear();
  item_arena_.Reset();
  text_arena_.Reset();
}

void HashList::AddLine(std::string_view line, int64_t line_number,
                       const std::shared_ptr<const std::string>& base_path, HashState default_state) {
  const std::string_view trimmed = TrimControls(line);
  if (trimmed.empty() || trimmed.front() == ';') return;
  ItemPtr item(new (item_arena_.Allocate(sizeof(HashItem), alignof(HashItem))) HashItem());
  item->MarkInArena();
  try {
    // Lines come from a text stream or are made valid first.
    item->SetAsString(trimmed, &text_arena_, true);
  } catch (EHashItemError& e) {
    e.SetMessage("Line " + std::to_string(line_number) + " - " + e.Message());
    throw;
  }
  item->SetBasePath(base_path);
  item->SetState(default_state);
  items_.push_back(std::move(item));
}

void HashList::LoadFromFile(const std::string& file_name, std::shared_ptr<const std::string> base_path,
                            const progress::ProgressEvent& on_progress, HashState default_state) {
  int64_t line_number = 0;
  std::string line;
  if (file_name.empty()) {
    // Standard input has no size, so there is no progress to report.
    platform::Console& console = platform::CurrentConsole();
    while (console.ReadLine(&line)) {
      AddLine(IsValidUtf8(line) ? line : AnsiToUtf8(line), ++line_number, base_path, default_state);
    }
    return;
  }
  // A pipe, a FIFO or a device is read until its end; it has no size, so
  // there is no progress to report.
  TextStream stream(file_name, OpenMode::fmOpenRead);
  const int64_t total = stream.Size();
  // An estimate of the bytes read so far, exact for single-byte text with CR LF.
  int64_t position = 0;
  while (stream.ReadLine(&line, kLongestLine)) {
    ++line_number;
    // No path makes a line this long; what does (a device such as
    // /dev/zero) may never end.
    if (line.size() > kLongestLine) {
      throw EHashItemError("Line " + std::to_string(line_number) + " - Invalid AsString input.");
    }
    position += static_cast<int64_t>(Utf16Length(line)) + 2;
    AddLine(line, line_number, base_path, default_state);
    if (on_progress && total >= 0) on_progress(this, position, total);
  }
  stream.Close();
  // A list grown by doubling may hold twice the room it needs.
  if (items_.capacity() > items_.size() + items_.size() / 8) items_.shrink_to_fit();
}

void HashList::SaveToFile(const std::string& file_name, const progress::ProgressEvent& on_progress,
                          HashStates skip_states) {
  if (file_name.empty()) {
    platform::Console& console = platform::CurrentConsole();
    WriteLines(on_progress, skip_states, [&console](std::string& line) {
      line.append("\r\n");
      const platform::ErrorCode error = console.Write(line);
      if (error != 0) throw EInOutError(console.ErrorText(error));
    });
    return;
  }

  FileReplacement replacement(file_name);
  WriteTo(replacement, on_progress, skip_states);
  replacement.Commit();
}

void HashList::WriteTo(FileReplacement& file, const progress::ProgressEvent& on_progress,
                       HashStates skip_states) {
  file.Text().SetEncoding(feUTF8);
  WriteLines(on_progress, skip_states, [&file](std::string& line) { file.WriteLine(line); });
}

void HashList::WriteLines(const progress::ProgressEvent& on_progress, HashStates skip_states,
                          const std::function<void(std::string& line)>& write) const {
  const int count = Count();
  std::string line;
  for (int i = 0; i < count; ++i) {
    const HashItem& item = *items_[static_cast<size_t>(i)];
    if (!skip_states.Contains(item.State())) {
      line.clear();
      item.AppendAsString(line);
      write(line);
    }
    if (on_progress) on_progress(this, i + 1, count);
  }
}

void HashList::DeleteByState(HashState state) {
  DeleteWhere([state](const HashItem& item) { return item.State() == state; });
}

void HashList::DeleteWhere(const std::function<bool(const HashItem&)>& doomed) {
  // Decided first, so that a test that throws leaves the list as it was.
  std::vector<bool> marks(items_.size());
  for (size_t i = 0; i < items_.size(); ++i) marks[i] = doomed(*items_[i]);
  size_t kept = 0;
  for (size_t i = 0; i < items_.size(); ++i) {
    if (!marks[i]) items_[kept++] = std::move(items_[i]);
  }
  items_.resize(kept);
}

template <typename KeyOf, typename Compare>
void HashList::SortWithKeys(KeyOf key_of, Compare compare, bool rarely_equal) {
  const size_t count = items_.size();
  if (count < 2) return;
  const KeyOrder<Compare> order{compare};
  // Lists are mostly in order already (saved lists load in path order,
  // results get a short tail), and where no two keys are equal any sort
  // gives what the quicksort would: then only the rest is sorted and merged
  // in, in place. Equal keys make the order depend on the procedure: then
  // the quicksort runs.
  size_t front = 1;
  for (uint64_t key = key_of(*items_[0], KeyWord::kFirst); front < count; ++front) {
    const uint64_t next = key_of(*items_[front], KeyWord::kFirst);
    if (order(key, items_[front - 1].get(), next, items_[front].get()) >= 0) break;
    key = next;
  }
  if (front == count) return;
  if (front >= count / 2 && MergeTailIfDistinct(front, key_of, order)) return;

  std::vector<uint64_t> keys;
  keys.reserve(count);
  for (const ItemPtr& item : items_) keys.push_back(key_of(*item, KeyWord::kFirst));
  const int last = static_cast<int>(count) - 1;
  // Keys that are rarely equal are mostly all distinct: then there is no
  // need for the quicksort at all.
  if (rarely_equal && SortIfDistinct(items_, keys, 0, last, key_of, order)) return;
  // More bad partitions than this only an order made to defeat the pivot
  // choice gives.
  const int bad = static_cast<int>(std::bit_width(count));
  QuickSort(items_, keys, 0, last, key_of, order, bad);
}

template <typename KeyOf, typename Order>
bool HashList::MergeTailIfDistinct(size_t front, KeyOf key_of, const Order& order) {
  const size_t count = items_.size();
  std::vector<SortEntry> tail;
  tail.reserve(count - front);
  for (size_t k = front; k < count; ++k) tail.push_back({key_of(*items_[k], KeyWord::kFirst), items_[k].get()});
  const auto less = [&order](const SortEntry& a, const SortEntry& b) { return order.Less(a, b); };
  std::sort(tail.begin(), tail.end(), less);
  // The front is strictly ascending; no entry of the tail may equal another
  // one or one of the front.
  const auto front_end = items_.begin() + static_cast<std::ptrdiff_t>(front);
  for (size_t k = 0; k < tail.size(); ++k) {
    if (k > 0 && order(tail[k - 1], tail[k]) == 0) return false;
    const auto at = std::partition_point(items_.begin(), front_end, [&](const ItemPtr& item) {
      return order(key_of(*item, KeyWord::kFirst), item.get(), tail[k].key, tail[k].item) < 0;
    });
    if (at != front_end && order(key_of(**at, KeyWord::kFirst), at->get(), tail[k].key, tail[k].item) == 0) {
      return false;
    }
  }
  // From the back: every place written to is free, a tail slot (whose entry
  // waits in `tail`) or one whose front entry has moved on already.
  for (size_t k = front; k < count; ++k) static_cast<void>(items_[k].release());
  size_t next_front = front;
  size_t next_tail = tail.size();
  for (size_t write = count; next_tail > 0;) {
    --write;
    const SortEntry& last_tail = tail[next_tail - 1];
    const HashItem* last_front = next_front > 0 ? items_[next_front - 1].get() : nullptr;
    if (last_front != nullptr &&
        order(key_of(*last_front, KeyWord::kFirst), last_front, last_tail.key, last_tail.item) > 0) {
      items_[write] = std::move(items_[--next_front]);
    } else {
      items_[write].reset(last_tail.item);
      --next_tail;
    }
  }
  return true;
}

void HashList::SortByPath() {
  // Two entries of one path are rare, two of one content are not.
  SortWithKeys([](const HashItem& item, KeyWord word) { return FoldedPathKey(item.Path(), word); },
               [](const HashItem& a, const HashItem& b) { return CompareByPath(a, b); }, true);
}

void HashList::SortByHash() {
  SortWithKeys([](const HashItem& item, KeyWord word) { return HashKey(item, word); },
               [](const HashItem& a, const HashItem& b) { return CompareByHash(a, b); }, false);
}

bool HashList::FindByPath(std::string_view path, int& index) const {
  return BinarySearch(items_, index, [path](const HashItem& item) { return ComparePaths(item.Path(), path); });
}

bool HashList::FindByHash(std::string_view hash, int64_t size, int& index) const {
  return BinarySearch(items_, index, [hash, size](const HashItem& item) {
    const HashText item_hash = item.Hash();
    return CompareHashAndSize(item_hash, item.Size(), hash, size);
  });
}

std::vector<HashList::HashRun> HashList::FindAllByHash(const std::vector<const HashItem*>& keys) const {
  struct Probe {
    uint64_t key;
    int index;
  };
  const KeyOrder<int (*)(const HashItem&, const HashItem&)> order{CompareByHash};
  std::vector<Probe> probes;
  probes.reserve(keys.size());
  for (size_t k = 0; k < keys.size(); ++k) probes.push_back({HashKey(*keys[k]), static_cast<int>(k)});
  // Which of several equal keys comes first does not matter here.
  std::sort(probes.begin(), probes.end(), [&](const Probe& a, const Probe& b) {
    return order(a.key, keys[static_cast<size_t>(a.index)], b.key, keys[static_cast<size_t>(b.index)]) < 0;
  });

  // Sorted by hash, the list lies scattered in memory: its entries and
  // their text are fetched some steps ahead of the merge.
  constexpr size_t kAhead = 32;
  const size_t count = items_.size();
  const auto key_at = [this, count](size_t j) {
    if (j + kAhead < count) __builtin_prefetch(items_[j + kAhead].get());
    if (j + kAhead / 2 < count) __builtin_prefetch(items_[j + kAhead / 2]->HashData());
    return HashKey(*items_[j]);
  };
  // So do the entries sought, which meet their match in the list with an
  // equal key and are compared whole then.
  const auto wanted_at = [&](size_t p) {
    if (p + kAhead < probes.size()) __builtin_prefetch(keys[static_cast<size_t>(probes[p + kAhead].index)]);
    if (p + kAhead / 2 < probes.size()) {
      __builtin_prefetch(keys[static_cast<size_t>(probes[p + kAhead / 2].index)]->HashData());
    }
    return keys[static_cast<size_t>(probes[p].index)];
  };
  std::vector<HashRun> found(keys.size());
  HashRun run;
  size_t j = 0;
  for (size_t p = 0; p < probes.size(); ++p) {
    const Probe& probe = probes[p];
    const HashItem* wanted = wanted_at(p);
    int c = -1;
    while (j < count && (c = order(key_at(j), items_[j].get(), probe.key, wanted)) < 0) ++j;
    if (j == count) break;
    if (c != 0) continue;
    // Equal probes share the run, which is counted once.
    if (run.first != static_cast<int>(j)) {
      size_t end = j + 1;
      while (end < count && order(key_at(end), items_[end].get(), probe.key, wanted) == 0) ++end;
      run = {static_cast<int>(j), static_cast<int>(end - j)};
    }
    found[static_cast<size_t>(probe.index)] = run;
  }
  return found;
}

}  // namespace hv
