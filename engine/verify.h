// The engine: one object holds everything for one run — the settings, the two
// hash lists, the include/exclude rules, the two events and the abort request
// — and offers the commands Build, Redure (verify), Update, Match and Dupes.
// It never writes to the console; it reports through its events.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/hash_item.h"
#include "engine/hash_list.h"
#include "engine/scan_listing.h"
#include "engine/verify_state.h"
#include "platform/error_code.h"
#include "support/exceptions.h"
#include "support/reg_exp.h"

namespace hv {

namespace platform {
class DirectoryReader;
struct FileStatus;
}  // namespace platform

class BuildReadAhead;
class ListLookup;
class TextStream;
struct ReadAheadTrees;

enum VerifyCommand : uint8_t { vcDefault, vcVerify, vcBuild, vcUpdate, vcMatch, vcDupes, vcDupes1 };

enum IncludeExcludeMask : uint8_t { iemInclude, iemExclude, iemIncludeRegExp, iemExcludeRegExp };

// What a command returns, which the program exits with, and what a per-file
// routine returns for its file.
enum CommandResult : int {
  // Nothing to report: every file listed, or no result shown.
  kResultNothing = 0,
  // Results shown (a file added or changed, for a per-file routine).
  kResultShown = 1,
  // No base directory was scanned.
  kResultNothingScanned = 102,
  // A file or directory could not be read (the last one in scan order for
  // verify and Update, whose results are shown all the same).
  kResultFileError = 103,
  // Stopped on request, at the next abort check.
  kResultAborted = 253,
};

// Raised at the engine's next abort check after Abort() was called.
HV_DECLARE_EXCEPTION(EDelayedAbort, EAbort);
inline constexpr char kTaskAborted[] = "Task aborted.";

// A base directory as handed to the per-file routines: absolute, normalised,
// ending in '/'. Shared by every entry made under it.
using BasePathPtr = std::shared_ptr<const std::string>;

// Unit functions of the rules: a pattern compiled case-insensitively with the
// dot matching everything, and a wildcard mask turned into such a pattern.
std::unique_ptr<RegExp> CreateMaskRegExp(std::string_view pattern);
std::string WildcardToPattern(std::string_view mask);
std::unique_ptr<RegExp> WildcardToRegExp(std::string_view mask);

class Verify {
 public:
  using StateChangeEvent =
      std::function<void(Verify& sender, VerifyState state, const StateChangeObject* info)>;
  using ProgressEvent = std::function<void(Verify& sender, int64_t position, int64_t max)>;
  // Per-file routine of a scan: kResultNothing, kResultShown (added or
  // changed) or kResultFileError.
  using FileProc = int (Verify::*)(const BasePathPtr& base_path, const std::string& path, int param);
  // Runs after the scan of verify and update, with the scan's result.
  using FinishProc = void (Verify::*)(int& result, int param);

  // Creates the lists and nothing else: the settings get their defaults only
  // from Clear, which the owner calls before the first command.
  Verify();
  virtual ~Verify();
  Verify(const Verify&) = delete;
  Verify& operator=(const Verify&) = delete;

  virtual void Clear();
  // Requests a delayed abort. Safe to call from any thread.
  void Abort() { aborted_.store(true); }

  virtual int Build();
  virtual int Redure();
  virtual int Update();
  virtual int Match();
  virtual int Dupes(bool one_file_only);

  virtual void ClearIncludeExcludeMasks();
  virtual void AddIncludeExcludeMask(const std::string& mask, IncludeExcludeMask mask_type);

