// Base directories and the directory scan. A base directory is absolute,
// lexically normalised and ends in '/'; the paths the scan hands on are
// relative to it and use '\' (sub\file.txt), as a hash list stores them.
#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/entry_order.h"
#include "engine/hash_item.h"
#include "engine/os_path.h"
#include "engine/scan_listing.h"
#include "engine/verify.h"
#include "platform/directory.h"
#include "platform/file_system.h"
#include "support/exceptions.h"
#include "support/utf8.h"

namespace hv {

namespace {

EInOutError NameError(NameProblem problem) {
  std::string message = "File name cannot be stored in a hash list: ";
  switch (problem) {
    case NameProblem::kBackslash: message += "it contains a backslash."; break;
    case NameProblem::kDoubleQuote: message += "it contains a double quote."; break;
    case NameProblem::kLineBreak: message += "it contains a line break."; break;
    case NameProblem::kInvalidUtf8: message += "it is not valid UTF-8."; break;
    case NameProblem::kNone: break;
  }
  return EInOutError(message);
}

// How many levels from the top keep their directory open while the scan is
// below them.
constexpr size_t kLevelsKeptOpen = 16;

// Device and inode of every directory the scan is inside, outermost first.
using AncestorChain = std::vector<std::pair<uint64_t, uint64_t>>;

// Keeps the directory on the scan's ancestor chain while it is scanned.
class AncestorGuard {
 public:
  AncestorGuard(AncestorChain& chain, uint64_t device, uint64_t inode) : chain_(chain) {
    chain_.emplace_back(device, inode);
  }
  ~AncestorGuard() { chain_.pop_back(); }
  AncestorGuard(const AncestorGuard&) = delete;
  AncestorGuard& operator=(const AncestorGuard&) = delete;

