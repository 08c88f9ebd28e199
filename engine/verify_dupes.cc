// Entries of equal content (equal hash text and size), within one list or
// between two.
#include <memory>

#include "engine/entry_order.h"
#include "engine/verify.h"
#include "support/file_stream.h"
#include "support/text_stream.h"
#include "support/utf8.h"

namespace hv {

int Verify::Dupes(bool one_file_only) {
  StartCommand();
  LoadHashFile(hashes_file_name_, *hash_list_);
  HashList* other = hash_list_.get();
  if (!one_file_only) {
    LoadHashFile(match_list_file_name_, *aux_hash_list_);
    other = aux_hash_list_.get();
  }
  other->SortByHash();
  if (show_progress_) DoStateChange(vstLookingForDupes, nullptr);

  const int64_t total = hash_list_->Count();
  int64_t step = -1;
  const auto next_step = [&] { ItemProgress(this, ++step, total); };
  next_step();

  int32_t counts[hsRenamed + 1] = {};
  // The output file exists after the command even when no pair is found.
  std::unique_ptr<TextStream> output;
  if (!output_file_name_.empty()) {
    output = std::make_unique<TextStream>(FileStream::CreateOutput(output_file_name_));
  }
  int run_start = 0;
  for (int n = 0; n < hash_list_->Count(); ++n) {
    HashItem& item = hash_list_->Items(n);
    item.SetState(hsNew);
    int j = 0;
    // Within one list, sorted by hash and walked in that order, the run of
    // an entry's content starts where the previous entry's did or at the
    // entry itself: what the binary search would find, without its cost.
    bool found;
    if (one_file_only) {
      if (n == 0 || CompareByHash(hash_list_->Items(n - 1), item) != 0) run_start = n;
      j = run_start;
      found = true;
    } else {
      found = other->FindByHash(item.Hash(), item.Size(), j);
    }
    if (found) {
      for (; j < other->Count() && CompareByHash(item, other->Items(j)) == 0; ++j) {
        HashItem& partner = other->Items(j);
        if (&partner == &item) continue;
        item.SetState(hsCopied);
        item.SetRelated(&partner);
        if (output) output->WriteLine(VisibleUtf8(item.DupesOutput(true)));
        if (show_progress_) DoStateChange(vstDupesOutput, std::make_unique<StateChangeHashItem>(item));
      }
    }
    ++counts[item.State()];
    next_step();
  }
  if (output) output->Close();

  SendStatistics(vstDupesStats, counts);
  return kResultNothing;
}

}  // namespace hv
