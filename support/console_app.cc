#include "support/console_app.h"

#include <algorithm>
#include <array>
#include <mutex>
#include <utility>

#include "support/exceptions.h"
#include "support/file_stream.h"
#include "support/text_stream.h"
#include "support/utf8.h"

namespace hv {

namespace {

// The live applications in creation order. The control signal thread walks
// the list while the main thread adds and removes entries, hence the lock.
struct LiveApplication {
  ConsoleApp* app;
  bool active;  // complete (initialised) and not being destroyed
};

struct Registry {
  std::mutex mutex;
  std::vector<LiveApplication> entries;
};

Registry& Instances() {
  static Registry registry;
  return registry;
}

std::vector<std::string>& Arguments() {
  static std::vector<std::string> arguments;
  return arguments;
}

// SGR sequence of each foreground colour. 7 is the terminal's default, so it
// resets; the rest follow the console's bits (1 blue, 2 green, 4 red,
// 8 bright).
constexpr std::array<std::string_view, 16> kForegroundSgr = {
    "\x1b[30m", "\x1b[34m", "\x1b[32m", "\x1b[36m", "\x1b[31m", "\x1b[35m", "\x1b[33m", "\x1b[0m",
    "\x1b[90m", "\x1b[94m", "\x1b[92m", "\x1b[96m", "\x1b[91m", "\x1b[95m", "\x1b[93m", "\x1b[97m",
};

// `text` cut or padded with blanks to exactly `width` UTF-16 units. A
// character of two units that would straddle the end is left out whole and
// its first unit's place padded, since half a character cannot be written.
std::string FitToWidth(std::string_view text, std::size_t width) {
  std::size_t units = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t next = pos;
    DecodeUtf8(text, next);
    const std::size_t char_units = Utf16Length(text.substr(pos, next - pos));
    if (units + char_units > width) break;
    units += char_units;
    pos = next;
  }
  std::string result(text.substr(0, pos));
  result.append(width - units, ' ');
  return result;
}

// Restores the text attribute when a coloured write ends, however it ends.
class AttrRestorer {
 public:
  AttrRestorer(std::function<void(uint8_t)> restore, uint8_t saved)
      : restore_(std::move(restore)), saved_(saved) {}
  ~AttrRestorer() { restore_(saved_); }
  AttrRestorer(const AttrRestorer&) = delete;
  AttrRestorer& operator=(const AttrRestorer&) = delete;

 private:
  std::function<void(uint8_t)> restore_;
  uint8_t saved_;
};

}  // namespace

int ConsoleApp::Run(const Factory& factory) {
  platform::Console& console = platform::CurrentConsole();
  int result = 0;
  // The first write to standard output that failed, however the run ended.
  std::string std_out_failure;
  try {
    std::unique_ptr<ConsoleApp> app = factory();
    if (!app) throw Exception("The application object could not be created.");
    // Out of the list before any destructor runs, on every way out: it is
    // destroyed before `app`.
    struct Retire {
      ConsoleApp& app;
      std::string& failure;
      ~Retire() {
        failure = app.std_out_failure_;
        app.Unregister();
      }
    } retire{*app, std_out_failure};
    app->Initialize();
    result = app->Execute();
  } catch (const EAbort&) {
    result = kAbortExitCode;
  } catch (const std::exception& e) {
    const std::string line =
        std::string("ERROR ") + ExceptionClassName(e) + ": " + DisplayUtf8(e.what()) + "\r\n";
    // Standard error is what is left when standard output fails; nothing is
    // left to tell a failure of that to, and the exit code still says it.
    if (console.Write(line) != 0) console.WriteStandardError(line);
    return kFailureExitCode;
  }
  if (!std_out_failure.empty()) {
    // Output was lost, so the run did not do what it was asked; said once.
    console.WriteStandardError("ERROR EInOutError: " + std_out_failure + "\r\n");
    return kFailureExitCode;
  }
  return result;
}

void ConsoleApp::SetArguments(int argc, const char* const* argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
  SetArguments(std::move(arguments));
}

void ConsoleApp::SetArguments(std::vector<std::string> arguments) {
  Arguments() = std::move(arguments);
}

bool ConsoleApp::ConsoleCtrlHandler(unsigned ctrl_type) {
  Registry& registry = Instances();
  std::lock_guard lock(registry.mutex);
  bool handled = false;
  for (const LiveApplication& entry : registry.entries) {
    if (!entry.active) continue;
    try {
      entry.app->DoConsoleCtrl(ctrl_type, handled);
    } catch (...) {
      // This thread has nobody to report to; the other objects still get
      // the event.
    }
  }
  return handled;
}

ConsoleApp::ConsoleApp()
    : std_out_redirected_(!platform::CurrentConsole().IsTerminal()),
      console_(platform::CurrentConsole()) {
  Registry& registry = Instances();
  {
    std::lock_guard lock(registry.mutex);
    registry.entries.push_back({this, false});
  }
  ConsoleApp::Clear();
}

ConsoleApp::~ConsoleApp() { Unregister(); }

void ConsoleApp::Initialize() {
  Clear();
  Registry& registry = Instances();
  std::lock_guard lock(registry.mutex);
  for (LiveApplication& entry : registry.entries) {
    if (entry.app == this) entry.active = true;
  }
}

void ConsoleApp::Unregister() {
  Registry& registry = Instances();
  std::lock_guard lock(registry.mutex);
  std::erase_if(registry.entries,
                [this](const LiveApplication& entry) { return entry.app == this; });
}

void ConsoleApp::SetOnConsoleCtrl(ConsoleCtrlEvent handler) {
  std::lock_guard lock(Instances().mutex);
  on_console_ctrl_ = std::move(handler);
}

