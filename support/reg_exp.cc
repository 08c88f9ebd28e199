#include "support/reg_exp.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <array>
#include <new>
#include <string>
#include <utility>

#include "support/build_profile.h"
#include "support/exceptions.h"

namespace hv {

namespace {

constexpr RegExpOptions kKnownOptions = preCaseLess | preMultiLine | preSingleLine |
                                        preExtended | preAnchored | preUnGreedy |
                                        preNoAutoCapture;

constexpr std::pair<RegExpOption, uint32_t> kCompileOptionOf[] = {
    {preCaseLess, PCRE2_CASELESS},   {preMultiLine, PCRE2_MULTILINE},
    {preSingleLine, PCRE2_DOTALL},   {preExtended, PCRE2_EXTENDED},
    {preAnchored, PCRE2_ANCHORED},   {preUnGreedy, PCRE2_UNGREEDY},
    {preNoAutoCapture, PCRE2_NO_AUTO_CAPTURE},
};

uint32_t CompileOptions(RegExpOptions options) {
  uint32_t result = PCRE2_UTF;
  for (const auto& [flag, pcre_option] : kCompileOptionOf) {
    if ((options & flag) != 0) result |= pcre_option;
  }
  return result;
}

struct CodeDeleter {
  void operator()(pcre2_code* code) const { pcre2_code_free(code); }
};
struct MatchDataDeleter {
  void operator()(pcre2_match_data* data) const { pcre2_match_data_free(data); }
};
struct CompileContextDeleter {
  void operator()(pcre2_compile_context* context) const {
    pcre2_compile_context_free(context);
  }
};

using CodePtr = std::unique_ptr<pcre2_code, CodeDeleter>;
using MatchDataPtr = std::unique_ptr<pcre2_match_data, MatchDataDeleter>;
using CompileContextPtr = std::unique_ptr<pcre2_compile_context, CompileContextDeleter>;

std::string ErrorText(int error_code) {
  std::array<PCRE2_UCHAR, 256> buffer{};
  // A truncated text is still worth showing; an unknown code leaves it empty.
  pcre2_get_error_message(error_code, buffer.data(), buffer.size());
  return reinterpret_cast<const char*>(buffer.data());
}

std::string CompileErrorText(int error_code, PCRE2_SIZE error_offset) {
  return std::string(build_profile::kBadRegExpPrefix) + std::to_string(error_offset) + ": " +
         ErrorText(error_code);
}

// PCRE2's verdict on a subject that is not valid UTF-8.
bool IsInvalidUtf8Subject(int rc) {
  return rc <= PCRE2_ERROR_UTF8_ERR1 && rc >= PCRE2_ERROR_UTF8_ERR21;
}

}  // namespace

struct RegExp::Compiled {
  CodePtr code;
  // Sized once, for every group of the pattern: the line reader matches
  // millions of lines through one object.
  MatchDataPtr match_data;
};

RegExp::RegExp(std::string pattern, RegExpOptions options)
    : pattern_(std::move(pattern)), options_(options & kKnownOptions) {}

RegExp::~RegExp() = default;

void RegExp::Compile() {
  if (pattern_.empty()) build_profile::RaiseRegExpCompileError(std::string(build_profile::kEmptyRegExpText));
  compiled_.reset();
  offset_count_ = 0;

  CompileContextPtr context(pcre2_compile_context_create(nullptr));
  if (!context) throw std::bad_alloc();
  pcre2_set_newline(context.get(), PCRE2_NEWLINE_ANY);

  int error_code = 0;
  PCRE2_SIZE error_offset = 0;
  CodePtr code(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern_.data()), pattern_.size(),
                             CompileOptions(options_), &error_code, &error_offset,
                             context.get()));
  if (!code) build_profile::RaiseRegExpCompileError(CompileErrorText(error_code, error_offset));

  // Without JIT pcre2_match interprets the pattern, with the same results.
  pcre2_jit_compile(code.get(), PCRE2_JIT_COMPLETE);

  MatchDataPtr match_data(pcre2_match_data_create_from_pattern(code.get(), nullptr));
  if (!match_data) throw std::bad_alloc();
  compiled_ = std::make_unique<Compiled>(Compiled{std::move(code), std::move(match_data)});
}

bool RegExp::Match(std::string_view subject, bool valid_utf8) {
  subject_ = subject;
  if (!compiled_) Compile();
  // An empty view may carry no pointer; PCRE2 wants one.
  const auto* data =
      reinterpret_cast<PCRE2_SPTR>(subject.data() != nullptr ? subject.data() : "");
  const uint32_t options = PCRE2_NOTEMPTY | (valid_utf8 ? PCRE2_NO_UTF_CHECK : 0);
  int rc = pcre2_match(compiled_->code.get(), data, subject.size(), 0, options,
                       compiled_->match_data.get(), nullptr);
  // JIT runs on a small fixed stack; the interpreter may still succeed.
  if (rc == PCRE2_ERROR_JIT_STACKLIMIT) {
    rc = pcre2_match(compiled_->code.get(), data, subject.size(), 0,
                     options | PCRE2_NO_JIT, compiled_->match_data.get(), nullptr);
  }
  offset_count_ = rc > 0 ? rc : 0;
  if (rc > 0) return true;
  if (rc == PCRE2_ERROR_NOMATCH || IsInvalidUtf8Subject(rc)) return false;
  throw ERegularExpressionError(ErrorText(rc));
}

bool RegExp::SubexpressionByName(std::string_view name, std::string_view& value) const {
  value = {};
  if (!compiled_) return false;
  // No group name holds a NUL, and the C interface would stop at one.
  if (name.find('\0') != std::string_view::npos) return false;

  // Short names are terminated on the stack so that reading a group allocates nothing.
  std::array<char, 128> buffer;
  std::string long_name;
  const char* terminated = nullptr;
  if (name.size() < buffer.size()) {
    name.copy(buffer.data(), name.size());
    buffer[name.size()] = '\0';
    terminated = buffer.data();
  } else {
    long_name.assign(name);
    terminated = long_name.c_str();
  }

  const int number = pcre2_substring_number_from_name(
      compiled_->code.get(), reinterpret_cast<PCRE2_SPTR>(terminated));
  if (number < 0) return false;
  value = Subexpression(number);
  return true;
}

int RegExp::SubexpressionNumber(std::string_view name) const {
  std::string_view unused;
  if (!SubexpressionByName(name, unused)) return -1;
  std::array<char, 128> buffer{};
  if (name.size() >= buffer.size()) return -1;
  name.copy(buffer.data(), name.size());
  return pcre2_substring_number_from_name(compiled_->code.get(),
                                          reinterpret_cast<PCRE2_SPTR>(buffer.data()));
}

std::string_view RegExp::Subexpression(int number) const {
  if (!compiled_ || number < 0 || number > offset_count_ - 1) return {};
  const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(compiled_->match_data.get());
  const PCRE2_SIZE start = ovector[2 * number];
  const PCRE2_SIZE end = ovector[2 * number + 1];
  if (start == PCRE2_UNSET || end < start) return {};
  return subject_.substr(start, end - start);
}

std::string_view RegExp::SubexpressionByName(std::string_view name) const {
  std::string_view value;
  SubexpressionByName(name, value);
  return value;
}

std::unique_ptr<RegExp> CreateRegExp(std::string_view pattern, RegExpOptions options) {
  // The constructor is private so that this factory is the only way in.
  return std::unique_ptr<RegExp>(new RegExp(std::string(pattern), options));
}

}  // namespace hv
