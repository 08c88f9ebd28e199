#include "engine/hash_list.h"

#include <algorithm>
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

// Sorts v[l..r]: middle pivot, Hoare-style partition. Disjoint ranges are
// partitioned independently of each other, so recursing into the smaller
// side (to bound the stack) leaves exactly the order that always recursing
// into the left side would.
template <typename Compare>
void QuickSort(std::vector<HashList::SortEntry>& v, int l, int r, Compare compare) {
  while (l < r) {
    int i = l;
    int j = r;
    const HashList::SortEntry pivot = v[static_cast<size_t>((l + r) >> 1)];
    do {
      while (compare(v[static_cast<size_t>(i)], pivot) < 0) ++i;
      while (compare(v[static_cast<size_t>(j)], pivot) > 0) --j;
      if (i <= j) {
        if (i != j) std::swap(v[static_cast<size_t>(i)], v[static_cast<size_t>(j)]);
        ++i;
        --j;
      }
    } while (i <= j);
    if (j - l < r - i) {
      if (l < j) QuickSort(v, l, j, compare);
      l = i;
    } else {
      if (i < r) QuickSort(v, i, r, compare);
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
  const int count = Count();
  if (file_name.empty()) {
    platform::Console& console = platform::CurrentConsole();
    for (int i = 0; i < count; ++i) {
      const HashItem& item = *items_[static_cast<size_t>(i)];
      if (!skip_states.Contains(item.State())) {
        const platform::ErrorCode error = console.Write(item.AsString() + "\r\n");
        if (error != 0) throw EInOutError(console.ErrorText(error));
      }
      if (on_progress) on_progress(this, i + 1, Count());
    }
    return;
  }

  FileReplacement replacement(file_name);
  WriteTo(replacement, on_progress, skip_states);
  replacement.Commit();
}

void HashList::WriteTo(FileReplacement& file, const progress::ProgressEvent& on_progress,
                       HashStates skip_states) {
  file.Text().SetEncoding(feUTF8);
  const int count = Count();
  for (int i = 0; i < count; ++i) {
    const HashItem& item = *items_[static_cast<size_t>(i)];
    if (!skip_states.Contains(item.State())) file.WriteLine(item.AsString());
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
void HashList::SortWithKeys(KeyOf key_of, Compare compare) {
  if (items_.size() < 2) return;
  std::vector<SortEntry> entries;
  entries.reserve(items_.size());
  for (const ItemPtr& item : items_) entries.push_back({key_of(*item), item.get()});
  const auto by_key = [compare](const SortEntry& a, const SortEntry& b) {
    if (a.key != b.key) return a.key < b.key ? -1 : 1;
    // The pivot meets itself; that needs no look at the entry.
    if (a.item == b.item) return 0;
    return compare(*a.item, *b.item);
  };
  // Where no two entries have equal keys there is only one sorted order, so
  // any sort gives what the quicksort would. Lists are mostly in order
  // already (saved lists load in path order, results get a short tail), so
  // the ordered front is kept and only the rest sorted and merged in. Equal
  // keys make the order depend on the procedure: then the quicksort runs.
  size_t front = 1;
  while (front < entries.size() && by_key(entries[front - 1], entries[front]) < 0) ++front;
  if (front == entries.size()) return;
  if (front < entries.size() / 2) {
    QuickSort(entries, 0, Count() - 1, by_key);
    MoveOver(entries);
    return;
  }
  std::vector<SortEntry> sorted = entries;
  const auto less = [&by_key](const SortEntry& a, const SortEntry& b) { return by_key(a, b) < 0; };
  std::sort(sorted.begin() + static_cast<std::ptrdiff_t>(front), sorted.end(), less);
  std::inplace_merge(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(front), sorted.end(), less);
  bool unique = true;
  for (size_t i = 1; i < sorted.size() && unique; ++i) unique = by_key(sorted[i - 1], sorted[i]) != 0;
  if (unique) {
    entries = std::move(sorted);
  } else {
    QuickSort(entries, 0, Count() - 1, by_key);
  }
  MoveOver(entries);
}

void HashList::MoveOver(const std::vector<SortEntry>& entries) {
  // Nothing can fail here, so ownership moves over in one go.
  for (ItemPtr& item : items_) item.release();
  for (size_t i = 0; i < entries.size(); ++i) items_[i].reset(entries[i].item);
}

void HashList::SortByPath() {
  SortWithKeys([](const HashItem& item) { return FoldedPathKey(item.Path()); },
               [](const HashItem& a, const HashItem& b) { return CompareByPath(a, b); });
}

void HashList::SortByHash() {
  SortWithKeys([](const HashItem& item) { return HashKey(item.Hash()); },
               [](const HashItem& a, const HashItem& b) { return CompareByHash(a, b); });
}

bool HashList::FindByPath(std::string_view path, int& index) const {
  return BinarySearch(items_, index, [path](const HashItem& item) { return ComparePaths(item.Path(), path); });
}

bool HashList::FindByHash(std::string_view hash, int64_t size, int& index) const {
  return BinarySearch(items_, index, [hash, size](const HashItem& item) {
    return CompareHashAndSize(item.Hash(), item.Size(), hash, size);
  });
}

}  // namespace hv
