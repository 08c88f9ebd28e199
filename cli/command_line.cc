// The command line: the option table, the walk over the arguments, the usage
// errors and the help screen. The option table and the help screen are kept
// together here, each in two parts with the options of the build's profile
// between them.
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "cli/verify_app.h"
#include "platform/console.h"
#include "platform/file_system.h"
#include "support/build_profile.h"
#include "support/exceptions.h"
#include "support/utf8.h"

namespace hv {

namespace {

constexpr char kEmptyArgument[] = "Empty argument.";
constexpr char kUnknownArgument[] = "Unknown argument \"%s\".";
constexpr char kHashfileMissing[] = "Hashfile must be provided.";
constexpr char kCommandClash[] = "Only one of -b/-v/-vf/-u/-uf/-m/-D commands may be present.";
constexpr char kPrecisionInvalid[] = "Precision must be an integer number, not \"%s\".";

constexpr char kOutputIsHashFile[] = "Output file must differ from the hash list file.";
constexpr char kOutputIsMatchFile[] = "Output file must differ from the -m/-D file.";
constexpr char kLogIsHashFile[] = "Error log file must differ from the hash list file.";
constexpr char kLogIsMatchFile[] = "Error log file must differ from the -m/-D file.";
constexpr char kOutputIsLogFile[] = "Output file must differ from the error log file.";
constexpr char kOutputIsSocket[] = "Output file must not be a socket.";
constexpr char kLogIsSocket[] = "Error log file must not be a socket.";

constexpr char kSyntaxArguments[] = "[<arg>] [<arg>] ... <hashfile> [<dir>] [<dir>] ...";

// One line of the help screen after the syntax line: an option in white and
// its description, or (without an option) a plain line.
using HelpLine = build_profile::HelpRow;

// Option text and dots fill 18 columns, so every description starts in the
// 19th. The rows of the build's own options come between the two parts.
constexpr HelpLine kHelpScreenBefore[] = {
    {"", "Commands:"},
    {" -h, -?", " ......... Show this help screen."},
    {"", ""},
    {" -b", " ............. Build a new hash list."},
    {" -v", " ............. Redure an existing hash list (default)."},
    {" -u", " ............. Redure and update an existing hash list."},
    {" -m <file>", " ...... Match new hash list <hashfile> against old <file>."},
    {" -D <file>", " ...... Find files from <hashfile> which exist in <file>."},
    {" -D1", " ............ Find dupes within <hashfile>."},
    {"", ""},
    {"", "Matching specifiers:"},
    {" -j[-]", " .......... [Don't] Scan junctions and reparse points (default: -j)."},
    {" -r[-]", " .......... [Don't] Recursively scan subdirectories (default: -r)."},
    {" -t[-]", " .......... [Don't] Use file modification timestamp (default: -t)."},
    {" -tp <msec>", " ..... Use <msec> millisecond precision for comparison (default: 0)."},
};

constexpr HelpLine kHelpScreenAfter[] = {
    {"", ""},
    {"", "Source files:"},
    {" -d <dir>", " ....... Add directory <dir> to scanned directories."},
    {" -rd <dir>", " ...... Do not write the initial <dir> to output hashlist."},
    {" -i <wildcard>", "... Include files whose name matches <wildcard>."},
    {" -x <wildcard>", "... Exclude files whose name matches <wildcard>."},
    {" -ir <regexp>", ".... Include files whose full name matches <regexp>."},
    {" -xr <regexp>", ".... Exclude files whose full name matches <regexp>."},
    {"", ""},
    {"", "Output settings:"},
    {" -p[-]", " .......... [Don't] Show progress."},
    {" -e <file>", " ...... Write error log to file."},
    {" -o <file>", " ...... Write verify/match/dupes results to <file>."},
    {" -sm[-]", " ......... [Don't] Show matched (non-changed) files (default: -sm-)."},
    {" -sa[-]", " ......... [Don't] Show added (new) files (default: -sa)."},
    {" -sc[-]", " ......... [Don't] Show changed files (default: -sc)."},
    {" -sd[-]", " ......... [Don't] Show deleted files (default: -sd)."},
    {" -sp[-]", " ......... [Don't] Show copied files (default: -sp)."},
    {" -sr[-]", " ......... [Don't] Show renamed files (default: -sr)."},
    {"", ""},
};

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return c - 'A' + 10;
}

// A whole number from 0 to 2147483647: leading blanks, then a sign and
// decimal digits, decimal digits alone, or hexadecimal digits after "$",
// "x", "X", "0x" or "0X"; nothing after the digits.
std::optional<int32_t> ParsePrecision(std::string_view text) {
  constexpr int64_t kMax = 2147483647;
  std::size_t pos = 0;
  while (pos < text.size() && text[pos] == ' ') ++pos;
  text.remove_prefix(pos);

  int base = 10;
  bool negative = false;
  if (text.starts_with('$') || text.starts_with('x') || text.starts_with('X')) {
    base = 16;
    text.remove_prefix(1);
  } else if (text.starts_with("0x") || text.starts_with("0X")) {
    base = 16;
    text.remove_prefix(2);
  } else if (text.starts_with('+') || text.starts_with('-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;

  int64_t value = 0;
  for (const char c : text) {
    const bool digit = base == 16 ? IsHexDigit(c) : (c >= '0' && c <= '9');
    if (!digit) return std::nullopt;
    value = value * base + HexValue(c);
    // Past the limit the rest can only make it larger; stop before it
    // could overflow.
    if (value > kMax) return std::nullopt;
  }
  if (negative && value != 0) return std::nullopt;
  return static_cast<int32_t>(value);
}

std::string FormatMessage(std::string_view fmt, std::string_view arg) {
  std::string result;
  const std::size_t at = fmt.find("%s");
  if (at == std::string_view::npos) return std::string(fmt);
  result.append(fmt.substr(0, at));
  result.append(arg);
  result.append(fmt.substr(at + 2));
  return result;
}

// A socket cannot be opened as a file, so it cannot take output (unless it
// is standard output, which is written through).
bool IsSocket(const std::string& name) {
  platform::FileStatus status;
  return platform::CurrentFileSystem().Stat(name, &status) == 0 && status.kind == platform::FileKind::kSocket &&
         !platform::CurrentConsole().IsStandardOutput(status);
}

}  // namespace

struct VerifyApp::CommandLine {
  using Action = void (*)(VerifyApp& app, const std::string& option);
  struct Option {
    std::string_view text;
    Action action;
  };

  // The argument after an option, as it is, even when empty: an empty file
  // name means the console or no log, an empty directory the current one, and
  // an empty mask or expression is the engine's to judge. `missing` when there
  // is none.
  static std::string Value(VerifyApp& app, const char* missing) {
    std::string value;
    if (!app.NextParam(value)) app.SyntaxError(missing);
    return value;
  }

  static void SetCommand(VerifyApp& app, VerifyCommand command) {
    if (app.verify_->GetVerifyCommand() != vcDefault) app.SyntaxError(kCommandClash);
    app.verify_->SetVerifyCommand(command);
  }

  static void SetListCommand(VerifyApp& app, VerifyCommand command,
                             const char* missing, const char* not_found) {
    SetCommand(app, command);
    // An empty name is simply a file that does not exist.
    std::string file = Value(app, missing);
    if (!platform::CurrentFileSystem().FileExists(file)) app.SyntaxError(not_found);
    app.verify_->SetMatchListFileName(std::move(file));
  }

  static void Show(VerifyApp& app, HashState state) {
    HashStates states = app.verify_->HideStates();
    states.Exclude(state);
    app.verify_->SetHideStates(states);
  }

  static void Hide(VerifyApp& app, HashState state) {
    HashStates states = app.verify_->HideStates();
    states.Include(state);
    app.verify_->SetHideStates(states);
  }

  static void Mask(VerifyApp& app, IncludeExcludeMask type, const char* missing) {
    app.verify_->AddIncludeExcludeMask(Value(app, missing), type);
  }

  static void Precision(VerifyApp& app, const std::string&) {
    // An empty value is no number, and said so.
    const std::string value = Value(app, "Precision must be provided with -tp argument.");
    const std::optional<int32_t> precision = ParsePrecision(value);
    if (!precision) app.SyntaxErrorFmt(kPrecisionInvalid, value);
    app.verify_->SetTimestampPrecision(*precision);
  }

  static void Output(VerifyApp& app, const std::string&) {
    std::string file = Value(app, "File name must be provided with -o argument.");
    // "-" sends the results to the console again.
    if (file == "-") file.clear();
    app.verify_->SetOutputFileName(std::move(file));
  }

  // Tested in this order, with the options of the build's profile between
  // the two parts; the first exact match decides.
  static constexpr Option kOptionsBefore[] = {
      {"-h", [](VerifyApp& app, const std::string&) { app.SyntaxError(""); }},
      {"-?", [](VerifyApp& app, const std::string&) { app.SyntaxError(""); }},
      {"-v", [](VerifyApp& app, const std::string&) { SetCommand(app, vcVerify); }},
      {"-b", [](VerifyApp& app, const std::string&) { SetCommand(app, vcBuild); }},
      {"-u", [](VerifyApp& app, const std::string&) { SetCommand(app, vcUpdate); }},
      {"-m",
       [](VerifyApp& app, const std::string&) {
         SetListCommand(app, vcMatch, "File name must be provided for -m command.",
                        "Matchfile not found for -m command.");
       }},
      {"-D",
       [](VerifyApp& app, const std::string&) {
         SetListCommand(app, vcDupes, "File name must be provided for -D command.",
                        "Dupesfile not found for -D command.");
       }},
      {"-D1", [](VerifyApp& app, const std::string&) { SetCommand(app, vcDupes1); }},
      {"-r", [](VerifyApp& app, const std::string&) { app.verify_->SetRecursive(true); }},
      {"-r-", [](VerifyApp& app, const std::string&) { app.verify_->SetRecursive(false); }},
      {"-p", [](VerifyApp& app, const std::string&) { app.verify_->SetShowProgress(true); }},
      {"-p-", [](VerifyApp& app, const std::string&) { app.verify_->SetShowProgress(false); }},
      {"-j", [](VerifyApp& app, const std::string&) { app.verify_->SetJunctions(true); }},
      {"-j-", [](VerifyApp& app, const std::string&) { app.verify_->SetJunctions(false); }},
      {"-t", [](VerifyApp& app, const std::string&) { app.verify_->SetUseTimestamp(true); }},
      {"-t-", [](VerifyApp& app, const std::string&) { app.verify_->SetUseTimestamp(false); }},
      {"-tp", &Precision},
  };

  static constexpr Option kOptionsAfter[] = {
      {"-sm", [](VerifyApp& app, const std::string&) { Show(app, hsOK); }},
      {"-sm-", [](VerifyApp& app, const std::string&) { Hide(app, hsOK); }},
      {"-sa", [](VerifyApp& app, const std::string&) { Show(app, hsNew); }},
      {"-sa-", [](VerifyApp& app, const std::string&) { Hide(app, hsNew); }},
      {"-sc", [](VerifyApp& app, const std::string&) { Show(app, hsChanged); }},
      {"-sc-", [](VerifyApp& app, const std::string&) { Hide(app, hsChanged); }},
      {"-sd", [](VerifyApp& app, const std::string&) { Show(app, hsDeleted); }},
      {"-sd-", [](VerifyApp& app, const std::string&) { Hide(app, hsDeleted); }},
      {"-sp", [](VerifyApp& app, const std::string&) { Show(app, hsCopied); }},
      {"-sp-", [](VerifyApp& app, const std::string&) { Hide(app, hsCopied); }},
      {"-sr", [](VerifyApp& app, const std::string&) { Show(app, hsRenamed); }},
      {"-sr-", [](VerifyApp& app, const std::string&) { Hide(app, hsRenamed); }},
      {"-i",
       [](VerifyApp& app, const std::string&) {
         Mask(app, iemInclude, "Mask must be provided with -i argument.");
       }},
      {"-x",
       [](VerifyApp& app, const std::string&) {
         Mask(app, iemExclude, "Mask must be provided with -x argument.");
       }},
      {"-ir",
       [](VerifyApp& app, const std::string&) {
         Mask(app, iemIncludeRegExp, "Regular expression must be provided with -ir argument.");
       }},
      {"-xr",
       [](VerifyApp& app, const std::string&) {
         Mask(app, iemExcludeRegExp, "Regular expression ask must be provided with -xr argument.");
       }},
      {"-d",
       [](VerifyApp& app, const std::string&) {
         app.verify_->BaseDirectories().push_back(
             Value(app, "Directory name must be provided with -d argument."));
       }},
      {"-rd",
       [](VerifyApp& app, const std::string&) {
         app.verify_->SetBaseDirectoriesRoot(
             Value(app, "Directory name must be provided with -rd argument."));
       }},
      {"-o", &Output},
      {"-e",
       [](VerifyApp& app, const std::string&) {
         // "-" has no special meaning here: it names a file.
         app.error_log_file_name_ = Value(app, "File name must be provided with -e argument.");
       }},
  };

  // The option of `options` called `argument`, null when there is none.
  template <typename Entry>
  static const Entry* Find(std::span<const Entry> options, std::string_view argument) {
    for (const Entry& option : options) {
      if (option.text == argument) return &option;
    }
    return nullptr;
  }

  // Carries out the option `argument`; false when there is none of that name.
  static bool Take(VerifyApp& app, const std::string& argument) {
    const Option* option = Find<Option>(kOptionsBefore, argument);
    if (option == nullptr) {
      if (const build_profile::Option* own = Find(build_profile::kOptions, argument)) {
        app.verify_->SetDisableWow64(own->disable_wow64);
        return true;
      }
      option = Find<Option>(kOptionsAfter, argument);
    }
    if (option == nullptr) return false;
    option->action(app, argument);
    return true;
  }
};

void VerifyApp::SyntaxError(const std::string& msg) {
  ShowSyntax(msg);
  throw EAbort(msg);
}

void VerifyApp::SyntaxErrorFmt(const std::string& fmt, const std::string& arg) {
  SyntaxError(FormatMessage(fmt, DisplayUtf8(arg)));
}

int VerifyApp::ParseCommandLine() {
  try {
    std::string argument;
    while (NextParam(argument)) {
      if (argument.empty()) SyntaxError(kEmptyArgument);
      if (argument.front() != '-') {
        if (verify_->HashesFileName().empty()) {
          verify_->SetHashesFileName(argument);
        } else {
          verify_->BaseDirectories().push_back(argument);
        }
        continue;
      }
      if (!CommandLine::Take(*this, argument)) SyntaxErrorFmt(kUnknownArgument, argument);
    }
    if (verify_->HashesFileName().empty()) SyntaxError(kHashfileMissing);
    if (verify_->BaseDirectories().empty()) verify_->BaseDirectories().push_back(".");
    CheckFileClashes();
    return 0;
  } catch (const EAbort&) {
    return kAbortExitCode;
  }
}

void VerifyApp::CheckFileClashes() {
  const std::string& hashes = verify_->HashesFileName();
  const std::string& match = verify_->MatchListFileName();
  const std::string& output = verify_->OutputFileName();
  const std::string& log = error_log_file_name_;
  platform::FileSystem& fs = platform::CurrentFileSystem();
  if (!output.empty()) {
    if (IsSocket(output)) SyntaxError(kOutputIsSocket);
    if (fs.SameFile(output, hashes)) SyntaxError(kOutputIsHashFile);
    if (!match.empty() && fs.SameFile(output, match)) SyntaxError(kOutputIsMatchFile);
  }
  if (!log.empty()) {
    if (IsSocket(log)) SyntaxError(kLogIsSocket);
    if (fs.SameFile(log, hashes)) SyntaxError(kLogIsHashFile);
    if (!match.empty() && fs.SameFile(log, match)) SyntaxError(kLogIsMatchFile);
    if (!output.empty() && fs.SameFile(output, log)) SyntaxError(kOutputIsLogFile);
  }
}

void VerifyApp::ShowSyntax(const std::string& error_msg) {
  ConsoleApp::ShowSyntax(error_msg);
  WriteColored(kWhite, kSyntaxArguments);
  WriteLn();
  WriteLn();
  for (const auto& part : {std::span<const HelpLine>(kHelpScreenBefore), build_profile::kHelpRows,
                           std::span<const HelpLine>(kHelpScreenAfter)}) {
    for (const HelpLine& line : part) {
      if (!line.option.empty()) WriteColored(kWhite, line.option);
      WriteLn(line.text);
    }
  }
}

}  // namespace hv
