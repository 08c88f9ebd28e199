// Finding the files of a scan in a list in path order. A scan meets paths
// mostly in that order, so each search starts where the last one ended.
// Files that the list does not hold are kept aside until the scan ends, and
// later searches find them there; then they are merged in, each where an
// insertion of its own would have put it. Inserting each into the sorted list
// at once would move every entry after it, file after file.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/hash_item.h"
#include "engine/hash_list.h"

namespace hv {

// HashList::FindByPath, searched outward from `hint` (any index) first: the
// first entry whose path is not before `path`, and whether it has that path.
bool FindByPathNear(const HashList& list, std::string_view path, int hint, int& index);

class ListLookup {
 public:
  // `list` is in path order, and nothing else changes it until Merge.
  explicit ListLookup(HashList& list) : list_(list) {}
  ListLookup(const ListLookup&) = delete;
  ListLookup& operator=(const ListLookup&) = delete;

  // The entry of `path` (the first, should the list hold several), or null.
  HashItem* Find(std::string_view path);
  // Keeps aside an entry whose path the list does not hold.
  void Add(std::unique_ptr<HashItem> item);
  // Moves what was kept aside into the list, in path order.
  void Merge();

 private:
  // Looked up by a path's text, without a string made for it.
  struct PathHash {
    using is_transparent = void;
    size_t operator()(std::string_view path) const { return std::hash<std::string_view>{}(path); }
  };

  HashList& list_;
  // Where the last search in the list ended.
  int hint_ = 0;
  std::vector<std::unique_ptr<HashItem>> added_;
  // The position in added_ of each path kept aside.
  std::unordered_map<std::string, size_t, PathHash, std::equal_to<>> added_index_;
};

}  // namespace hv
