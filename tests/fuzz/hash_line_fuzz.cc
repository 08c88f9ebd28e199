// The hash-list line: any input either parses or raises an EConvertError (of
// which EHashItemError is one); a parsed line writes back to a line that reads
// the same fields. An entry built from the input writes a line that reads back
// to that entry. Where the line is split by hand, the pattern gives the same
// groups.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/arena.h"
#include "engine/hash_item.h"
#include "fuzz/fuzz_check.h"
#include "support/date_time.h"
#include "support/exceptions.h"
#include "support/utf8.h"

namespace {

// A line the writer produced must parse, into exactly the fields it came from
// (a date that is not greater than 0 is not written at all).
void CheckReadsBack(const hv::HashItem& item, hv::Arena* arena) {
  const std::string line = item.AsString();
  hv::HashItem back;
  back.SetAsString(line, arena);
  HV_FUZZ_CHECK(back.Path() == item.Path());
  HV_FUZZ_CHECK(back.Hash() == item.Hash());
  HV_FUZZ_CHECK(back.Size() == item.Size());
  HV_FUZZ_CHECK(back.Date() == (item.Date() > 0 ? item.Date() : 0));
  HV_FUZZ_CHECK(back.AsString() == line);
}

void CheckSplitByHand(std::string_view line) {
  const bool valid = hv::IsValidUtf8(line);
  hv::HashLineFields by_hand;
  if (!hv::SplitHashLine(line, valid, by_hand)) return;
  hv::HashLineFields by_pattern;
  HV_FUZZ_CHECK(hv::MatchHashLine(line, valid, by_pattern));
  HV_FUZZ_CHECK(by_hand.has_date == by_pattern.has_date);
  const auto same = [](std::string_view a, std::string_view b) {
    return a.size() == b.size() && (a.empty() || a.data() == b.data());
  };
  HV_FUZZ_CHECK(same(by_hand.path, by_pattern.path) && same(by_hand.size, by_pattern.size) &&
                same(by_hand.hash, by_pattern.hash));
  HV_FUZZ_CHECK(same(by_hand.year, by_pattern.year) && same(by_hand.month, by_pattern.month) &&
                same(by_hand.day, by_pattern.day) && same(by_hand.hour, by_pattern.hour) &&
                same(by_hand.minute, by_pattern.minute) && same(by_hand.second, by_pattern.second) &&
                same(by_hand.millisecond, by_pattern.millisecond));
}

void ParseInput(const uint8_t* data, size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  CheckSplitByHand(line);
  hv::HashItem item;
  try {
    item.SetAsString(line);
  } catch (const hv::EConvertError&) {
    return;
  }
  CheckReadsBack(item, nullptr);
}

void WriteEntry(const uint8_t* data, size_t size) {
  static constexpr char kHashAlphabet[] =
      "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ+/=";
  FuzzedDataProvider input(data, size);
  hv::HashItem item;
  item.SetSize(input.ConsumeIntegral<int64_t>());
  if (input.ConsumeBool()) {
    try {
      item.SetDate(hv::EncodeDate(input.ConsumeIntegralInRange(1, 9999), input.ConsumeIntegralInRange(1, 12),
                                  input.ConsumeIntegralInRange(1, 31)) +
                   hv::EncodeTime(input.ConsumeIntegralInRange(0, 23), input.ConsumeIntegralInRange(0, 59),
                                  input.ConsumeIntegralInRange(0, 59), input.ConsumeIntegralInRange(0, 999)));
    } catch (const hv::EConvertError&) {
      // A day the month does not have: the entry keeps no date.
    }
  }
  std::string hash = input.ConsumeRandomLengthString(64);
  for (char& c : hash) c = kHashAlphabet[static_cast<uint8_t>(c) % (sizeof kHashAlphabet - 1)];
  if (hash.empty()) hash = "A";
  item.SetHash(hash);
  // A path with a double quote or bytes that are not UTF-8 is never listed.
  std::string path = input.ConsumeRemainingBytesAsString();
  std::erase(path, '"');
  if (path.empty() || !hv::IsValidUtf8(path)) return;
  item.SetPath(path);
  hv::Arena arena;
  CheckReadsBack(item, &arena);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ParseInput(data, size);
  WriteEntry(data, size);
  return 0;
}
