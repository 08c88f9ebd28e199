// A whole hash-list file read through the text stream from an in-memory file
// system, in every encoding. The first byte picks how the rest becomes the file:
//   bits 0-2: 0 the bytes as they are; 1 after a UTF-8 byte-order mark; 2 and 3
//             after a UTF-16 LE / BE mark; 4 and 5 the bytes taken as UTF-8 and
//             written as UTF-16 LE / BE with a mark; 6 and 7 the same without
//   bit 3:    a comment line longer than the encoding detection's sample first
//   bit 4:    the lines come from standard input instead of a file
// Whatever loads must sort and search consistently, and save and load again
// to the same entries.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "engine/entry_order.h"
#include "engine/hash_list.h"
#include "fuzz/fuzz_check.h"
#include "helpers/fake_console.h"
#include "helpers/fake_file_system.h"
#include "platform/console.h"
#include "platform/file_system.h"
#include "support/exceptions.h"
#include "support/text_stream.h"
#include "support/utf8.h"

namespace {

void AppendUnit(std::string& out, char16_t unit, bool big_endian) {
  const auto high = static_cast<char>(unit >> 8);
  const auto low = static_cast<char>(unit & 0xFF);
  out.push_back(big_endian ? high : low);
  out.push_back(big_endian ? low : high);
}

// Bytes that are no UTF-8 become lone surrogates, as a careless writer would.
std::string ToUtf16(std::string_view text, bool big_endian) {
  std::string out;
  for (size_t pos = 0; pos < text.size();) {
    const char32_t c = hv::DecodeUtf8(text, pos);
    if (c >= 0x10000) {
      AppendUnit(out, static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)), big_endian);
      AppendUnit(out, static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)), big_endian);
    } else {
      AppendUnit(out, static_cast<char16_t>(c), big_endian);
    }
  }
  return out;
}

std::string MakeFile(uint8_t mode, std::string_view data) {
  const unsigned form = mode & 7u;
  const bool big_endian = form == 3 || form == 5 || form == 7;
  std::string padding;
  if ((mode & 8u) != 0) {
    padding = ";" + std::string(hv::TextStream::kDetectionSampleSize, 'p') + "\r\n";
  }
  switch (form) {
    case 0: return padding + std::string(data);
    case 1: return "\xEF\xBB\xBF" + padding + std::string(data);
    case 2:
    case 3: return (big_endian ? "\xFE\xFF" : "\xFF\xFE") + ToUtf16(padding, big_endian) + std::string(data);
    case 4:
    case 5: return (big_endian ? "\xFE\xFF" : "\xFF\xFE") + ToUtf16(padding, big_endian) + ToUtf16(data, big_endian);
    default: return ToUtf16(padding, big_endian) + ToUtf16(data, big_endian);
  }
}

void CheckSameEntries(const hv::HashList& a, const hv::HashList& b) {
  HV_FUZZ_CHECK(a.Count() == b.Count());
  for (int i = 0; i < a.Count(); ++i) {
    const hv::HashItem& x = a.Items(i);
    const hv::HashItem& y = b.Items(i);
    HV_FUZZ_CHECK(x.Path() == y.Path());
    HV_FUZZ_CHECK(x.Hash() == y.Hash());
    HV_FUZZ_CHECK(x.Size() == y.Size());
    HV_FUZZ_CHECK((x.Date() > 0 ? x.Date() : 0) == y.Date());
  }
}

void CheckSortAndSearch(hv::HashList& list) {
  list.SortByPath();
  for (int i = 0; i < list.Count(); ++i) {
    if (i > 0) HV_FUZZ_CHECK(hv::CompareByPath(list.Items(i - 1), list.Items(i)) <= 0);
    int index = -1;
    HV_FUZZ_CHECK(list.FindByPath(list.Items(i).Path(), index));
    HV_FUZZ_CHECK(index <= i && list.Items(index).Path() == list.Items(i).Path());
  }
  list.SortByHash();
  for (int i = 0; i < list.Count(); ++i) {
    if (i > 0) HV_FUZZ_CHECK(hv::CompareByHash(list.Items(i - 1), list.Items(i)) <= 0);
    int index = -1;
    const hv::HashText hash = list.Items(i).Hash();
    HV_FUZZ_CHECK(list.FindByHash(hash, list.Items(i).Size(), index));
    HV_FUZZ_CHECK(index <= i && hv::CompareByHash(list.Items(index), list.Items(i)) == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t mode = data[0];
  const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);

  hv::testing::FakeFileSystem fs;
  hv::platform::ScopedFileSystem use_fs(fs);
  hv::testing::FakeConsole console;
  hv::platform::ScopedConsole use_console(console);
  std::string list_name = "/list.txt";
  if ((mode & 16u) != 0) {
    list_name.clear();
    for (size_t start = 0; start <= rest.size();) {
      const size_t end = std::min(rest.find('\n', start), rest.size());
      std::string_view line = rest.substr(start, end - start);
      if (line.ends_with('\r')) line.remove_suffix(1);
      console.input_lines.emplace_back(line);
      start = end + 1;
    }
  } else {
    fs.AddFile(list_name, MakeFile(mode, rest));
  }

  const auto base = std::make_shared<const std::string>("/base/");
  hv::HashList list;
  try {
    list.LoadFromFile(list_name, base, {}, hv::hsNew);
  } catch (const hv::Exception&) {
    return 0;
  }
  for (int i = 0; i < list.Count(); ++i) {
    HV_FUZZ_CHECK(list.Items(i).BasePath() == *base && list.Items(i).State() == hv::hsNew);
  }

  CheckSortAndSearch(list);
  // A file stops its line at a CR that standard input keeps; no file name
  // holds one anyway.
  for (int i = 0; i < list.Count(); ++i) {
    if (list.Items(i).Path().find('\r') != std::string_view::npos) return 0;
  }
  list.SaveToFile("/saved.txt", {}, {});
  hv::HashList again;
  again.LoadFromFile("/saved.txt", base, {}, hv::hsOK);
  CheckSameEntries(list, again);
  return 0;
}
