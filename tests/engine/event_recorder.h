// Records what an engine reports: state changes with a summary of their
// payload, and progress reports, as a trace that tests compare whole.
// Payloads are freed right after each event, so everything a test may want
// to look at later is copied out while the handler runs.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/hash_item.h"
#include "engine/verify.h"
#include "engine/verify_state.h"

namespace hv::testing {

inline const char* VerifyStateName(VerifyState state) {
  switch (state) {
    case vstFileError: return "vstFileError";
    case vstLoadingHashFile: return "vstLoadingHashFile";
    case vstBuildOutput: return "vstBuildOutput";
    case vstMatchOutput: return "vstMatchOutput";
    case vstDupesOutput: return "vstDupesOutput";
    case vstProgressDone: return "vstProgressDone";
    case vstSortingResults: return "vstSortingResults";
    case vstWritingResults: return "vstWritingResults";
    case vstSortingHashlist: return "vstSortingHashlist";
    case vstComparingHashlists: return "vstComparingHashlists";
    case vstLookingForDupes: return "vstLookingForDupes";
    case vstProcessingFile: return "vstProcessingFile";
    case vstMatchStats: return "vstMatchStats";
    case vstDupesStats: return "vstDupesStats";
  }
  return "vst?";
}

struct RecordedEvent {
  bool is_progress = false;

  // State changes.
  VerifyState state = vstFileError;
  bool has_payload = false;
  // Hash item: MatchOutput(false). Statistics: the six counts, space-separated.
  // File name: the name. File error: "<file>: <class>: <message>".
  std::string summary;
  // Hash-item payloads: the entry (owned by the engine's lists, so valid only
  // while they keep it) and its Related at the time of the event.
  const HashItem* item = nullptr;
  const HashItem* related = nullptr;
  std::array<int32_t, 6> counts{};

  // Progress reports.
  int64_t position = 0;
  int64_t max = 0;

  // "progress 3/12", "vstMatchStats 1 0 0 0 0 0", "vstMatchOutput ADDED\t\"a\"".
  std::string ToString() const {
    if (is_progress) return "progress " + std::to_string(position) + "/" + std::to_string(max);
    std::string text = VerifyStateName(state);
    if (has_payload) text += " " + summary;
    return text;
  }
};

class EventRecorder {
 public:
  using StateHook = std::function<void(Verify& sender, VerifyState state, const StateChangeObject* info)>;
  using ProgressHook = std::function<void(Verify& sender, int64_t position, int64_t max)>;

  // Becomes both handlers of `verify`; the recorder must outlive its use.
  explicit EventRecorder(Verify& verify) {
    verify.SetOnStateChange(
        [this](Verify& sender, VerifyState state, const StateChangeObject* info) {
          Record(state, info);
          if (on_state) on_state(sender, state, info);
        });
    verify.SetOnProgress([this](Verify& sender, int64_t position, int64_t max) {
      RecordedEvent event;
      event.is_progress = true;
      event.position = position;
      event.max = max;
      events_.push_back(std::move(event));
      if (on_progress) on_progress(sender, position, max);
    });
  }
  EventRecorder(const EventRecorder&) = delete;
  EventRecorder& operator=(const EventRecorder&) = delete;

  // Run after an event is recorded; they may call Abort or throw.
  StateHook on_state;
  ProgressHook on_progress;

  const std::vector<RecordedEvent>& events() const { return events_; }
  void Clear() { events_.clear(); }

  // One line per event, progress reports included or left out.
  std::vector<std::string> Trace(bool with_progress = true) const {
    std::vector<std::string> lines;
    for (const RecordedEvent& event : events_) {
      if (with_progress || !event.is_progress) lines.push_back(event.ToString());
    }
    return lines;
  }

  // The summaries of the events of one state, in order.
  std::vector<std::string> Summaries(VerifyState state) const {
    std::vector<std::string> lines;
    for (const RecordedEvent& event : events_) {
      if (!event.is_progress && event.state == state) lines.push_back(event.summary);
    }
    return lines;
  }

  int Count(VerifyState state) const {
    int n = 0;
    for (const RecordedEvent& event : events_) n += !event.is_progress && event.state == state;
    return n;
  }
  int ProgressCount() const {
    int n = 0;
    for (const RecordedEvent& event : events_) n += event.is_progress;
    return n;
  }

 private:
  void Record(VerifyState state, const StateChangeObject* info) {
    RecordedEvent event;
    event.state = state;
    event.has_payload = info != nullptr;
    if (const auto* error = dynamic_cast<const StateChangeErrorInFile*>(info)) {
      event.summary = error->FileName() + ": " + error->ExceptionClass() + ": " + error->ExceptionMessage();
    } else if (const auto* exception = dynamic_cast<const StateChangeException*>(info)) {
      event.summary = exception->ExceptionClass() + ": " + exception->ExceptionMessage();
    } else if (const auto* file = dynamic_cast<const StateChangeFilename*>(info)) {
      event.summary = file->FileName();
    } else if (const auto* hash_item = dynamic_cast<const StateChangeHashItem*>(info)) {
      event.item = &hash_item->Item();
      event.related = hash_item->Item().Related();
      event.summary = hash_item->Item().MatchOutput(false);
    } else if (const auto* stats = dynamic_cast<const StateChangeStatistics*>(info)) {
      for (int s = hsOK; s <= hsRenamed; ++s) {
        event.counts[static_cast<size_t>(s)] = stats->Count(static_cast<HashState>(s));
        if (s > hsOK) event.summary += ' ';
        event.summary += std::to_string(event.counts[static_cast<size_t>(s)]);
      }
    } else if (info != nullptr) {
      event.summary = "?";
    }
    events_.push_back(std::move(event));
  }

  std::vector<RecordedEvent> events_;
};

}  // namespace hv::testing
