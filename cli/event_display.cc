// What the user sees of a running command: the engine's events as status
// lines, results and statistics, the percentage of the step in hand, and the
// question asked after Ctrl+C, Ctrl+\ or a closed terminal.
#include <cinttypes>
#include <cstdio>
#include <limits>
#include <string>

#include "cli/verify_app.h"
#include "platform/control_signals.h"
#include "support/exceptions.h"
#include "support/utf8.h"

namespace hv {

namespace {

constexpr char kSevenBlanks[] = "       ";

// position * 1000 / max, cut toward zero. Past 9 PB the product no longer
// fits in 64 bits; a tenth of a percent either way does not matter there.
int64_t TenthsOfPercent(int64_t position, int64_t max) {
  constexpr int64_t kLimit = std::numeric_limits<int64_t>::max() / 1000;
  if (position <= kLimit && position >= -kLimit) return position * 1000 / max;
  return static_cast<int64_t>(static_cast<long double>(position) * 1000 / max);
}

const char* ControlEventText(uint32_t ctrl_type) {
  switch (ctrl_type) {
    case platform::kCtrlCEvent: return "Ctrl+C pressed.";
    case platform::kCtrlBreakEvent: return "Ctrl+Break pressed.";
    case platform::kCtrlCloseEvent: return "Application close requested.";
    default: return nullptr;
  }
}

}  // namespace

void VerifyApp::HandleStateChange(VerifyState state, const StateChangeObject* info) {
  EndProgressLine();
  switch (state) {
    case vstFileError: {
      const auto* error = dynamic_cast<const StateChangeErrorInFile*>(info);
      if (error == nullptr) return;
      const std::string line = "\r\nERROR " + error->ExceptionClass() + " for file \"" +
                               DisplayUtf8(error->FileName()) + "\": " +
                               DisplayUtf8(error->ExceptionMessage());
      if (!error_log_file_name_.empty()) WriteLog(error_log_file_name_, line);
      WriteError(line);
      return;
    }
    case vstLoadingHashFile: {
      const auto* file = dynamic_cast<const StateChangeFilename*>(info);
      if (file == nullptr) return;
      Write("Loading hash file ");
      WriteColored(kWhite, DisplayUtf8(file->FileName()));
      Write(" ... ");
      displaying_progress_ = true;
      return;
    }
    case vstMatchOutput: {
      const auto* entry = dynamic_cast<const StateChangeHashItem*>(info);
      if (entry == nullptr || !verify_->OutputFileName().empty()) return;
      const HashItem& item = entry->Item();
      if (verify_->HideStates().Contains(item.State())) return;
      WriteLnColored(kStateColors[item.State()], item.MatchOutput(false));
      return;
    }
    case vstDupesOutput: {
      const auto* entry = dynamic_cast<const StateChangeHashItem*>(info);
      if (entry == nullptr || !verify_->OutputFileName().empty()) return;
      const HashItem& item = entry->Item();
      WriteLnColored(kStateColors[item.State()], item.DupesOutput(false));
      return;
    }
    case vstSortingResults: WriteLn("Sorting results..."); return;
    case vstWritingResults: WriteLn("Writing results..."); return;
    case vstSortingHashlist: WriteLn("Sorting hash list..."); return;
    case vstComparingHashlists:
      Write("Comparing hash lists...");
      displaying_progress_ = true;
      return;
    case vstLookingForDupes:
      Write("Looking for dupes...");
      displaying_progress_ = true;
      return;
    case vstProcessingFile: {
      const auto* file = dynamic_cast<const StateChangeFilename*>(info);
      if (file == nullptr) return;
      std::string quoted;
      AppendQuoted(quoted, DisplayUtf8(file->FileName()));
      Write(quoted);
      displaying_progress_ = true;
      return;
    }
    case vstMatchStats:
    case vstDupesStats: {
      const auto* stats = dynamic_cast<const StateChangeStatistics*>(info);
      if (stats != nullptr) WriteStatistics(*stats);
      return;
    }
    case vstBuildOutput:
    case vstProgressDone: return;
  }
}

void VerifyApp::WriteCount(const char* caption, int32_t count, uint8_t zero_color,
                           uint8_t count_color) {
  Write(caption);
  if (count == 0) {
    WriteColored(zero_color, "0");
  } else {
    WriteColored(count_color, std::to_string(count));
  }
}

void VerifyApp::WriteStatistics(const StateChangeStatistics& stats) {
  static constexpr const char* kCaptions[6] = {"Matched: ", "New: ",    "Changed: ",
                                               "Deleted: ", "Copied: ", "Renamed: "};
  WriteLn("Operation statistics:");
  for (int state = hsOK; state <= hsRenamed; ++state) {
    if (state != hsOK) Write("    ");
    WriteCount(kCaptions[state], stats.Count(static_cast<HashState>(state)), kWhite,
               kStateColors[state]);
  }
  WriteLn();
  WriteLn();
}

void VerifyApp::HandleProgress(int64_t position, int64_t max) {
  // The dialog closes the open line; the percentage after it opens a new one.
  CheckControlEvent();
  displaying_progress_ = true;
  if (!verify_->ShowProgress()) return;
  // No share of nothing; such a report must not restart the interval either.
  if (max <= 0) return;
  const uint32_t ticks = tick_source_();
  if (position != 0 && static_cast<uint32_t>(ticks - last_progress_ticks_) < kProgressInterval) {
    return;
  }
  last_progress_ticks_ = ticks;
  const int64_t tenths = TenthsOfPercent(position, max);
  const std::string whole = std::to_string(tenths / 10);
  char text[64];
  std::snprintf(text, sizeof text, " %3.3s.%" PRId64 "%%\b\b\b\b\b\b\b", whole.c_str(),
                tenths % 10);
  Write(text);
}

void VerifyApp::EndProgressLine() {
  if (!displaying_progress_) return;
  displaying_progress_ = false;
  if (StdOutRedirected() || GetCursorColumn() > 0) WriteLn(kSevenBlanks);
}

void VerifyApp::DoConsoleCtrl(unsigned ctrl_type, bool& handled) {
  if (ControlEventText(ctrl_type) != nullptr) {
    uint32_t none = kNoControlEvent;
    // Only the first event is kept until the main thread has taken it.
    if (control_event_.compare_exchange_strong(none, ctrl_type)) handled = true;
  }
  ConsoleApp::DoConsoleCtrl(ctrl_type, handled);
}

void VerifyApp::CheckControlEvent() {
  const uint32_t ctrl_type = control_event_.load();
  const char* text = ControlEventText(ctrl_type);
  if (text == nullptr || !verify_) return;
  control_event_.store(kNoControlEvent);
  EndProgressLine();
  WriteError(text);
  WriteColored(kWhite, "Do you want to quit (");
  WriteColored(kLightRed, "Q");
  WriteColored(kWhite, ") now or show results first (anything else)?");
  std::string answer;
  // The end of input, or a failed read, is an empty answer. No Enter was
  // echoed then, so the line is ended here.
  if (!Console().ReadLine(&answer)) {
    answer.clear();
    WriteLn();
  }
  if (answer == "Q" || answer == "q") throw EAbort("Operation aborted");
  verify_->Abort();
}

}  // namespace hv
