// An in-memory file system for tests. Files hold their bytes, or only a size
// whose bytes are made up on the fly (so that huge files cost no memory).
// Every entry can be told to fail in the ways real disks and file systems do,
// and records how it was used. Every call holds one lock, so helper threads
// may use it too; a test that changes entries while they run takes Lock().
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace hv::testing {

class FakeFileSystem : public platform::FileSystem {
 public:
  // Calls counted over every entry, for failing the Nth one of a kind: kOpen
  // is Open, OpenForReading and CreateTemporary; kRead and kWrite count the
  // reads and writes of every open file.
  enum class CallKind { kOpen, kRead, kWrite, kSync, kRename, kClose };
  static constexpr int kCallKinds = 6;
  struct CallFault {
    int calls[kCallKinds] = {};
    CallKind kind = CallKind::kOpen;
    int fail_call = 0;  // 0: none
    platform::ErrorCode error = EIO;
    // Counts the call; true when it is the one to fail.
    bool Hit(CallKind call) {
      const int count = ++calls[static_cast<int>(call)];
      return fail_call != 0 && call == kind && count == fail_call;
    }
  };

  struct Entry {
    // What Stat and OpenForReading find; links are not followed.
    platform::FileKind kind = platform::FileKind::kRegular;

    // The bytes of the file; ignored while `generated_size` is set.
    std::string contents;
    // A file of this many bytes, byte i being GeneratedByte(i).
    std::optional<int64_t> generated_size;
    // What Stat reports instead of the real length (a file that grows or
    // shrinks after its size was taken).
    std::optional<int64_t> stat_size;

    // Milliseconds since 1970-01-01 UTC.
    int64_t modified_ms = 0;
    int64_t accessed_ms = 0;
    bool has_birth_time = false;
    int64_t birth_ms = 0;
    // The last change of data or inode; the modification time when unset.
    std::optional<platform::FileTime> changed;
    uint64_t device = 1;
    uint64_t inode = 0;
    uint32_t permissions = 0644;
    uint32_t owner = 0;
    uint32_t group = 0;
    uint32_t link_count = 1;
    std::map<std::string, std::string> extended_attributes;

    // Called at the start of every Stat of the entry (and of the look at it
    // that OpenForReading takes, and Status of a file open on it), on the
    // calling thread.
    std::function<void(Entry&)> on_stat;

    // Failures: 0 means none.
    platform::ErrorCode stat_error = 0;  // also of OpenForReading's look
    platform::ErrorCode open_error = 0;
    // With `open_error`: only the open with this number (1-based) fails.
    int fail_open_call = 0;
    platform::ErrorCode delete_error = 0;
    // The read call with this number (1-based, counted over all opens) fails.
    int fail_read_call = 0;
    // Reads deliver the bytes before this offset; a read starting at or past
    // it fails.
    std::optional<int64_t> fail_read_at_offset;
    platform::ErrorCode read_error = EIO;
    // At most this many bytes per read (0: as many as asked for). Files from
    // Open ignore it: their reads are short only at the end.
    size_t read_chunk = 0;
    // Files from Open: a write (the one with this number, 1-based over all
    // opens, or every one when 0 and `write_error` is set) fails with
    // `write_error` (EIO when that is 0); Sync and Close fail with theirs.
    int fail_write_call = 0;
    platform::ErrorCode write_error = 0;
    platform::ErrorCode sync_error = 0;
    platform::ErrorCode close_error = 0;
    platform::ErrorCode chmod_error = 0;
    // Renaming this entry away (or onto it) fails.
    platform::ErrorCode rename_error = 0;
    // Directories: OpenDirectory fails with `list_error`; a listing delivers
    // `fail_listing_after` entries and then breaks off with `listing_error`.
    platform::ErrorCode list_error = 0;
    std::optional<int> fail_listing_after;
    platform::ErrorCode listing_error = EIO;

    // Usage.
    int open_calls = 0;
    int read_calls = 0;
    int open_handles = 0;
    bool last_open_unbuffered = false;
    int write_calls = 0;
    int sync_calls = 0;
    int close_calls = 0;
    int list_calls = 0;

    int64_t Length() const;
  };

  FakeFileSystem();
  ~FakeFileSystem() override;

  // Each returns the new entry, which stays valid while it is in the file
  // system (and while a file opened on it is open). Names are taken as they
  // are: no normalisation.
  Entry& AddFile(const std::string& path, std::string contents, int64_t modified_ms = 0);
  Entry& AddGeneratedFile(const std::string& path, int64_t size, int64_t modified_ms = 0);
  Entry& AddDirectory(const std::string& path);
  // A FIFO.
  Entry& AddOther(const std::string& path);
  Entry* Find(const std::string& path);
  void Remove(const std::string& path);
  // Another name for `directory`: `alias` and the names below it lead to it
  // and to what is below it, as a symbolic link to a directory does, or a
  // relative name does against the current directory.
  void AddDirectoryAlias(const std::string& alias, const std::string& directory);

  void SetCurrentDirectory(std::string directory) { current_directory_ = std::move(directory); }

  static uint8_t GeneratedByte(int64_t offset);
  // The bytes of an entry from `offset`, at most `count` of them.
  static std::string ContentsOf(const Entry& entry, int64_t offset, size_t count);

  // Usage over all entries.
  int open_calls() const { return open_calls_; }
  int unbuffered_opens() const { return unbuffered_opens_; }
  int open_handles() const { return *open_handles_; }
  const void* last_read_buffer() const { return *last_read_buffer_; }
  const std::vector<std::string>& deleted() const { return deleted_; }

  platform::ErrorCode Stat(const std::string& path, platform::FileStatus* status) override;
  // A symbolic link leads nowhere here: followed, it is missing.
  platform::ErrorCode OpenForReading(const std::string& path, int64_t unbuffered_from, bool follow_links,
                                     std::unique_ptr<platform::ReadableFile>* file,
                                     platform::FileStatus* status) override;
  // fmCreate makes a missing entry or empties an existing one (a generated
  // file becomes an ordinary one), fmAppend makes a missing one and writes at
  // the end; `open_error` of an existing entry fails every mode.
  platform::ErrorCode Open(const std::string& path, platform::OpenMode mode,
                           std::unique_ptr<platform::File>* file) override;
  platform::ErrorCode DeleteFile(const std::string& path) override;
  // Lists the entries named `path` + "/" + one more name (a trailing '/' of
  // `path` is ignored), in reverse name order, so that nothing can rely on
  // the order of a listing.
  platform::ErrorCode OpenDirectory(const std::string& path,
                                    std::unique_ptr<platform::DirectoryReader>* reader) override;
  // Names the new entry `near_path` + ".tmp" + a number; fails with
  // `create_temporary_error` when that is set.
  platform::ErrorCode CreateTemporary(const std::string& near_path, std::string* temp_path,
                                      std::unique_ptr<platform::File>* file) override;
  platform::ErrorCode Rename(const std::string& from, const std::string& to) override;
  // What an alias leads to, as realpath does only for a name that exists.
  std::string ResolveLinks(const std::string& path) override;
  platform::ErrorCode SyncDirectory(const std::string& directory) override;
  platform::ErrorCode ReadExtendedAttributes(
      const std::string& path, std::vector<std::pair<std::string, std::string>>* attributes) override;

  platform::ErrorCode create_temporary_error = 0;
  // Called with each temporary entry as it is made, to arm its failures.
  std::function<void(Entry&)> fail_next_temporary;
  platform::ErrorCode sync_directory_error = 0;
  int rename_calls = 0;
  int sync_directory_calls = 0;
  // Makes call number `n` (1-based) of `kind` fail with `error` (a close
  // still closes); clears the counts.
  void FailCall(CallKind kind, int n, platform::ErrorCode error = EIO) {
    *fault_ = CallFault{};
    fault_->kind = kind;
    fault_->fail_call = n;
    fault_->error = error;
  }
  int Calls(CallKind kind) const { return fault_->calls[static_cast<int>(kind)]; }
  // The names of every entry, in order.
  std::vector<std::string> Names() const;
  std::string CurrentDirectory() override { return current_directory_; }
  std::unique_lock<std::recursive_mutex> Lock() { return std::unique_lock(*mutex_); }
  std::string ErrorText(platform::ErrorCode error) override;

 private:
  Entry& Add(const std::string& path, platform::FileKind kind);
  // The name of the entry that `path` leads to.
  std::string Key(const std::string& path) const;

  std::map<std::string, std::shared_ptr<Entry>> entries_;
  std::vector<std::pair<std::string, std::string>> aliases_;
  std::string current_directory_ = "/";
  uint64_t next_inode_ = 1;
  int open_calls_ = 0;
  int unbuffered_opens_ = 0;
  // Shared with open files, which may outlive the file system.
  std::shared_ptr<int> open_handles_;
  std::shared_ptr<const void*> last_read_buffer_;
  std::shared_ptr<CallFault> fault_;
  std::shared_ptr<std::recursive_mutex> mutex_;
  std::vector<std::string> deleted_;
};

}  // namespace hv::testing
