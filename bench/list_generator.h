// Synthetic hash lists for benchmarks: an "old" list of a file tree and a
// "changed" list of the same tree after a few percent of edits, renames,
// copies, additions and deletions. The same seed gives the same lists.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/date_time.h"

namespace hv::bench {

struct GeneratedEntry {
  std::string path;  // 30 to 80 characters, '\' separated
  std::string hash;  // Base64 of 16 bytes, as a digest is stored
  int64_t size = 0;
  DateTime date = 0;
};

// Fractions of the old list's count.
struct ChangeMix {
  double changed = 0.02;
  double renamed = 0.01;
  double copied = 0.01;
  double added = 0.01;
  double deleted = 0.01;
  // Files of the old tree that share their content with another one.
  double duplicates = 0.005;
};

struct GeneratedLists {
  std::vector<GeneratedEntry> old_entries;
  std::vector<GeneratedEntry> new_entries;
};

// Both lists sorted by path, as saved hash-list files are.
GeneratedLists GenerateLists(int count, uint32_t seed, const ChangeMix& mix = ChangeMix());

// `count` entries named PREFIX\dNNN\fNNNNNNN.bin in path order, all of one
// content (that of an empty file) or each of its own.
std::vector<GeneratedEntry> NumberedEntries(int count, const std::string& prefix, bool one_content);

// Reorders entries of distinct paths so that the list's quicksort (middle
// pivot, Hoare partition) takes quadratic time on them: McIlroy's adversary
// run against that procedure.
void QuicksortKillerOrder(std::vector<GeneratedEntry>& entries);

// A hash-list file as the program writes it: UTF-8 with a byte-order mark,
// one line per entry, CR LF.
void WriteHashListFile(const std::string& file_name, const std::vector<GeneratedEntry>& entries);

}  // namespace hv::bench
