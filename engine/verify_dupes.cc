// Entries of equal content (equal hash text and size), within one list or
// between two.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/entry_order.h"
#include "engine/verify.h"
#include "support/file_stream.h"
#include "support/text_stream.h"

namespace hv {

int Verify::Dupes(bool one_file_only) {
  KeepOutputOpen();
  StartCommand();
  LoadHashFile(hashes_file_name_, *hash_list_);
  HashList* other = hash_list_.get();
  if (!one_file_only) {
    LoadHashFile(match_list_file_name_, *aux_hash_list_);
    other = aux_hash_list_.get();
  }
  other->SortByHash();
  // Between two lists: the entries of the other one with each entry's
  // content, found for all of them in one merge.
  std::vector<HashList::HashRun> partners;
  if (!one_file_only) {
    std::vector<const HashItem*> examined;
    examined.reserve(static_cast<size_t>(hash_list_->Count()));
    for (int n = 0; n < hash_list_->Count(); ++n) examined.push_back(&hash_list_->Items(n));
    partners = other->FindAllByHash(examined);
  }
  if (show_progress_) DoStateChange(vstLookingForDupes, nullptr);

  const int64_t total = hash_list_->Count();
  int64_t step = -1;
  const auto next_step = [&] { ItemProgress(this, ++step, total); };
  next_step();

  int32_t counts[hsRenamed + 1] = {};
  // The output file exists after the command even when no pair is found.
  std::unique_ptr<TextStream> output = std::move(kept_output_);
  if (output == nullptr && !output_file_name_.empty()) {
    output = std::make_unique<TextStream>(FileStream::CreateOutput(output_file_name_));
  }
  std::string line;
  int run_start = 0;
  bool same_as_previous = false;
  for (int n = 0; n < hash_list_->Count(); ++n) {
    HashItem& item = hash_list_->Items(n);
    item.SetState(hsNew);
    // The run of the other list's entries with the entry's content.
    int first = 0;
    int end = 0;
    if (one_file_only) {
      // Sorted by hash, the list lies scattered in memory: the entries to
      // come and their text are fetched some steps ahead.
      constexpr int kAhead = 16;
      if (n + kAhead < hash_list_->Count()) __builtin_prefetch(&hash_list_->Items(n + kAhead));
      if (n + kAhead / 2 < hash_list_->Count()) {
        __builtin_prefetch(hash_list_->Items(n + kAhead / 2).HashData());
      }
      // Walked in hash order, the run of an entry's content starts where the
      // previous entry's did or at the entry itself: what the binary search
      // would find, without its cost.
      if (!same_as_previous) run_start = n;
      first = run_start;
      for (end = n + 1; end < hash_list_->Count() && CompareByHash(item, hash_list_->Items(end)) == 0;) ++end;
      same_as_previous = end > n + 1;
    } else {
      first = partners[static_cast<size_t>(n)].first;
      end = first + partners[static_cast<size_t>(n)].count;
    }
    for (int j = first; j < end; ++j) {
      HashItem& partner = other->Items(j);
      if (&partner == &item) continue;
      item.SetState(hsCopied);
      item.SetRelated(&partner);
      if (output) {
        line.clear();
        item.AppendMatchOutput(line, true);
        output->WriteVisibleLine(line);
      }
      if (show_progress_) DoStateChange(vstDupesOutput, std::make_unique<StateChangeHashItem>(item));
    }
    ++counts[item.State()];
    next_step();
  }
  if (output) output->Close();

  SendStatistics(vstDupesStats, counts);
  return kResultNothing;
}

}  // namespace hv