 private:
  AncestorChain& chain_;
};

// '/'-separated text after a split point, as a stored relative directory:
// '\'-separated, ending in '\', without "." or ".." (kept within the base).
std::string ToRelativeDirectory(std::string_view text) {
  std::string slashed;
  slashed.reserve(text.size() + 2);
  slashed.push_back('/');
  slashed.append(text);
  slashed.push_back('/');
  const std::string normal = platform::NormalizeAbsolutePath(slashed);
  std::string rel;
  rel.reserve(normal.size());
  for (size_t i = 1; i < normal.size(); ++i) rel.push_back(normal[i] == '/' ? '\\' : normal[i]);
  return rel;
}

}  // namespace

struct Verify::TreeScan {
  CommandRun& run;
  const BasePathPtr& base_path;
  FileProc file_proc;
  int param;
  AncestorChain ancestors;
};

std::string Verify::NormalizeDirectory(const std::string& directory) {
  std::string full = platform::CurrentFileSystem().FullPath(directory);
  // Without a current directory there is no absolute form: no usable directory.
  if (full.empty() || full.front() != '/') return {};
  if (full.back() != '/') full.push_back('/');
  if (full.find('\\') != std::string::npos) {
    throw EInOutError("The directory \"" + full +
                      "\" cannot be used: its path contains a backslash, which a hash list "
                      "uses to separate names.");
  }
  return full;
}

void Verify::NormalizeBaseDirectories() {
  for (std::string& directory : base_directories_) directory = NormalizeDirectory(directory);
}

void Verify::SplitBaseDirectory(const std::string& directory, std::string& base_path,
                                std::string& rel_path) {
  base_path.clear();
  rel_path.clear();
  const size_t bar = directory.find('|');
  if (bar != std::string::npos) {
    base_path = directory.substr(0, bar);
    if (base_path.empty() || base_path.back() != '/') base_path.push_back('/');
    std::string_view rest = std::string_view(directory).substr(bar + 1);
    if (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
    rel_path = ToRelativeDirectory(rest);
    return;
  }
  base_path = directory;
  if (base_directories_root_.empty()) return;
  const std::string root = NormalizeDirectory(base_directories_root_);
  // Both end in '/', so the root takes in whole path components only.
  if (root.empty() || directory.size() < root.size() ||
      ComparePaths(std::string_view(directory).substr(0, root.size()), root) != 0) {
    return;
  }
  base_path = root;
  std::string_view rest = std::string_view(directory).substr(root.size());
  if (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
  rel_path = ToRelativeDirectory(rest);
}

int Verify::ScanDirectory(CommandRun& run, const BasePathPtr& base_path, const std::string& rel_path,
                          FileProc file_proc, int param) {
  // A start path after '|' is the only one not checked name by name; a
  // backslash in it was a '/' (whole paths with one are refused), so the
  // system's name follows from the stored one.
  const NameProblem problem = ProblemOf(rel_path, true);
  TreeScan scan{run, base_path, file_proc, param, {}};
  run_ = &run;
  const struct RunReset {
    Verify& verify;
    ~RunReset() { verify.run_ = nullptr; }
  } reset{*this};
  return ScanLevel(scan, rel_path, OsPath("", rel_path), static_cast<uint8_t>(problem));
}

int Verify::ScanBaseDirectories(CommandRun& run, FileProc file_proc, int param) {
  int result = kResultNothingScanned;
  try {
    std::string base_path;
    std::string rel_path;
    for (const std::string& directory : base_directories_) {
      SplitBaseDirectory(directory, base_path, rel_path);
      const int r = ScanDirectory(run, std::make_shared<const std::string>(base_path), rel_path, file_proc, param);
      if (result == kResultNothingScanned || r != kResultNothing) result = r;
    }
  } catch (const EDelayedAbort&) {
    result = kResultAborted;
  }
  return result;
}

int Verify::ScanLevel(TreeScan& scan, const std::string& rel_path, const std::string& os_rel_path,
                      uint8_t inherited_problem) {
  platform::FileSystem& fs = platform::CurrentFileSystem();
  const std::string directory = *scan.base_path + os_rel_path;
  // A directory that cannot be listed hides what is below it: that is a
  // failure of its own, and its entries in a list were not checked. One that
  // has gone since its parent was listed simply holds nothing any more.
  const auto unlisted = [&](platform::ErrorCode error) -> int {
    if (error == ENOENT || error == ENOTDIR) return kResultNothing;
    scan.run.unreadable_directories.push_back(rel_path);
    const std::string name = directory.size() > 1 ? directory.substr(0, directory.size() - 1) : directory;
    return ReportFileError(EInOutError(fs.ErrorText(error)), name);
  };
  std::unique_ptr<platform::DirectoryReader> reader;
  if (const platform::ErrorCode error = fs.OpenDirectory(directory, &reader)) return unlisted(error);
  const uint64_t device = reader->device();
  const uint64_t inode = reader->inode();
  // Back at a directory the scan is already inside (a link to an ancestor):
  // entering it again would never end.
  for (const auto& [d, i] : scan.ancestors) {
    if (d == device && i == inode) return kResultNothing;
  }
  AncestorGuard guard(scan.ancestors, device, inode);

  ScanListing listing;
  std::string link_name;
  platform::DirectoryEntry found;
  while (reader->Next(&found)) {
    CheckAborted();
    bool is_directory = false;
    switch (found.kind) {
      case platform::EntryKind::kRegular: is_directory = false; break;
      case platform::EntryKind::kDirectory: is_directory = true; break;
      case platform::EntryKind::kSymbolicLink: {
        if (!junctions_) continue;
        // A link counts as what it leads to; one that leads nowhere is a file
        // that the per-file routine fails to open.
        platform::FileStatus status;
        link_name.assign(found.name);
        if (reader->Stat(link_name, &status) != 0) {
          is_directory = false;
        } else if (status.is_directory()) {
          is_directory = true;
        } else if (status.is_regular()) {
          is_directory = false;
        } else {
          continue;  // a FIFO, socket or device behind a link: never opened
        }
        break;
      }
      case platform::EntryKind::kOther: continue;  // opening a FIFO would hang the run
    }
    if (is_directory && !recursive_) continue;
    // The new list of a build, where the scan can meet it.
    if (!is_directory && scan.run.scan_skip.Skips(*reader, found.name)) continue;
    listing.Add(found.name, is_directory);
  }
  if (const platform::ErrorCode error = reader->error()) return unlisted(error);
  listing.Sort();

  int result = kResultNothing;
  std::string path;
  std::string os_path;
  for (const ScanListing::Entry& entry : listing.entries()) {
    CheckAborted();
    int r = kResultNothing;
    const std::string_view name = listing.Name(entry);
    path.assign(rel_path).append(name);
    os_path.assign(os_rel_path).append(name);
    // The first name on the way down that a list cannot hold decides.
    auto problem = static_cast<NameProblem>(inherited_problem);
    if (problem == NameProblem::kNone) problem = ProblemOf(name);
    if (entry.directory) {
      // The directory stays open for the stats of the files after this one,
      // but only near the top: a deep tree would hold a descriptor per level.
      if (scan.ancestors.size() >= kLevelsKeptOpen) reader.reset();
      // Directories are entered whatever their names: the rules, which test
      // files only, may still leave nothing below that needs storing.
      path.push_back('\\');
      os_path.push_back('/');
      r = ScanLevel(scan, path, os_path, static_cast<uint8_t>(problem));
    } else {
      // Rules read valid UTF-8 only; a path that is not is tested as it is
      // shown, each bad byte as \xNN.
      const bool included = problem == NameProblem::kNone ? IsIncluded(path) : IsIncluded(VisibleUtf8(path));
      if (included) {
        if (show_progress_) DoStateChange(vstProcessingFile, std::make_unique<StateChangeFilename>(path));
        if (problem != NameProblem::kNone) {
          r = ReportFileError(NameError(problem), *scan.base_path + os_path);
        } else {
          // Where the file is, for a stat of its name in the open directory.
          const struct VisitReset {
            CommandRun& run;
            ~VisitReset() { run.directory = nullptr; }
          } visit{scan.run};
          scan.run.directory = reader.get();
          scan.run.file_name.assign(name);
          r = (this->*scan.file_proc)(scan.base_path, path, scan.param);
        }
        if (show_progress_) DoStateChange(vstProgressDone, nullptr);
      }
    }
    if (r != kResultNothing) result = r;
  }
  return result;
}

}  // namespace hv
