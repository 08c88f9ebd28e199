// What tells the two programs apart outside the engine: the name in the
// banner, how a pattern that does not compile is reported, the options only
// one of them has, and what the program binds for its lifetime. Each build
// links one definition: support/build_profile_x64.cc for the x86-64
// program, variant32/build_profile_i386.cc for the i386 program.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace hv::build_profile {

// The name the banner shows.
extern const std::string_view kDisplayName;

// A regular expression that does not compile: the text for an empty
// pattern, the start of the text for one with an error at an offset, and
// the class both are raised with.
extern const std::string_view kEmptyRegExpText;
extern const std::string_view kBadRegExpPrefix;
[[noreturn]] void RaiseRegExpCompileError(const std::string& message);

// An option that only this program has; it sets the engine's DisableWow64.
struct Option {
  std::string_view text;
  bool disable_wow64;
};
// Tested after "-tp" and before "-sm".
extern const std::span<const Option> kOptions;

// The help rows of those options, option text in white: the last rows of
// "Matching specifiers:".
struct HelpRow {
  std::string_view option;
  std::string_view text;
};
extern const std::span<const HelpRow> kHelpRows;

// Binds at start-up what the program takes from the system, and releases it
// at exit. Made first in main, so that it goes after everything else.
class ProgramBinding {
 public:
  ProgramBinding();
  ~ProgramBinding();
  ProgramBinding(const ProgramBinding&) = delete;
  ProgramBinding& operator=(const ProgramBinding&) = delete;
};

}  // namespace hv::build_profile
