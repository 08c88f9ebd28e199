// The kinds of engine event and the payloads that go with them. The engine
// creates each payload right before the event and frees it right after the
// handler returns; a handler must not keep it.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "engine/hash_item.h"

namespace hv {

enum VerifyState : uint8_t {
  vstFileError,
  vstLoadingHashFile,
  vstBuildOutput,
  vstMatchOutput,
  vstDupesOutput,
  vstProgressDone,
  vstSortingResults,
  vstWritingResults,
  vstSortingHashlist,
  vstComparingHashlists,
  vstLookingForDupes,
  vstProcessingFile,
  vstMatchStats,
  vstDupesStats,
};

class StateChangeObject {
 public:
  virtual ~StateChangeObject() = default;
};

class StateChangeException : public StateChangeObject {
 public:
  explicit StateChangeException(const std::exception& e);
  const std::string& ExceptionClass() const { return exception_class_; }
  const std::string& ExceptionMessage() const { return exception_message_; }

 private:
  std::string exception_class_;
  std::string exception_message_;
};

class StateChangeErrorInFile : public StateChangeException {
 public:
  StateChangeErrorInFile(const std::exception& e, std::string file_name)
      : StateChangeException(e), file_name_(std::move(file_name)) {}
  const std::string& FileName() const { return file_name_; }

 private:
  std::string file_name_;
};

class StateChangeFilename : public StateChangeObject {
 public:
  explicit StateChangeFilename(std::string file_name) : file_name_(std::move(file_name)) {}
  const std::string& FileName() const { return file_name_; }

 private:
  std::string file_name_;
};

class StateChangeHashItem : public StateChangeObject {
 public:
  explicit StateChangeHashItem(const HashItem& item) : item_(item) {}
  const HashItem& Item() const { return item_; }

 private:
  const HashItem& item_;
};

// Counts in HashState order: matched, new, changed, deleted, copied, renamed.
class StateChangeStatistics : public StateChangeObject {
 public:
  StateChangeStatistics(int32_t match_count, int32_t new_count, int32_t changed_count,
                        int32_t deleted_count, int32_t copied_count, int32_t renamed_count)
      : counts_{match_count, new_count, changed_count, deleted_count, copied_count, renamed_count} {}
  int32_t MatchCount() const { return counts_[hsOK]; }
  int32_t NewCount() const { return counts_[hsNew]; }
  int32_t ChangedCount() const { return counts_[hsChanged]; }
  int32_t DeletedCount() const { return counts_[hsDeleted]; }
  int32_t CopiedCount() const { return counts_[hsCopied]; }
  int32_t RenamedCount() const { return counts_[hsRenamed]; }
  int32_t Count(HashState state) const { return counts_[state]; }

 private:
  int32_t counts_[6];
};

}  // namespace hv
