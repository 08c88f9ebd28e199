// Classification of a new list against an old one (matched, added, changed,
// deleted, copied, renamed), and the Match command that runs it on two
// hash-list files.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/entry_order.h"
#include "engine/list_lookup.h"
#include "engine/verify.h"
#include "support/file_stream.h"
#include "support/text_stream.h"
#include "support/utf8.h"

namespace hv {

namespace {

// FindByHash for many entries at once: for each, the index of the first
// entry of `list` with its hash and size, or -1. The searches run in
// lockstep so that the cache misses of one level overlap instead of adding
// up: a list sorted by hash lies scattered in memory.
std::vector<int> FindAllByHash(const HashList& list, const std::vector<const HashItem*>& keys) {
  constexpr size_t kLanes = 16;
  const int count = list.Count();
  std::vector<int> found(keys.size(), -1);
  for (size_t base = 0; base < keys.size(); base += kLanes) {
    const size_t lanes = std::min(kLanes, keys.size() - base);
    int lo[kLanes];
    int hi[kLanes];
    const HashItem* probe[kLanes];
    for (size_t k = 0; k < lanes; ++k) {
      lo[k] = 0;
      hi[k] = count;
    }
    for (bool active = count > 0; active;) {
      for (size_t k = 0; k < lanes; ++k) {
        probe[k] = lo[k] < hi[k] ? &list.Items(lo[k] + (hi[k] - lo[k]) / 2) : nullptr;
        if (probe[k] != nullptr) __builtin_prefetch(probe[k]);
      }
      for (size_t k = 0; k < lanes; ++k) {
        if (probe[k] != nullptr) __builtin_prefetch(probe[k]->HashData());
      }
      active = false;
      for (size_t k = 0; k < lanes; ++k) {
        if (probe[k] == nullptr) continue;
        const int mid = lo[k] + (hi[k] - lo[k]) / 2;
        if (CompareByHash(*probe[k], *keys[base + k]) < 0) {
          lo[k] = mid + 1;
        } else {
          hi[k] = mid;
        }
        active |= lo[k] < hi[k];
      }
    }
    for (size_t k = 0; k < lanes; ++k) {
      if (lo[k] < count && CompareByHash(list.Items(lo[k]), *keys[base + k]) == 0) found[base + k] = lo[k];
    }
  }
  return found;
}

// Whether no two neighbours are equal or out of order: then the list is in
// the one order that sorting it by path can give.
bool InStrictPathOrder(const HashList& list) {
  for (int i = 1; i < list.Count(); ++i) {
    if (CompareByPath(list.Items(i - 1), list.Items(i)) >= 0) return false;
  }
  return true;
}

// An old entry that the content pass made a rename source, and whether a
// new entry still has its path.
struct RenameCandidate {
  HashItem* item;
  bool path_present;
};

// The old entries of one content, from `first` on in hash order, as its new
// entries take them: the candidates before `free_end` are still free, and
// `last` is the latest new entry of the content.
struct ContentRun {
  int first;
  int free_end;
  HashItem* last;
};

}  // namespace

int Verify::CompareLists() {
  HashList& new_list = *hash_list_;
  HashList& old_list = *aux_hash_list_;

  if (show_progress_) DoStateChange(vstComparingHashlists, nullptr);

  const int old_count = old_list.Count();
  const int new_count = new_list.Count();
  const int64_t total = 2 * static_cast<int64_t>(old_count) + 2 * static_cast<int64_t>(new_count);
  int64_t step = -1;
  // Every step is also an abort check, shown or not.
  const auto next_step = [&] {
    ++step;
    ItemProgress(this, step, total);
  };
  next_step();

  // Links left by an earlier comparison of the same lists would mislead the
  // content pass, so they go with the states.
  for (int i = 0; i < old_count; ++i) {
    old_list.Items(i).SetState(hsDeleted);
    old_list.Items(i).SetRelated(nullptr);
    next_step();
  }
  if (!InStrictPathOrder(old_list)) old_list.SortByPath();

  // Path pass: each new entry against the run of old entries of its path.
  int index = 0;
  for (int i = 0; i < new_count; ++i) {
    HashItem& item = new_list.Items(i);
    if (item.State() == hsUnchecked) {
      // Not read, so taken to be as it was: its old entry is no deletion and
      // no rename source, and new files of its content are copies.
      if (FindByPathNear(old_list, item.Path(), index, index)) {
        item.SetRelated(&old_list.Items(index));
        for (int j = index; j < old_count && old_list.Items(j).Path() == item.Path(); ++j) {
          old_list.Items(j).SetState(hsOK);
        }
      }
    } else if (FindByPathNear(old_list, item.Path(), index, index)) {
      item.SetState(hsChanged);
      item.SetRelated(&old_list.Items(index));
      // Only identical paths compare equal, so the run ends at the first
      // other path.
      for (int j = index; j < old_count; ++j) {
        HashItem& old = old_list.Items(j);
        if (old.Path() != item.Path()) break;
        if (CompareByHash(item, old) != 0) {
          if (old.State() == hsDeleted) old.SetState(hsChanged);
        } else {
          if (item.State() != hsOK) {
            item.SetState(hsOK);
            item.SetRelated(&old);
          }
          old.SetState(hsOK);
        }
      }
    } else {
      item.SetRelated(nullptr);
      item.SetState(hsNew);
    }
    next_step();
  }

  // The gone entries, picked up while the list still lies in memory in
  // path order; sorted by hash it is scattered.
  std::vector<HashItem*> gone;
  std::vector<const HashItem*> unmatched;
  for (int j = 0; j < old_count; ++j) {
    if (old_list.Items(j).State() == hsDeleted) gone.push_back(&old_list.Items(j));
  }
  for (int i = 0; i < new_count; ++i) {
    if (new_list.Items(i).State() == hsNew) unmatched.push_back(&new_list.Items(i));
  }

  // Content pass over the entries the path pass left new. The first new
  // entry of a content makes each old entry of it that no path matched a
  // rename candidate. Each new entry takes the last candidate of its content
  // that no earlier one took (once all are taken, it is a copy of the first
  // old entry), and the candidates nobody took name the content's last new
  // entry: the links that walking the whole run of old entries for each new
  // entry would leave, without that walk's quadratic cost. With no entry to
  // search for, the old list needs no hash order.
  if (!unmatched.empty()) old_list.SortByHash();
  const std::vector<int> content_index = FindAllByHash(old_list, unmatched);
  std::vector<RenameCandidate> candidates;
  std::vector<ContentRun> runs;
  std::unordered_map<int, size_t> run_of_first;
  size_t next_unmatched = 0;
  for (int i = 0; i < new_count; ++i) {
    HashItem& item = new_list.Items(i);
    if (item.State() == hsNew) {
      const int first = content_index[next_unmatched++];
      if (first >= 0) {
        const auto [found, added] = run_of_first.try_emplace(first, runs.size());
        if (added) {
          int end = first;
          for (; end < old_count && CompareByHash(item, old_list.Items(end)) == 0; ++end) {
            HashItem& old = old_list.Items(end);
            if (old.State() == hsOK) continue;
            candidates.push_back({&old, old.State() == hsChanged});
            old.SetState(hsRenamed);
          }
          runs.push_back({first, end, nullptr});
        }
        ContentRun& run = runs[found->second];
        item.SetState(hsCopied);
        item.SetRelated(&old_list.Items(first));
        while (run.free_end > run.first && old_list.Items(run.free_end - 1).State() == hsOK) --run.free_end;
        if (run.free_end > run.first) {
          HashItem& old = old_list.Items(--run.free_end);
          item.SetRelated(&old);
          old.SetRelated(&item);
        }
        run.last = &item;
      }
    }
    next_step();
  }
  for (const ContentRun& run : runs) {
    for (int j = run.first; j < run.free_end; ++j) {
      HashItem& old = old_list.Items(j);
      if (old.State() != hsOK) old.SetRelated(run.last);
    }
  }

  // Settling the renames. Every new entry linked in the content pass is
  // named by one or more candidates, among them the one it names itself
  // (the last it was linked with). It becomes the rename of one of them: of
  // that one, unless its path still exists while another of them vanished;
  // then of the first vanished one, so that no vanished file is left over
  // as DELETED when a rename can account for it. The other candidates
  // go back to what the path pass made of them (changed where a new entry
  // has their path, else deleted) and name nothing.
  for (const RenameCandidate& candidate : candidates) {
    candidate.item->SetState(candidate.path_present ? hsChanged : hsDeleted);
  }
  for (const RenameCandidate& candidate : candidates) {
    HashItem& old = *candidate.item;
    HashItem& partner = *old.Related();
    if (old.State() == hsDeleted && partner.Related()->State() == hsChanged) partner.SetRelated(&old);
  }
  for (const RenameCandidate& candidate : candidates) {
    HashItem& old = *candidate.item;
    HashItem& partner = *old.Related();
    if (partner.Related() == &old) {
      old.SetState(hsRenamed);
      partner.SetState(hsRenamed);
    } else {
      old.SetRelated(nullptr);
    }
  }
  bool deleted_added = false;
  for (const HashItem* old : gone) {
    if (old->State() == hsDeleted) {
      new_list.AddCopy(*old);
      deleted_added = true;
    }
  }
  for (int j = 0; j < old_count; ++j) next_step();
  // What could not be checked has its error line and no result.
  new_list.DeleteByState(hsUnchecked);

  if (show_progress_) DoStateChange(vstSortingResults, nullptr);
  // Deleted entries come after the new ones, out of order as a rule.
  if (deleted_added || !InStrictPathOrder(new_list)) new_list.SortByPath();
  if (show_progress_) DoStateChange(vstWritingResults, nullptr);

  int result = kResultNothing;
  int32_t counts[hsRenamed + 1] = {};
  // Kept open since the start when written in place.
  std::unique_ptr<TextStream> output = std::move(kept_output_);
  const int result_count = new_list.Count();
  for (int i = 0; i < result_count; ++i) {
    const HashItem& item = new_list.Items(i);
    ++counts[item.State()];
    if (!hide_states_.Contains(item.State())) {
      result = kResultShown;
      // Created only now, so a run that shows nothing leaves no file.
      if (output == nullptr && !output_file_name_.empty()) {
        output = std::make_unique<TextStream>(FileStream::CreateOutput(output_file_name_));
      }
      if (output != nullptr) output->WriteLine(VisibleUtf8(item.MatchOutput(true)));
    }
    if (show_progress_) DoStateChange(vstMatchOutput, std::make_unique<StateChangeHashItem>(item));
  }
  // A failed write or close leaves here; the stream then goes quietly.
  if (output != nullptr) output->Close();
  output.reset();

  SendStatistics(vstMatchStats, counts);
  return result;
}

int Verify::Match() {
  KeepOutputOpen();
  StartCommand();
  LoadHashFile(hashes_file_name_, *hash_list_);
  LoadHashFile(match_list_file_name_, *aux_hash_list_);
  return CompareLists();
}

}  // namespace hv
