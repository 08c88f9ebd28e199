// The x86-64 program: no option of its own and nothing to bind.
#include "support/build_profile.h"

#include "support/exceptions.h"

namespace hv::build_profile {

const std::string_view kDisplayName = "Zavere-z64";

const std::string_view kEmptyRegExpText = "A regular expression specified in RegEx is required";
const std::string_view kBadRegExpPrefix = "Error in regular expression at offset ";

void RaiseRegExpCompileError(const std::string& message) { throw ERegularExpressionError(message); }

const std::span<const Option> kOptions;
const std::span<const HelpRow> kHelpRows;

ProgramBinding::ProgramBinding() = default;
ProgramBinding::~ProgramBinding() = default;

}  // namespace hv::build_profile