int ConsoleApp::Execute() {
  WriteBanner();
  try {
    return DoExecute();
  } catch (const EAbort&) {
    throw;
  } catch (const std::exception& e) {
    std::string message =
        std::string("ERROR ") + ExceptionClassName(e) + ": " + DisplayUtf8(e.what());
    WriteError(message);
    throw EAbort(std::move(message));
  }
}

void ConsoleApp::Clear() { current_param_index_ = 0; }

void ConsoleApp::DoConsoleCtrl(unsigned ctrl_type, bool& handled) {
  if (on_console_ctrl_) on_console_ctrl_(*this, ctrl_type, handled);
}

void ConsoleApp::ShowSyntax(const std::string& error_msg) {
  if (!error_msg.empty()) {
    WriteError(error_msg);
    WriteLn();
  }
  Write("Syntax: ");
  WriteColored(kWhite, DisplayUtf8(console_.ExecutableName()) + " ");
}

void ConsoleApp::WriteLog(const std::string& file_name, const std::string& msg) {
  try {
    if (file_name.empty()) {
      WriteLn(msg);
      return;
    }
    const std::string line = VisibleUtf8(msg);
    TextStream* const kept = KeptLog(file_name);
    if (kept == nullptr) {
      TextStream::AppendLine(file_name, line, feAuto);
      return;
    }
    kept->WriteLine(line);
    kept->Flush();
  } catch (...) {
    // The log must never stop the run; the caller writes its own console
    // line all the same.
  }
}

void ConsoleApp::KeepLogOpen(const std::string& file_name) {
  if (file_name.empty()) return;
  try {
    KeptLog(file_name);
  } catch (...) {
    // Tried again at the first line, which reports nothing either.
  }
}

TextStream* ConsoleApp::KeptLog(const std::string& file_name) {
  if (kept_log_ != nullptr && kept_log_name_ == file_name) return kept_log_.get();
  if (!FileStream::WrittenInPlace(file_name)) return nullptr;
  // A pipe's reader sees the end at the first close, so a log that is no
  // file stays open for the rest of the run.
  kept_log_.reset();
  kept_log_ = std::make_unique<TextStream>(FileStream::CreateOutput(file_name));
  kept_log_name_ = file_name;
  return kept_log_.get();
}

bool ConsoleApp::NextParam(std::string& s) {
  s.clear();
  ++current_param_index_;
  const std::vector<std::string>& arguments = Arguments();
  if (current_param_index_ < 1 ||
      static_cast<std::size_t>(current_param_index_) > arguments.size()) {
    return false;
  }
  s = arguments[static_cast<std::size_t>(current_param_index_) - 1];
  return true;
}

void ConsoleApp::Write(std::string_view s) {
  if (s.empty()) return;
  // Bytes that are no UTF-8 (a file's name, an argument) are shown as \xNN,
  // so that everything written is UTF-8.
  std::string visible;
  if (!IsValidUtf8(s)) {
    visible = VisibleUtf8(s);
    s = visible;
  }
  const platform::ErrorCode error = console_.Write(s);
  if (error != 0) {
    std::string message = "Cannot write to standard output. " + console_.ErrorText(error);
    if (std_out_failure_.empty()) std_out_failure_ = message;
    throw EInOutError(std::move(message));
  }
  AdvanceCursor(s);
}

void ConsoleApp::WriteLn(std::string_view s) {
  Write(s);
  Write(line_separator_);
}

void ConsoleApp::WriteColored(uint8_t color, std::string_view s) {
  const AttrRestorer restorer([this](uint8_t attr) { SetTextAttr(attr); }, GetTextAttr());
  SetForeground(color);
  Write(s);
}

void ConsoleApp::WriteLnColored(uint8_t color, std::string_view s) {
  WriteColored(color, s);
  Write(line_separator_);
}

void ConsoleApp::WriteError(std::string_view s) {
  WriteColored(kLightRed, s);
  WriteLn();
}

int ConsoleApp::GetCursorColumn() const { return std_out_redirected_ ? -1 : cursor_column_; }

void ConsoleApp::SetTextAttr(uint8_t attr) {
  text_attr_ = attr;
  if (std_out_redirected_) return;
  // Like a console that refuses an attribute: the text still gets written,
  // only without its colour.
  console_.Write(kForegroundSgr[attr & 0x0F]);
}

void ConsoleApp::SetColors(uint8_t fore, uint8_t back) {
  SetTextAttr(static_cast<uint8_t>(((back & 0x0F) << 4) | (fore & 0x0F)));
}

void ConsoleApp::SetForeground(uint8_t color) { SetColors(color, GetBackground()); }

void ConsoleApp::WriteBanner() {
  const AttrRestorer restorer([this](uint8_t attr) { SetTextAttr(attr); }, GetTextAttr());
  SetForeground(kWhite);
  Write(FitToWidth(GetName() + " v" + GetVersion() + " (Unicode)", kBannerWidth));
  WriteLn();
  WriteLn(std::string(79, '-'));
}

void ConsoleApp::AdvanceCursor(std::string_view written) {
  std::size_t start = 0;
  for (std::size_t i = 0; i <= written.size(); ++i) {
    const bool end = i == written.size();
    const char c = end ? '\0' : written[i];
    if (!end && c != '\r' && c != '\n' && c != '\b') continue;
    cursor_column_ += static_cast<int>(Utf16Length(written.substr(start, i - start)));
    if (c == '\r' || c == '\n') cursor_column_ = 0;
    if (c == '\b') cursor_column_ = std::max(0, cursor_column_ - 1);
    start = i + 1;
  }
}

}  // namespace hv
