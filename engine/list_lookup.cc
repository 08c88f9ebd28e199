#include "engine/list_lookup.h"

#include <algorithm>
#include <utility>

#include "engine/entry_order.h"

namespace hv {

bool FindByPathNear(const HashList& list, std::string_view path, int hint, int& index) {
  // Mostly the search ends a few entries from the hint; a far one falls back
  // to a plain binary search.
  constexpr int kGallopSteps = 8;
  const int count = list.Count();
  const auto before = [&](int i) { return ComparePaths(list.Items(i).Path(), path) < 0; };
  hint = std::clamp(hint, 0, count);
  // The answer lies in [lo, hi].
  int lo = 0;
  int hi = count;
  if (hint < count && before(hint)) {
    lo = hint + 1;
    int step = 1;
    for (int n = 0; n < kGallopSteps && lo < count; ++n, step *= 2) {
      const int probe = std::min(lo + step - 1, count - 1);
      if (!before(probe)) {
        hi = probe;
        break;
      }
      lo = probe + 1;
    }
  } else {
    hi = hint;
    int step = 1;
    for (int n = 0; n < kGallopSteps && hi > 0; ++n, step *= 2) {
      const int probe = std::max(hi - step, 0);
      if (before(probe)) {
        lo = probe + 1;
        break;
      }
      hi = probe;
    }
  }
  while (lo < hi) {
    const int mid = lo + (hi - lo) / 2;
    if (before(mid)) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  index = lo;
  return lo < count && list.Items(lo).Path() == path;
}

HashItem* ListLookup::Find(std::string_view path) {
  if (FindByPathNear(list_, path, hint_, hint_)) return &list_.Items(hint_);
  const auto found = added_index_.find(path);
  return found == added_index_.end() ? nullptr : added_[found->second].get();
}

void ListLookup::Add(std::unique_ptr<HashItem> item) {
  added_index_.emplace(item->Path(), added_.size());
  added_.push_back(std::move(item));
}

void ListLookup::Merge() {
  added_index_.clear();
  // No two paths compare equal, so any sort gives the one order.
  std::sort(added_.begin(), added_.end(),
            [](const std::unique_ptr<HashItem>& a, const std::unique_ptr<HashItem>& b) {
              return CompareByPath(*a, *b) < 0;
            });
  std::vector<std::pair<int, std::unique_ptr<HashItem>>> insertions;
  insertions.reserve(added_.size());
  int index = 0;
  for (std::unique_ptr<HashItem>& item : added_) {
    FindByPathNear(list_, item->Path(), index, index);
    insertions.emplace_back(index, std::move(item));
  }
  added_.clear();
  list_.InsertAll(std::move(insertions));
}

}  // namespace hv
