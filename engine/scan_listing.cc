#include "engine/scan_listing.h"

#include <algorithm>
#include <cstddef>

#include "engine/entry_order.h"
#include "platform/file_system.h"
#include "support/utf8.h"

namespace hv {

NameProblem ProblemOf(std::string_view name, bool separators_allowed) {
  bool ascii = true;
  NameProblem problem = NameProblem::kNone;
  for (const char c : name) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      ascii = false;
    } else if (problem == NameProblem::kNone) {
      if (c == '\\' && !separators_allowed) {
        problem = NameProblem::kBackslash;
      } else if (c == '"') {
        problem = NameProblem::kDoubleQuote;
      } else if (c == '\r' || c == '\n') {
        problem = NameProblem::kLineBreak;
      }
    }
  }
  // Invalid UTF-8 comes first: it also keeps the rules from reading the name.
  if (!ascii && !IsValidUtf8(name)) return NameProblem::kInvalidUtf8;
  return problem;
}

void ScanListing::Add(std::string_view name, bool directory) {
  entries_.push_back(
      Entry{FoldedPathKey(name), static_cast<uint32_t>(names_.size()), static_cast<uint32_t>(name.size()), directory});
  names_.append(name);
}

void ScanListing::Sort() {
  // ComparePaths is 0 only for identical names, which one directory cannot
  // hold, so any sort gives the same order.
  std::sort(entries_.begin(), entries_.end(), [this](const Entry& a, const Entry& b) {
    if (a.key != b.key) return a.key < b.key;
    return ComparePaths(Name(a), Name(b)) < 0;
  });
}

int CompareInScanOrder(std::string_view a, std::string_view b) {
  // Equal bytes are equal names: the comparison starts at the name in which
  // the paths first differ.
  const size_t same = static_cast<size_t>(std::mismatch(a.begin(), a.end(), b.begin(), b.end()).first - a.begin());
  if (same == a.size() && same == b.size()) return 0;
  const size_t separator = same == 0 ? std::string_view::npos : a.rfind('\\', same - 1);
  const size_t from = separator == std::string_view::npos ? 0 : separator + 1;
  a.remove_prefix(from);
  b.remove_prefix(from);
  for (;;) {
    const size_t a_end = a.find('\\');
    const size_t b_end = b.find('\\');
    if (const int order = ComparePaths(a.substr(0, a_end), b.substr(0, b_end)); order != 0) return order;
    if (a_end == std::string_view::npos || b_end == std::string_view::npos) {
      return a_end == b_end ? 0 : a_end == std::string_view::npos ? -1 : 1;
    }
    a.remove_prefix(a_end + 1);
    b.remove_prefix(b_end + 1);
  }
}

ScanSkip::ScanSkip(std::string_view name, uint64_t device, uint64_t inode)
    : name_(name.substr(name.rfind('/') + 1)), device_(device), inode_(inode) {}

bool ScanSkip::Skips(platform::DirectoryHandle& directory, std::string_view name) const {
  if (name_.empty() || name != name_) return false;
  platform::FileStatus status;
  return directory.Stat(name_, &status) == 0 && status.device == device_ && status.inode == inode_;
}

}  // namespace hv
