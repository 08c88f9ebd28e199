// The list of entries the engine works on. It owns its entries, loads and
// saves hash-list files, sorts by path or by content and finds entries by
// binary search.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/arena.h"
#include "engine/hash_item.h"
#include "engine/progress.h"

namespace hv {

class FileReplacement;

// Entries loaded from a file live in the list's arena: destroyed, not freed.
struct HashItemDeleter {
  void operator()(HashItem* item) const noexcept;
};

class HashList {
 public:
  HashList() = default;
  HashList(const HashList&) = delete;
  HashList& operator=(const HashList&) = delete;

  int Count() const { return static_cast<int>(items_.size()); }
  HashItem& Items(int index) const;
  // Replaces the entry at `index`; the one that was there is freed.
  void SetItem(int index, std::unique_ptr<HashItem> item);

  int Add(std::unique_ptr<HashItem> item);
  // A new entry with every field of `item`, Related included.
  int AddCopy(const HashItem& item);
  // Index of this very entry, -1 if the list does not hold it.
  int IndexOf(const HashItem* item) const;
  // Before position `index`; index == Count() appends.
  void Insert(int index, std::unique_ptr<HashItem> item);
  // Each item before the entry at its index, in one pass: the indexes are of
  // the list as it is, in ascending order, and items of one index keep their
  // order.
  void InsertAll(std::vector<std::pair<int, std::unique_ptr<HashItem>>> items);
  // Frees the entry; returns its former index or -1.
  int Remove(const HashItem* item);
  void Delete(int index);
  void Clear();

  // Appends the entries of a hash-list file; comment and empty lines are
  // skipped. Each entry gets `base_path` and `default_state`. A pipe or a
  // device is read until its end; a line of more than 1 MiB is no entry.
  void LoadFromFile(const std::string& file_name, std::shared_ptr<const std::string> base_path,
                    const progress::ProgressEvent& on_progress, HashState default_state);
  // Writes every entry whose state is not in `skip_states` as a hash-list
  // file. The previous file stays whole until the new one is complete.
  void SaveToFile(const std::string& file_name, const progress::ProgressEvent& on_progress,
                  HashStates skip_states);
  // The same into a new file that the caller made and puts in place.
  void WriteTo(FileReplacement& file, const progress::ProgressEvent& on_progress, HashStates skip_states);

  // Deletes every entry in `state`, keeping the order of the rest.
  void DeleteByState(HashState state);
  // Deletes every entry for which `doomed` is true, in one pass, keeping the
  // order of the rest.
  void DeleteWhere(const std::function<bool(const HashItem&)>& doomed);

  // In-place quicksorts, not stable. Which of several entries with equal keys
  // comes first decides which copies and renames are paired later, so the
  // procedure is fixed: middle pivot, Hoare-style partition.
  void SortByPath();
  void SortByHash();

  // Binary searches on a list sorted the same way. `index` is the first entry
  // with an equal key, or where such an entry would have to be inserted.
  bool FindByPath(std::string_view path, int& index) const;
  bool FindByHash(std::string_view hash, int64_t size, int& index) const;
  // The entries of a list sorted by hash that have one hash and size.
  struct HashRun {
    int first = -1;  // -1 where there is none
    int count = 0;
  };
  // FindByHash for many entries at once, by one merge of both in hash order:
  // for each, the run of entries of this list (sorted by hash) with its hash
  // and size, the first of them where FindByHash finds it.
  std::vector<HashRun> FindAllByHash(const std::vector<const HashItem*>& keys) const;

 private:
  // Each entry not in `skip_states` as its hash-list line, in list order,
  // to `write` (which may add to the line); progress after every entry.
  void WriteLines(const progress::ProgressEvent& on_progress, HashStates skip_states,
                  const std::function<void(std::string& line)>& write) const;

  using ItemPtr = std::unique_ptr<HashItem, HashItemDeleter>;

  // An index from `lowest` up to count - 1, else EListError.
  void CheckIndex(int index, int count, int lowest = 0) const;
  // `key_of(item, word)` gives an entry's sort key of that word (see
  // entry_order.h); `rarely_equal` says whether equal keys are rare.
  template <typename KeyOf, typename Compare>
  void SortWithKeys(KeyOf key_of, Compare compare, bool rarely_equal);
  // Sorts the entries from `front` on and merges them into the ordered ones
  // before, unless two keys are equal (then false, and nothing changed).
  template <typename KeyOf, typename Order>
  bool MergeTailIfDistinct(size_t front, KeyOf key_of, const Order& order);
  // One line of a hash-list file: skipped when empty or a comment, else
  // parsed into a new entry.
  void AddLine(std::string_view line, int64_t line_number,
               const std::shared_ptr<const std::string>& base_path, HashState default_state);

  // The arenas outlive the entries placed in them (members go in reverse).
  Arena item_arena_;
  Arena text_arena_;
  std::vector<ItemPtr> items_;
};

}  // namespace hv
