// What a directory scan takes from a listing and in which order it visits
// it. Build's read-ahead walks the trees ahead of the scan by these same
// rules, so that the two cannot disagree about what comes next.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/directory.h"

namespace hv {

// Why a name cannot be part of a hash-list line.
enum class NameProblem : uint8_t { kNone, kBackslash, kDoubleQuote, kLineBreak, kInvalidUtf8 };

// `separators_allowed`: '\' separates the names of a relative path, so there
// it is no problem.
NameProblem ProblemOf(std::string_view name, bool separators_allowed = false);

// The entries of one directory that a scan visits, in the order it visits
// them: by ComparePaths of their names. The names share one buffer, so a
// listing costs two growing buffers, not a string per name.
class ScanListing {
 public:
  struct Entry {
    uint64_t key;  // FoldedPathKey of the name, which decides most comparisons of the sort
    uint32_t offset;
    uint32_t length;
    bool directory;
  };

  void Add(std::string_view name, bool directory);
  // Puts what was added in scan order.
  void Sort();
  const std::vector<Entry>& entries() const { return entries_; }
  std::string_view Name(const Entry& entry) const {
    return std::string_view(names_).substr(entry.offset, entry.length);
  }

 private:
  std::string names_;
  std::vector<Entry> entries_;
};

// The order in which a scan meets two files of one tree (paths as stored):
// directory by directory, the names of each in the order of ScanListing.
int CompareInScanOrder(std::string_view a, std::string_view b);

// The one file that a scan passes over without a word: Build's new list
// while it is written, where the file system gives it a name. It is known
// by its device and inode, so a scan meets it under whatever path leads to
// its directory (a relative one, or one through a linked directory).
class ScanSkip {
 public:
  // Passes over nothing.
  ScanSkip() = default;
  // Passes over the file `name` (its last part is what a listing shows)
  // while it is the file of this device and inode.
  ScanSkip(std::string_view name, uint64_t device, uint64_t inode);

  // Whether the entry `name` of `directory`, which is no directory, is the
  // file passed over.
  bool Skips(platform::DirectoryHandle& directory, std::string_view name) const;

 private:
  // Only an entry of this name is looked at: the scan stats no other.
  std::string name_;
  uint64_t device_ = 0;
  uint64_t inode_ = 0;
};

}  // namespace hv
