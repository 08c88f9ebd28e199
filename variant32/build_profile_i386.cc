// The i386 program: its display name, the texts and the plain class of its
// regular-expression compile errors, the option that switches WoW64
// file-system redirection, and the binding of the WoW64 entry points.
#include "support/build_profile.h"

#include "support/exceptions.h"
#include "variant32/wow64.h"

namespace hv::build_profile {

namespace {

constexpr Option kWow64Options[] = {
    {"-wow64", false},
    {"-wow64-", true},
};

constexpr HelpRow kWow64HelpRows[] = {
    {" -wow64[-]", " ...... [Disable] Wow64 filesystem redirection (default: -wow64)."},
};

}  // namespace

const std::string_view kDisplayName = "Redure";

const std::string_view kEmptyRegExpText =
    "TPerlRegEx.Compile() - Please specify a regular expression in RegEx first";
const std::string_view kBadRegExpPrefix = "TPerlRegEx.Compile() - Error in regex at offset ";

void RaiseRegExpCompileError(const std::string& message) { throw Exception(message); }

const std::span<const Option> kOptions = kWow64Options;
const std::span<const HelpRow> kHelpRows = kWow64HelpRows;

ProgramBinding::ProgramBinding() { LoadWow64Functions(); }
ProgramBinding::~ProgramBinding() { UnloadWow64Functions(); }

}  // namespace hv::build_profile
