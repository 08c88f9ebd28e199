// What makes Build fast on many cores: small files hashed ahead of the scan
// on helper threads, and large files read on a helper thread while the piece
// before is hashed. The scan still decides order, events and results.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/hash_item.h"
#include "engine/progress.h"
#include "engine/verify.h"
#include "platform/file_system.h"
#include "support/date_time.h"

namespace hv {

// ReadFromFile for a file of more than one read (kHashReadSize), with
// reading and hashing overlapped; `size` is the size taken before the open.
void ReadLargeFile(HashItem& item, const BasePathPtr& base_path, const std::string& path,
                   const std::string& file_name, int64_t size, bool follow_links,
                   const progress::ProgressEvent& on_progress);

// Hashes the small files of the directories that Build is in, ahead of the
// scan and on worker threads, so that a tree of many small files is not bound
// to one core. The scan still decides order, events and results: BuildFile
// takes a result only when it is ready and the file is provably the one that
// was read. Anything else is hashed on the main thread.
class BuildReadAhead {
 public:
  // Files up to this size are read ahead, in one read each.
  static constexpr int64_t kMaxSize = 1 << 20;

  struct Result {
    std::string hash;
    int64_t size = -1;  // taken before the read, as ReadFromFile takes it
    DateTime date = 0;
    platform::FileStatus after;  // taken after the read
  };

  // Helpers that work through `fs`; `threads` of them, or with -1 one for
  // each core but one (at most 8) on the real file system and none on any
  // other, since test doubles are not made for threads. `follow_links` as the
  // main thread opens files. The list being written (`list_known`, device and
  // inode) is left to the main thread, which reports it.
  BuildReadAhead(platform::FileSystem& fs, int threads, bool follow_links, bool list_known,
                 uint64_t list_device, uint64_t list_inode);
  ~BuildReadAhead();
  BuildReadAhead(const BuildReadAhead&) = delete;
  BuildReadAhead& operator=(const BuildReadAhead&) = delete;

  bool Active() const { return !threads_.empty(); }

  // Whether `directory` already has its queue; the scan is depth first, so
  // the queues of the directories it has left for good are dropped here.
  bool Knows(std::string_view directory);

  // Queues the files of `directory` (`rel_directory` as a stored path) from
  // `first` on that `included` passes, in the order in which the scan will
  // hand them over.
  void EnterDirectory(const std::string& directory, std::string_view rel_directory, std::string_view first,
                      const std::function<bool(const std::string&)>& included);

  // The result for `name` in the directory entered last, when a helper has
  // hashed it and `now`, the scan's stat of it, shows the very file that was
  // read; false when the main thread must hash it itself.
  bool Take(std::string_view name, const platform::FileStatus& now, Result* result);

 private:
  // How far the helpers may run ahead of the scan, in files.
  static constexpr size_t kWindow = 64;

  enum class JobState : uint8_t { kRunning, kDone, kFailed };
  // The job of index i lives in slot i % kWindow while it is near the scan.
  struct Slot {
    size_t index = SIZE_MAX;
    JobState state = JobState::kFailed;
    Result result;
  };
  struct Queue {
    std::string directory;
    std::string names;
    std::vector<size_t> ends;
    size_t next = 0;    // the next job for a helper
    size_t cursor = 0;  // jobs before it the scan has passed
    Slot slots[kWindow];

    std::string_view Name(size_t i) const {
      const size_t begin = i == 0 ? 0 : ends[i - 1];
      return std::string_view(names).substr(begin, ends[i] - begin);
    }
  };

  // The files of `directory` still to come: `names` back to back in scan
  // order, name i ending at ends[i].
  void Enter(std::string directory, std::string names, std::vector<size_t> ends);
  // Whether two stats show one file that nobody touched in between: the same
  // device, inode and size, and the same modification and change times to
  // the nanosecond (the change time no tool can put back).
  static bool Untouched(const platform::FileStatus& a, const platform::FileStatus& b);
  void Work();
  // Helpers stay within one slot less than the window, so that the job the
  // scan waits for keeps its slot.
  bool HasWork() const;
  // What ReadFromFile would give for a file it reads in one go; false for
  // anything unusual, which the main thread then meets itself.
  bool Hash(const std::string& file_name, std::byte* buffer, Result* result) noexcept;

  platform::FileSystem& fs_;
  const bool follow_links_;
  const bool list_known_;
  const uint64_t list_device_;
  const uint64_t list_inode_;

  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::vector<std::shared_ptr<Queue>> stack_;
  int idle_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace hv