  // Settings.
  VerifyCommand GetVerifyCommand() const { return verify_command_; }
  void SetVerifyCommand(VerifyCommand command) { verify_command_ = command; }
  const std::string& HashesFileName() const { return hashes_file_name_; }
  void SetHashesFileName(std::string name) { hashes_file_name_ = std::move(name); }
  const std::string& OutputFileName() const { return output_file_name_; }
  void SetOutputFileName(std::string name) { output_file_name_ = std::move(name); }
  const std::string& MatchListFileName() const { return match_list_file_name_; }
  void SetMatchListFileName(std::string name) { match_list_file_name_ = std::move(name); }
  std::vector<std::string>& BaseDirectories() { return base_directories_; }
  const std::string& BaseDirectoriesRoot() const { return base_directories_root_; }
  void SetBaseDirectoriesRoot(std::string root) { base_directories_root_ = std::move(root); }
  bool Recursive() const { return recursive_; }
  void SetRecursive(bool value) { recursive_ = value; }
  bool ShowProgress() const { return show_progress_; }
  void SetShowProgress(bool value) { show_progress_ = value; }
  bool Junctions() const { return junctions_; }
  void SetJunctions(bool value) { junctions_ = value; }
  // Build's helper threads, which hash small files ahead of the scan; -1
  // (the default): one for each processor the process may use but one, at
  // most 8, on the real file system and none on any other.
  int ReadAheadThreads() const { return read_ahead_threads_; }
  void SetReadAheadThreads(int threads) { read_ahead_threads_ = threads; }
  // Build, Redure and Update switch off the file-system redirection of a
  // 64-bit system's 32-bit layer (WoW64) while they run. Only the i386
  // program has an option for it; the x86-64 program runs under no such
  // layer and has nothing to switch.
  bool DisableWow64() const { return disable_wow64_; }
  void SetDisableWow64(bool value) { disable_wow64_ = value; }
  bool UseTimestamp() const { return use_timestamp_; }
  void SetUseTimestamp(bool value) { use_timestamp_ = value; }
  int32_t TimestampPrecision() const { return timestamp_precision_; }
  void SetTimestampPrecision(int32_t milliseconds) { timestamp_precision_ = milliseconds; }
  HashStates HideStates() const { return hide_states_; }
  void SetHideStates(HashStates states) { hide_states_ = states; }
  void SetOnStateChange(StateChangeEvent handler) { on_state_change_ = std::move(handler); }
  void SetOnProgress(ProgressEvent handler) { on_progress_ = std::move(handler); }

  // The main list: after a command, its result.
  HashList& GetHashList() { return *hash_list_; }

 protected:
  // What one run of a command holds while it runs, beyond the settings. The
  // command's body owns it, so nothing of it outlives the run.
  struct CommandRun {
    // The file the scan passes over: Build's new list, where the scan can
    // meet it.
    ScanSkip scan_skip;
    // The scan adds the stored path of every directory it could not list.
    std::vector<std::string> unreadable_directories;
    // Build: the old hash-list file, which the new one replaces. Met by the
    // scan, it is reported as busy rather than hashed into the new list.
    bool list_known = false;
    uint64_t list_device = 0;
    uint64_t list_inode = 0;
    // Build: hashes small files ahead of the scan on other threads (not
    // owned; none without helper threads).
    BuildReadAhead* read_ahead = nullptr;
    // Verify and Update: the loaded list as the scanned files are looked up
    // in it (not owned).
    ListLookup* lookup = nullptr;
    // The directory of the file that the per-file routine is given, open for
    // a stat of its name (not owned; null where the scan does not hold it
    // open), and that name.
    platform::DirectoryReader* directory = nullptr;
    std::string file_name;
  };

  // Calls the handler (if any); the payload is freed afterwards, also when
  // the handler throws.
  virtual void DoStateChange(VerifyState state, std::unique_ptr<StateChangeObject> info);
  virtual void DoProgress(int64_t position, int64_t max);
  virtual std::string NormalizeDirectory(const std::string& directory);
  virtual void NormalizeBaseDirectories();
  // Every progress report of the engine goes through here: first the abort
  // check, then (with ShowProgress) the progress event.
  virtual void ItemProgress(const void* sender, int64_t done, int64_t total);
  // A per-file failure: aborts give kResultAborted without an event; anything
  // else is a vstFileError event (sent whatever ShowProgress says) and
  // kResultFileError.
  virtual int HandleFileError(const std::exception& e, const std::string& base_path,
                              const std::string& path);
  // The same for a file known by the name the system gave it.
  int ReportFileError(const std::exception& e, const std::string& file_name);
  // FileSystem::Stat of the file a per-file routine is given, through the
  // directory the scan holds open where it does so.
  platform::ErrorCode StatScannedFile(const BasePathPtr& base_path, const std::string& path,
                                      platform::FileStatus* status);
  // With ShowProgress, the statistics event `state` with the number of
  // results of each state, hsOK to hsRenamed.
  void SendStatistics(VerifyState state, const int32_t (&counts)[hsRenamed + 1]);
  // Scans one base directory from `rel_path` on, with run_ pointing at
  // `run` until it returns.
  virtual int ScanDirectory(CommandRun& run, const BasePathPtr& base_path, const std::string& rel_path,
                            FileProc file_proc, int param);
  // Scans every base directory in turn. The first scan's result stands
  // unless a later one is not kResultNothing, so a later clean scan hides no
  // earlier failure; kResultNothingScanned without base directories, and
  // kResultAborted when an abort check stopped a scan.
  int ScanBaseDirectories(CommandRun& run, FileProc file_proc, int param);
  virtual int BuildFile(const BasePathPtr& base_path, const std::string& path, int param);
  virtual int VerifyFile(const BasePathPtr& base_path, const std::string& path, int param);
  virtual int UpdateFile(const BasePathPtr& base_path, const std::string& path, int param);
  virtual void VerifyFinish(int& result, int param);
  virtual void UpdateFinish(int& result, int param);
  virtual int RunVerify(FileProc file_proc, FinishProc finish_proc, int param);
  virtual int CompareLists();
  virtual void FilterList(HashList& list);
  virtual bool IsIncluded(const std::string& path);
  // The rules of IsIncluded for use on one other thread: an expression keeps
  // the state of its last match, so each thread needs expressions of its own.
  std::function<bool(const std::string&)> RulesForAnotherThread() const;
  virtual void CheckAborted();
  virtual void LoadHashFile(const std::string& file_name, HashList& list);
  // The redirection switch. Each build links its own: the i386 program's in
  // variant32/verify_redirection_i386.cc, and the x86-64 program's
  // pass-through in engine/verify_redirection_x64.cc.
  //
  // Switches redirection off, or back with `restore`; false, and nothing
  // done, when the process is not under WoW64. Throws EOSError on failure.
  virtual bool ChangeWow64RedirectionState(bool restore);
  // Runs a command's work inside the switch that DisableWow64 asks for; the
  // restore runs on every way out, and its failure wins over the work's.
  int RunWithoutWow64Redirection(const std::function<int()>& work);

  void DeleteOutputFile();
  // An output file that is written in place (a FIFO, a device, standard
  // output) is opened now, once, and kept open to the end of the run, so
  // that its reader sees the end even when nothing is written. Each command
  // calls it first, before anything can fail.
  void KeepOutputOpen();
  // How every command starts: both lists empty and the old output file gone.
  void StartCommand();
  // Build and Update refuse a base directory that cannot be listed before
  // they write anything: it would make every entry below it vanish from the
  // list. Throws EFOpenError naming the directory.
  void CheckBaseDirectories();
  // Verify and Update: the entries below a directory that the run could
  // not list were not checked, so they are kept as they are.
  void MarkUncheckedDirectories(const CommandRun& run);
  // One scan of one base directory: what all its levels share.
  struct TreeScan;
  // One level of the scan: `os_rel_path` is `rel_path` as the system names
  // it, `problem` the first reason (if any) why a path below cannot be
  // stored.
  int ScanLevel(TreeScan& scan, const std::string& rel_path, const std::string& os_rel_path, uint8_t problem);
  // What Build and RunVerify do inside the redirection switch, once the
  // lists are cleared and the output file is gone.
  int BuildBody();
  // What Build's read-ahead needs to know of the scans of `run`.
  ReadAheadTrees TreesToReadAhead(const CommandRun& run);
  int RunVerifyBody(FileProc file_proc, FinishProc finish_proc, int param);
  void SplitBaseDirectory(const std::string& directory, std::string& base_path, std::string& rel_path);

  // The progress callback that entries and lists report through.
  progress::ProgressEvent ItemProgressCallback();

  HashList& AuxHashList() { return *aux_hash_list_; }

  // Fields in the order of their meaning, not of construction.
  VerifyCommand verify_command_ = vcDefault;
  std::string hashes_file_name_;
  std::string output_file_name_;
  // See KeepOutputOpen; the command that writes results takes it over.
  std::unique_ptr<TextStream> kept_output_;
  std::string match_list_file_name_;
  std::vector<std::string> base_directories_;
  bool recursive_ = false;
  bool junctions_ = false;
  int read_ahead_threads_ = -1;
  std::unique_ptr<HashList> hash_list_;
  std::unique_ptr<HashList> aux_hash_list_;
  bool show_progress_ = false;
  // Rules in the order added: 'I' or 'X' and the compiled expression.
  struct Rule {
    bool include;
    std::unique_ptr<RegExp> regexp;
  };
  std::vector<Rule> include_exclude_list_;
  static bool IsIncludedBy(std::vector<Rule>& rules, const std::string& path);
  // What the switch-off stored for the restore; kept after a restore.
  void* wow64_redirection_old_value_donotchange_ = nullptr;
  bool disable_wow64_ = false;
  bool use_timestamp_ = false;
  int32_t timestamp_precision_ = 0;
  HashStates hide_states_;
  StateChangeEvent on_state_change_;
  ProgressEvent on_progress_;
  std::atomic<bool> aborted_{false};
  std::string base_directories_root_;
  // The run of the scan in progress, for the per-file routines, whose shape
  // has no room for it; null between scans.
  CommandRun* run_ = nullptr;
};

}  // namespace hv
