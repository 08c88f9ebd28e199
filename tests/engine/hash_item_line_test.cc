#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "engine/entry_order.h"
#include "engine/hash_item.h"
#include "support/case_fold.h"
#include "support/date_time.h"
#include "support/exceptions.h"
#include "support/utf8.h"

// Counting replacement of the global allocation functions. It counts only
// while the current thread asks for it, so every other test in this program
// allocates as before (through malloc and free). Pairing the replaced
// operator new with free is exactly what a replacement does, so the warning
// about that pairing does not apply here.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
namespace {
thread_local bool g_count_allocations = false;
thread_local int g_allocations = 0;

void* CountedAllocate(std::size_t size) {
  if (g_count_allocations) ++g_allocations;
  return std::malloc(size == 0 ? 1 : size);
}
}  // namespace

void* operator new(std::size_t size) {
  if (void* p = CountedAllocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  if (void* p = CountedAllocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return CountedAllocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return CountedAllocate(size);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace hv {
namespace {

// Counts the allocations of the current thread while it lives.
class AllocationCounter {
 public:
  AllocationCounter() {
    g_allocations = 0;
    g_count_allocations = true;
  }
  ~AllocationCounter() { g_count_allocations = false; }
  int Stop() {
    g_count_allocations = false;
    return g_allocations;
  }
};

constexpr char kHash[] = "MTIzNDU2Nzg5MDEyMzQ1Ng==";
constexpr char kInvalidLine[] = "Invalid AsString input.";
constexpr char kDateError[] = "Invalid argument to date encode";
constexpr char kTimeError[] = "Invalid argument to time encode";

DateTime Date(int y, int m, int d, int h = 0, int n = 0, int s = 0, int z = 0) {
  return EncodeDate(y, m, d) + EncodeTime(h, n, s, z);
}

void Fill(HashItem& item, std::string path, DateTime date, int64_t size, std::string hash) {
  item.SetPath(std::move(path));
  item.SetDate(date);
  item.SetSize(size);
  item.SetHash(std::move(hash));
}

// The hash-list line built from its parts; `quoted_units` is the width of the
// quoted path in UTF-16 units, worked out by the caller.
std::string ExpectedLine(const std::string& quoted, std::size_t quoted_units,
                         const std::string& date, const std::string& size, const std::string& hash) {
  std::string line = quoted;
  if (quoted_units < 80) line.append(80 - quoted_units, ' ');
  line += ' ' + date + ' ';
  if (size.size() < 10) line.append(10 - size.size(), ' ');
  return line + size + ' ' + hash;
}

void ExpectFailure(const std::function<void()>& fn, const char* class_name,
                   const std::string& message) {
  try {
    fn();
    ADD_FAILURE() << "no exception, expected " << class_name << ": " << message;
  } catch (const Exception& e) {
    EXPECT_STREQ(e.ClassName(), class_name);
    EXPECT_EQ(e.Message(), message);
  }
}

void ExpectLineFailure(const std::string& line, const char* class_name, const std::string& message) {
  HashItem item;
  ExpectFailure([&] { item.SetAsString(line); }, class_name, message);
}

// ---------------------------------------------------------------- writer

TEST(HashItemLineWriter, FieldsAtTheirPositions) {
  HashItem item;
  Fill(item, "a.txt", Date(2001, 2, 3, 4, 5, 6, 7), 1234, kHash);
  const std::string line = item.AsString();
  EXPECT_EQ(line, "\"a.txt\"" + std::string(73, ' ') + " 2001-02-03T04:05:06.007       1234 " + kHash);
  EXPECT_EQ(line[80], ' ');
  EXPECT_EQ(line.substr(81, 23), "2001-02-03T04:05:06.007");
  EXPECT_EQ(line[104], ' ');
  EXPECT_EQ(line.substr(105, 10), "      1234");
  EXPECT_EQ(line[115], ' ');
  EXPECT_EQ(line.substr(116), kHash);
}

TEST(HashItemLineWriter, NoDateGivesTwoBlanksAfterThePathField) {
  HashItem item;
  Fill(item, "a.txt", 0, 1234, kHash);
  const std::string line = item.AsString();
  EXPECT_EQ(line, "\"a.txt\"" + std::string(73, ' ') + "        1234 " + kHash);
  EXPECT_EQ(line.substr(80, 2), "  ");
  EXPECT_EQ(line.substr(82, 10), "      1234");
  EXPECT_EQ(line.substr(93), kHash);
}

TEST(HashItemLineWriter, DatesNotAfterTheEpochAreLeftOut) {
  for (const DateTime date : {0.0, -0.75, -109205.0, Date(1899, 12, 30), -1e-9}) {
    HashItem item;
    Fill(item, "f", date, 5, "h");
    EXPECT_EQ(item.AsString(), ExpectedLine("\"f\"", 3, "", "5", "h")) << date;
  }
  HashItem item;
  Fill(item, "f", Date(1899, 12, 30, 0, 0, 0, 1), 5, "h");
  EXPECT_EQ(item.AsString(), ExpectedLine("\"f\"", 3, "1899-12-30T00:00:00.001", "5", "h"));
}

TEST(HashItemLineWriter, MillisecondTiesRoundToEven) {
  HashItem item;
  Fill(item, "f", EncodeDate(2000, 1, 1) + 1.0 / 2048, 1, "h");  // 42187.5 ms
  EXPECT_EQ(item.AsString(), ExpectedLine("\"f\"", 3, "2000-01-01T00:00:42.188", "1", "h"));
  item.SetDate(EncodeDate(2000, 1, 1) + 3.0 / 2048);  // 126562.5 ms
  EXPECT_EQ(item.AsString(), ExpectedLine("\"f\"", 3, "2000-01-01T00:02:06.562", "1", "h"));
}

TEST(HashItemLineWriter, SizeField) {
  const std::pair<int64_t, std::string> cases[] = {
      {-1, "        -1"},
      {0, "         0"},
      {42, "        42"},
      {9999999999, "9999999999"},
      {12345678901, "12345678901"},
      {std::numeric_limits<int64_t>::max(), "9223372036854775807"},
      {std::numeric_limits<int64_t>::min(), "-9223372036854775808"},
  };
  for (const auto& [size, text] : cases) {
    HashItem item;
    Fill(item, "f", 0, size, "h");
    EXPECT_EQ(item.AsString(), "\"f\"" + std::string(77, ' ') + "  " + text + " h");
  }
}

TEST(HashItemLineWriter, LongPathWrittenWholeWithOneBlank) {
  HashItem item;
  const std::string path(150, 'p');
  Fill(item, path, Date(2001, 2, 3), 7, "h");
  EXPECT_EQ(item.AsString(), '"' + path + "\" 2001-02-03T00:00:00.000          7 h");
  // Paths and hashes of any length, beyond what an entry keeps short.
  for (const std::size_t length : {std::size_t{1} << 20, (std::size_t{1} << 20) - 1}) {
    const std::string huge(length, 'p');
    for (const std::string& hash : {std::string(kHash), std::string(32, 'h'), std::string(31, 'h')}) {
      Fill(item, huge, 0, 7, hash);
      EXPECT_EQ(item.Path(), huge);
      EXPECT_EQ(item.Hash(), hash);
      HashItem copy;
      for (const std::string& path : {huge, std::string("p")}) {
        item.SetPath(path);
        copy.Assign(item);
        EXPECT_EQ(copy.Path(), path);
        EXPECT_EQ(copy.Hash(), hash);
        EXPECT_EQ(item.Hash(), hash);
      }
    }
  }
}

TEST(HashItemLineWriter, PathFillingTheFieldExactly) {
  HashItem item;
  const std::string path(78, 'p');
  Fill(item, path, 0, 7, "h");
  EXPECT_EQ(item.AsString(), '"' + path + "\"           7 h");
}

TEST(HashItemLineWriter, InnerQuotesDoubledAndCounted) {
  HashItem item;
  Fill(item, "a\"b", 0, 1, "h");
  EXPECT_EQ(item.QuotedPath(), "\"a\"\"b\"");
  EXPECT_EQ(item.AsString(), ExpectedLine("\"a\"\"b\"", 6, "", "1", "h"));
}

TEST(HashItemLineWriter, NonBmpCharactersCountTwoUnits) {
  HashItem item;
  Fill(item, "\U0001F600", 0, 1, "h");
  const std::string line = item.AsString();
  EXPECT_EQ(line, "\"\U0001F600\"" + std::string(76, ' ') + "           1 h");
  Fill(item, "\u00E9", 0, 1, "h");
  EXPECT_EQ(item.AsString(), "\"\u00E9\"" + std::string(77, ' ') + "           1 h");
}

// ---------------------------------------------------------------- round trips

// A path of `units` UTF-16 units made of `piece` (worth `piece_units`),
// topped up with 'x' to the exact width.
std::string PathOfUnits(std::size_t units, const std::string& piece, std::size_t piece_units) {
  std::string path;
  std::size_t have = 0;
  while (have + piece_units <= units) {
    path += piece;
    have += piece_units;
  }
  path.append(units - have, 'x');
  return path;
}

void CheckRoundTrip(const std::string& path, std::size_t units) {
  SCOPED_TRACE(path);
  const DateTime date = Date(2024, 2, 29, 23, 59, 58, 999);
  HashItem item;
  Fill(item, path, date, 9876543210, kHash);
  const std::string line = item.AsString();
  EXPECT_EQ(line, ExpectedLine('"' + path + '"', units + 2, "2024-02-29T23:59:58.999", "9876543210",
                               kHash));

  HashItem back;
  back.SetAsString(line);
  EXPECT_EQ(back.Path(), path);
  EXPECT_EQ(DateTimeToMilliseconds(back.Date()), DateTimeToMilliseconds(date));
  EXPECT_EQ(back.Size(), 9876543210);
  EXPECT_EQ(back.Hash(), kHash);
  EXPECT_EQ(back.AsString(), line);
}

TEST(HashItemLineRoundTrip, AsciiPathsOf1To200Units) {
  for (std::size_t units = 1; units <= 200; ++units) {
    CheckRoundTrip(PathOfUnits(units, "d\\", 2), units);
  }
}

TEST(HashItemLineRoundTrip, NonAsciiPathsOf1To200Units) {
  for (std::size_t units = 1; units <= 200; ++units) {
    CheckRoundTrip(PathOfUnits(units, "\u00E9\u20AC\\", 3), units);
  }
}

TEST(HashItemLineRoundTrip, NonBmpPathsOf1To200Units) {
  for (std::size_t units = 1; units <= 200; ++units) {
    CheckRoundTrip(PathOfUnits(units, "\U0001F600", 2), units);
  }
}

TEST(HashItemLineRoundTrip, SizesAndDates) {
  const int64_t sizes[] = {-1, 0, 1, 9999999999, 10000000000, std::numeric_limits<int64_t>::max(),
                           std::numeric_limits<int64_t>::min()};
  const DateTime dates[] = {0, Date(1899, 12, 30, 0, 0, 0, 1), Date(2000, 2, 29, 12, 0, 0, 500),
                            Date(9999, 12, 31, 23, 59, 59, 999), Date(1970, 1, 1)};
  for (const int64_t size : sizes) {
    for (const DateTime date : dates) {
      HashItem item;
      Fill(item, "sub\\file.txt", date, size, "aZ09+/=");
      HashItem back;
      back.SetAsString(item.AsString());
      EXPECT_EQ(back.Size(), size);
      EXPECT_EQ(DateTimeToMilliseconds(back.Date()), DateTimeToMilliseconds(date));
      EXPECT_EQ(back.Hash(), "aZ09+/=");
    }
  }
}

// ---------------------------------------------------------------- reader

TEST(HashItemLineReader, ReadsEveryField) {
  HashItem item;
  item.SetAsString("\"sub\\file name.txt\" 2001-02-03T04:05:06.007 1234 " + std::string(kHash));
  EXPECT_EQ(item.Path(), "sub\\file name.txt");
  EXPECT_EQ(item.Date(), Date(2001, 2, 3, 4, 5, 6, 7));
  EXPECT_EQ(item.Size(), 1234);
  EXPECT_EQ(item.Hash(), kHash);
  EXPECT_EQ(item.State(), hsOK);
  EXPECT_EQ(item.Related(), nullptr);
  EXPECT_EQ(item.BasePath(), "");
}

TEST(HashItemLineReader, ClearsTheEntryFirst) {
  HashItem other;
  HashItem item;
  item.SetBasePath(std::make_shared<const std::string>("/base/"));
  Fill(item, "old", Date(2001, 1, 1), 99, "old");
  item.SetState(hsRenamed);
  item.SetRelated(&other);
  item.SetAsString("\"new\" 5 h");
  EXPECT_EQ(item.BasePath(), "");
  EXPECT_EQ(item.BasePath(), "");
  EXPECT_EQ(item.Path(), "new");
  EXPECT_EQ(item.Date(), 0.0);
  EXPECT_EQ(item.State(), hsOK);
  EXPECT_EQ(item.Related(), nullptr);
}

TEST(HashItemLineReader, BlanksAndTabsBetweenAndAround) {
  HashItem item;
  item.SetAsString(" \t \"a b\"\t \t2001-02-03T04:05:06.007 \t 12\t\tHash \t ");
  EXPECT_EQ(item.Path(), "a b");
  EXPECT_EQ(item.Date(), Date(2001, 2, 3, 4, 5, 6, 7));
  EXPECT_EQ(item.Size(), 12);
  EXPECT_EQ(item.Hash(), "Hash");
  item.SetAsString("\"p\"\t-1\th\r\n");
  EXPECT_EQ(item.Size(), -1);
  EXPECT_EQ(item.Hash(), "h");
}

TEST(HashItemLineReader, LowercaseTAndHashCaseKept) {
  HashItem item;
  item.SetAsString("\"p\" 2001-02-03t04:05:06.007 1 AbCdEf+/==");
  EXPECT_EQ(item.Date(), Date(2001, 2, 3, 4, 5, 6, 7));
  EXPECT_EQ(item.Hash(), "AbCdEf+/==");
}

TEST(HashItemLineReader, MissingPartsOfTheDate) {
  HashItem item;
  item.SetAsString("\"p\" 2001-02-03T04:05:06 1 h");
  EXPECT_EQ(item.Date(), Date(2001, 2, 3, 4, 5, 6, 0));
  item.SetAsString("\"p\" 1 h");
  EXPECT_EQ(item.Date(), 0.0);
  item.SetAsString("\"p\"  -1 h");
  EXPECT_EQ(item.Date(), 0.0);
  EXPECT_EQ(item.Size(), -1);
}

TEST(HashItemLineReader, ByteOrderMarkAtTheStart) {
  HashItem item;
  item.SetAsString("\xEF\xBB\xBF\"p\" 1 h");
  EXPECT_EQ(item.Path(), "p");
  // Only one mark is dropped, and only at the very start.
  ExpectLineFailure("\xEF\xBB\xBF\xEF\xBB\xBF\"p\" 1 h", "EHashItemError", kInvalidLine);
  ExpectLineFailure(" \xEF\xBB\xBF\"p\" 1 h", "EHashItemError", kInvalidLine);
}

TEST(HashItemLineReader, LeapDays) {
  HashItem item;
  item.SetAsString("\"p\" 2000-02-29T00:00:00.000 1 h");
  EXPECT_EQ(item.Date(), EncodeDate(2000, 2, 29));
  item.SetAsString("\"p\" 2024-02-29T00:00:00.000 1 h");
  EXPECT_EQ(item.Date(), EncodeDate(2024, 2, 29));
  ExpectLineFailure("\"p\" 1900-02-29T00:00:00.000 1 h", "EConvertError", kDateError);
  ExpectLineFailure("\"p\" 2023-02-29T00:00:00.000 1 h", "EConvertError", kDateError);
}

TEST(HashItemLineReader, DatesBeforeTheEpochAreNegativeAndWrittenWithout) {
  HashItem item;
  item.SetAsString("\"p\" 1899-12-29T06:00:00.000 1 h");
  EXPECT_EQ(item.Date(), -1.0 + 0.25);
  EXPECT_EQ(item.AsString(), ExpectedLine("\"p\"", 3, "", "1", "h"));
  item.SetAsString("\"p\" 1601-01-01T00:00:00.000 1 h");
  EXPECT_EQ(item.Date(), -109205.0);
  item.SetAsString("\"p\" 0001-01-01T00:00:00.000 1 h");
  EXPECT_EQ(item.Date(), -693593.0);
  item.SetAsString("\"p\" 1899-12-30T00:00:00.000 1 h");
  EXPECT_EQ(item.Date(), 0.0);
  EXPECT_EQ(item.AsString(), ExpectedLine("\"p\"", 3, "", "1", "h"));
}

TEST(HashItemLineReader, DateFieldsOutOfRange) {
  const char* const dates[] = {"2001-13-01T00:00:00.000", "2001-00-01T00:00:00.000",
                               "2001-01-00T00:00:00.000", "2001-04-31T00:00:00.000",
                               "0000-01-01T00:00:00.000", "2001-01-32T00:00:00.000",
                               // the date is checked before the time
                               "2001-13-01T24:00:00.000"};
  for (const char* date : dates) {
    SCOPED_TRACE(date);
    ExpectLineFailure(std::string("\"p\" ") + date + " 1 h", "EConvertError", kDateError);
  }
}

TEST(HashItemLineReader, TimeFieldsOutOfRange) {
  for (const char* date : {"2001-01-01T24:00:00.000", "2001-01-01T00:60:00.000",
                           "2001-01-01T00:00:60.000", "2001-01-01T99:99:99"}) {
    SCOPED_TRACE(date);
    ExpectLineFailure(std::string("\"p\" ") + date + " 1 h", "EConvertError", kTimeError);
  }
}

TEST(HashItemLineReader, PathIsSetBeforeADateError) {
  HashItem item;
  ExpectFailure([&] { item.SetAsString("\"kept\" 2001-02-30T00:00:00.000 12 h"); }, "EConvertError",
                kDateError);
  EXPECT_EQ(item.Path(), "kept");
  EXPECT_EQ(item.Date(), 0.0);
  EXPECT_EQ(item.Size(), -1);
  EXPECT_EQ(item.Hash(), "");
}

TEST(HashItemLineReader, MalformedLines) {
  const char* const lines[] = {
      "",
      "   ",
      "\"p\" 2001-01-01T00:00:00.1 1 h",      // one millisecond digit
      "\"p\" 2001-01-01T00:00:00.12 1 h",     // two
      "\"p\" 2001-01-01T00:00:00.1234 1 h",   // four
      "\"\" 1 h",                             // empty path
      "\"a\"b\" 1 h",                         // quote inside the path
      "\"a\"\"b\" 1 h",                       // even a doubled one
      "\"p\" 2001-01-01T00:00:00.000 1",      // no hash
      "\"p\" 1",
      "\"p\" 1 h extra",                      // text after the hash
      "\"p\" 1 h!",
      "\"p 1 h",                              // no closing quote
      "p 1 h",                                // no quotes
      "\"p\"1 h",                             // no blank after the path
      "\"p\" 2001-01-01T00:00:00.0001 h",     // no blank after the date
      "\"p\" 2001-1-01T00:00:00.000 1 h",
      "\"p\" 1.5 h",
      "\"p\" +1 h",
      "\"p\" 1 h\xC3\xA9",                    // only Base64 letters
  };
  for (const char* line : lines) {
    SCOPED_TRACE(line);
    ExpectLineFailure(line, "EHashItemError", kInvalidLine);
  }
}

TEST(HashItemLineReader, FailedMatchLeavesTheEntryCleared) {
  HashItem other;
  HashItem item;
  item.SetBasePath(std::make_shared<const std::string>("/base/"));
  Fill(item, "old", Date(2001, 1, 1), 99, "old");
  item.SetState(hsCopied);
  item.SetRelated(&other);
  ExpectFailure([&] { item.SetAsString("not a line"); }, "EHashItemError", kInvalidLine);
  EXPECT_EQ(item.BasePath(), "");
  EXPECT_EQ(item.Path(), "");
  EXPECT_EQ(item.Date(), 0.0);
  EXPECT_EQ(item.Size(), -1);
  EXPECT_EQ(item.Hash(), "");
  EXPECT_EQ(item.State(), hsOK);
  EXPECT_EQ(item.Related(), nullptr);
}

TEST(HashItemLineReader, SizeRange) {
  HashItem item;
  item.SetAsString("\"p\" 9223372036854775807 h");
  EXPECT_EQ(item.Size(), std::numeric_limits<int64_t>::max());
  item.SetAsString("\"p\" -9223372036854775808 h");
  EXPECT_EQ(item.Size(), std::numeric_limits<int64_t>::min());
  item.SetAsString("\"p\" -0 h");
  EXPECT_EQ(item.Size(), 0);
  item.SetAsString("\"p\" 007 h");
  EXPECT_EQ(item.Size(), 7);

  for (const char* size : {"9223372036854775808", "-9223372036854775809", "99999999999999999999"}) {
    SCOPED_TRACE(size);
    ExpectFailure([&] { item.SetAsString(std::string("\"kept\" 2001-02-03T00:00:00.000 ") + size + " h"); },
                  "EConvertError", std::string("''") + size + "'' is not a valid integer value");
    EXPECT_EQ(item.Path(), "kept");
    EXPECT_EQ(item.Date(), EncodeDate(2001, 2, 3));
    EXPECT_EQ(item.Hash(), "");
  }
}

TEST(HashItemLineReader, FailuresAreConvertErrors) {
  HashItem item;
  EXPECT_THROW(item.SetAsString("bad"), EHashItemError);
  EXPECT_THROW(item.SetAsString("bad"), EConvertError);
  // Date errors are not line errors, so a loader can tell them apart.
  try {
    item.SetAsString("\"p\" 2001-13-01T00:00:00.000 1 h");
    ADD_FAILURE();
  } catch (const EHashItemError&) {
    ADD_FAILURE() << "a date error must not be an EHashItemError";
  } catch (const EConvertError&) {
  }
}

TEST(HashItemLineReader, AllocatesOnlyTheEntrysOwnStrings) {
  HashItem warm_up;
  warm_up.SetAsString("\"warm\" 1 h");  // the pattern is compiled once, on first use

  const std::string typical = "\"some directory\\sub directory\\file name.dat\"" + std::string(36, ' ') +
                              " 2013-05-06T07:08:09.010     123456 " + kHash;
  {
    HashItem item;
    AllocationCounter counter;
    item.SetAsString(typical);
    const int allocations = counter.Stop();
    EXPECT_LE(allocations, 2);
    EXPECT_EQ(item.Hash(), kHash);
  }
  {
    HashItem item;
    AllocationCounter counter;
    item.SetAsString("\"a.txt\" 2013-05-06T07:08:09.010 12 abc");
    const int allocations = counter.Stop();
    EXPECT_EQ(allocations, 0);
    EXPECT_EQ(item.Path(), "a.txt");
  }
  {
    HashItem item;
    item.SetAsString(typical);
    AllocationCounter counter;
    item.SetAsString(typical);  // capacity is reused
    const int allocations = counter.Stop();
    EXPECT_EQ(allocations, 0);
  }
}

// ---------------------------------------------------------------- split by hand

// Where the hand takes a line, the pattern must take it too, with the same
// groups at the same places.
void ExpectSplitAsThePatternDoes(std::string_view line) {
  const bool valid = IsValidUtf8(line);
  HashLineFields by_hand;
  if (!SplitHashLine(line, valid, by_hand)) return;
  HashLineFields by_pattern;
  ASSERT_TRUE(MatchHashLine(line, valid, by_pattern)) << line;
  EXPECT_EQ(by_hand.has_date, by_pattern.has_date) << line;
  const auto groups = [&line](const HashLineFields& f) {
    std::vector<std::pair<std::ptrdiff_t, std::size_t>> places;
    for (const std::string_view group : {f.path, f.year, f.month, f.day, f.hour, f.minute, f.second,
                                          f.millisecond, f.size, f.hash}) {
      places.emplace_back(group.empty() ? -1 : group.data() - line.data(), group.size());
    }
    return places;
  };
  EXPECT_EQ(groups(by_hand), groups(by_pattern)) << line;
}

TEST(HashLineSplit, TakesTheUsualFormsByHand) {
  const std::string lines[] = {
      "\"dir\\file.txt\"" + std::string(66, ' ') + " 2013-05-06T07:08:09.010     123456 " + kHash,
      "\"r\u00E9sum\u00E9 \U0001F600\" 2013-05-06t07:08:09 -1 " + std::string(kHash),
      "\t \"p\"\t\t7\tabc==\t \r",
      "\"a b\"  -0 z",
  };
  for (const std::string& line : lines) {
    HashLineFields fields;
    EXPECT_TRUE(SplitHashLine(line, true, fields)) << line;
    ExpectSplitAsThePatternDoes(line);
  }
}

TEST(HashLineSplit, AgreesWithThePatternOnEveryEdit) {
  const std::string lines[] = {
      "\"d\\f\" 2013-05-06T07:08:09.010 123456 " + std::string(kHash),
      " \"p\u00E9\" 2013-05-06T07:08:09 -12 ab ",
      "\"p\" 12 h",
  };
  // Blanks that \s does and does not stand for, line ends that $ may come
  // before, letters that fold into ASCII ones, and pieces of every field.
  using namespace std::string_view_literals;
  const std::string_view pieces[] = {""sv,  " "sv, "\t"sv, "\v"sv, "\f"sv, "\r"sv, "\n"sv, "\0"sv,
                                     "\xC2\xA0"sv, "\xC2\x85"sv, "\xE2\x80\xA8"sv, "\xE3\x80\x80"sv,
                                     "\""sv, "t"sv, "T"sv, "."sv, "-"sv, ":"sv, "0"sv, "9"sv, "="sv, "+"sv,
                                     "/"sv, "a"sv, "\xC3\xA9"sv, "\xE2\x84\xAA"sv, "\xC5\xBF"sv,
                                     "\x80"sv, "\xEF\xBB\xBF"sv, "!"sv, ".000"sv};
  for (const std::string& line : lines) {
    for (std::size_t at = 0; at <= line.size(); ++at) {
      for (const std::string_view piece : pieces) {
        const std::string before = line.substr(0, at);
        ExpectSplitAsThePatternDoes(before + std::string(piece) + line.substr(at));
        if (at < line.size()) ExpectSplitAsThePatternDoes(before + std::string(piece) + line.substr(at + 1));
      }
    }
  }
}

// ---------------------------------------------------------------- result lines

TEST(HashItemResultLines, EveryStateBriefAndDetailed) {
  const std::pair<HashState, std::string> states[] = {
      {hsOK, "MATCHED"}, {hsNew, "ADDED"}, {hsChanged, "CHANGED"}, {hsDeleted, "DELETED"},
      {hsCopied, "COPIED"}, {hsRenamed, "RENAMED"}};
  HashItem other;
  other.SetPath("other");
  for (const auto& [state, word] : states) {
    HashItem item;
    Fill(item, "dir\\f\"q", Date(2001, 2, 3), 10, kHash);
    item.SetState(state);
    EXPECT_EQ(item.MatchOutput(false), word + "\t\"dir\\f\"\"q\"");
    EXPECT_EQ(item.MatchOutput(true), word + "\t" + item.AsString());
    EXPECT_EQ(item.DupesOutput(false), item.MatchOutput(false));
    EXPECT_EQ(item.DupesOutput(true), item.MatchOutput(true));
    // A build's line has no state word, whatever the state.
    EXPECT_EQ(item.BuildOutput(false), "\"dir\\f\"\"q\"");
    EXPECT_EQ(item.BuildOutput(true), item.AsString());

    // Only copies and renames name the entry they came from.
    item.SetRelated(&other);
    const std::string from = (state == hsCopied || state == hsRenamed) ? "\tfrom\t\"other\"" : "";
    EXPECT_EQ(item.MatchOutput(false), word + "\t\"dir\\f\"\"q\"" + from);
    EXPECT_EQ(item.MatchOutput(true), word + "\t" + item.AsString() + from);
    EXPECT_EQ(item.DupesOutput(true), item.MatchOutput(true));
  }
}

TEST(HashItemResultLines, RelatedAlwaysAsQuotedPath) {
  HashItem old_item;
  Fill(old_item, "old \"x\".txt", Date(2001, 1, 1), 5, "h");
  HashItem item;
  Fill(item, "new.txt", 0, 5, "h");
  item.SetState(hsRenamed);
  item.SetRelated(&old_item);
  EXPECT_EQ(item.MatchOutput(true), "RENAMED\t" + item.AsString() + "\tfrom\t\"old \"\"x\"\".txt\"");
  item.SetState(hsCopied);
  EXPECT_EQ(item.MatchOutput(false), "COPIED\t\"new.txt\"\tfrom\t\"old \"\"x\"\".txt\"");
  item.SetRelated(nullptr);
  EXPECT_EQ(item.MatchOutput(false), "COPIED\t\"new.txt\"");
}

// ---------------------------------------------------------------- item basics

TEST(HashItemBasics, ClearAndDefaults) {
  HashItem item;
  EXPECT_EQ(item.Size(), -1);
  EXPECT_EQ(item.Date(), 0.0);
  EXPECT_EQ(item.State(), hsOK);
  EXPECT_EQ(item.BasePath(), "");
  HashItem other;
  item.SetBasePath(std::make_shared<const std::string>("/b/"));
  Fill(item, "p", 1.5, 3, "h");
  item.SetState(hsDeleted);
  item.SetRelated(&other);
  item.Clear();
  EXPECT_EQ(item.BasePath(), "");
  EXPECT_EQ(item.Path(), "");
  EXPECT_EQ(item.Size(), -1);
  EXPECT_EQ(item.Date(), 0.0);
  EXPECT_EQ(item.Hash(), "");
  EXPECT_EQ(item.State(), hsOK);
  EXPECT_EQ(item.Related(), nullptr);
}

TEST(HashItemBasics, AssignCopiesAllSevenFieldsAndSharesTheBase) {
  HashItem related;
  HashItem source;
  auto base = std::make_shared<const std::string>("/base/");
  source.SetBasePath(base);
  Fill(source, "dir\\f", 1234.5, 77, "hash");
  source.SetState(hsCopied);
  source.SetRelated(&related);
  HashItem copy;
  copy.Assign(source);
  EXPECT_EQ(copy.BasePath(), *base);
  // Base paths are kept once and shared, not copied into each entry.
  EXPECT_EQ(&copy.BasePath(), &source.BasePath());
  EXPECT_EQ(copy.Path(), "dir\\f");
  EXPECT_EQ(copy.Date(), 1234.5);
  EXPECT_EQ(copy.Size(), 77);
  EXPECT_EQ(copy.Hash(), "hash");
  EXPECT_EQ(copy.State(), hsCopied);
  EXPECT_EQ(copy.Related(), &related);
  EXPECT_EQ(copy.FileName(), "/base/dir/f");
  copy.Assign(copy);
  EXPECT_EQ(copy.Path(), "dir\\f");
}

TEST(HashItemBasics, FileNameJoinsWithoutSeparator) {
  HashItem item;
  item.SetPath("p");
  EXPECT_EQ(item.FileName(), "p");
  item.SetBasePath(std::make_shared<const std::string>("/x"));
  EXPECT_EQ(item.FileName(), "/xp");
}

// ---------------------------------------------------------------- CompareByPath

int ComparePathItems(const std::string& a, const std::string& b) {
  HashItem x;
  HashItem y;
  x.SetPath(a);
  y.SetPath(b);
  return CompareByPath(x, y);
}

TEST(CompareByPath, CaseVariantsAreUnequalAndAdjacent) {
  EXPECT_EQ(ComparePathItems("a.txt", "A.txt"), 1);
  EXPECT_EQ(ComparePathItems("A.txt", "a.txt"), -1);
  EXPECT_EQ(ComparePathItems("a.txt", "a.txt"), 0);
  std::vector<std::string> paths = {"a.txta", "B.txt", "a.txt", "_x", "A.txt", "a.tx", "A.TXT"};
  std::sort(paths.begin(), paths.end(),
            [](const std::string& a, const std::string& b) { return ComparePaths(a, b) < 0; });
  const std::vector<std::string> expected = {"_x", "a.tx", "A.TXT", "A.txt", "a.txt", "a.txta", "B.txt"};
  EXPECT_EQ(paths, expected);
}

TEST(CompareByPath, OrderIgnoresCase) {
  EXPECT_EQ(ComparePaths("a", "B"), -1);
  EXPECT_EQ(ComparePaths("B", "c"), -1);
  EXPECT_EQ(ComparePaths("a", "c"), -1);
  EXPECT_EQ(ComparePaths("C", "b"), 1);
  EXPECT_EQ(ComparePaths("dir\\Zeta", "dir\\alpha"), 1);
  EXPECT_EQ(ComparePaths("Dir\\b", "dir\\A"), 1);  // folding decides before the tie
  EXPECT_EQ(ComparePaths("a b", "a\\b"), -1);
  EXPECT_EQ(ComparePaths("a.b", "a\\b"), -1);
}

TEST(CompareByPath, ShorterPrefixFirst) {
  EXPECT_EQ(ComparePaths("abc", "abcd"), -1);
  EXPECT_EQ(ComparePaths("abcd", "abc"), 1);
  EXPECT_EQ(ComparePaths("ABC", "abcd"), -1);
  EXPECT_EQ(ComparePaths("abcd", "ABC"), 1);
  EXPECT_EQ(ComparePaths("", "a"), -1);
  EXPECT_EQ(ComparePaths("", ""), 0);
  EXPECT_EQ(ComparePaths("dir", "dir\\file"), -1);
}

TEST(CompareByPath, NonAsciiFolding) {
  EXPECT_EQ(ComparePaths("\u00E9", "\u00C9"), 1);  // é after É, but next to it
  EXPECT_EQ(ComparePaths("\u00C9", "\u00E9"), -1);
  EXPECT_EQ(ComparePaths("\u00C9a", "\u00E9b"), -1);
  EXPECT_EQ(ComparePaths("\u00E9a", "\u00C9b"), -1);
  EXPECT_EQ(ComparePaths("e", "\u00C9"), -1);
  EXPECT_EQ(ComparePaths("f", "\u00C9"), -1);
  EXPECT_EQ(ComparePaths("caf\u00C9\\x", "caf\u00E9\\Y"), -1);
  // Final sigma, small and capital sigma fold alike; code points break the tie.
  EXPECT_EQ(ComparePaths("\u03A3", "\u03C2"), -1);
  EXPECT_EQ(ComparePaths("\u03C2", "\u03C3"), -1);
  EXPECT_EQ(ComparePaths("\u03C3a", "\u03A3B"), -1);
  EXPECT_EQ(ComparePaths("\u03C2b", "\u03A3A"), 1);
  // Folding can lead into ASCII: the Kelvin sign is a k.
  EXPECT_EQ(ComparePaths("\u212Ab", "ka"), 1);
  EXPECT_EQ(ComparePaths("k", "\u212A"), -1);
  EXPECT_EQ(ComparePaths("\u212A", "l"), -1);
  // Outside the BMP too.
  EXPECT_EQ(ComparePaths("\U00010400x", "\U00010428Y"), -1);
  EXPECT_EQ(ComparePaths("\U00010428", "\U00010400"), 1);
  EXPECT_EQ(ComparePaths("\U0001F600", "\uFFFD"), 1);
  // Differences inside a multi-byte sequence after a long common prefix.
  EXPECT_EQ(ComparePaths("some\\long\\prefix\\\u20AC", "some\\long\\prefix\\\u20AD"), -1);
  EXPECT_EQ(ComparePaths("some\\long\\pre\u00E9fix\\\u00C9z", "some\\long\\pre\u00E9fix\\\u00E9a"), 1);
}

TEST(CompareByPath, LongAsciiRunsAfterACaseOnlyDifference) {
  EXPECT_EQ(ComparePaths("Dir\\IMG_00012345.JPG", "dir\\img_00012346.jpg"), -1);
  EXPECT_EQ(ComparePaths("Dir\\IMG_00012347.JPG", "dir\\img_00012346.jpg"), 1);
  EXPECT_EQ(ComparePaths("XABCDEFGHIJKLMNOPQRSTUVWXYZ", "xabcdefghijklmnopqrstuvwxyz"), -1);
  EXPECT_EQ(ComparePaths("xabcdefghijklmnopqrstuvwxyz", "XABCDEFGHIJKLMNOPQRSTUVWXYZ"), 1);
  // The characters next to the letters are not letters.
  EXPECT_EQ(ComparePaths("Q1234567@", "q1234567`"), -1);
  EXPECT_EQ(ComparePaths("Q1234567[", "q1234567{"), -1);
  EXPECT_EQ(ComparePaths("Q1234567_", "q1234567A"), -1);
  EXPECT_EQ(ComparePaths("Q1234567Z", "q1234567["), 1);
  EXPECT_EQ(ComparePaths("Q1234567a", "q1234567@"), 1);
  EXPECT_EQ(ComparePaths("Q12345678901234@", "q12345678901234A"), -1);
}

TEST(CompareByPath, OnlyIdenticalPathsAreEqual) {
  EXPECT_NE(ComparePaths("\u00E9", "\u00C9"), 0);
  EXPECT_NE(ComparePaths("k", "\u212A"), 0);
  EXPECT_NE(ComparePaths("Dir\\File", "dir\\file"), 0);
  EXPECT_EQ(ComparePaths("dir\\\u00E9\U0001F600", "dir\\\u00E9\U0001F600"), 0);
}

// The order written out plainly: fold every code point, compare the sequences,
// then compare the code points themselves.
int ReferenceCompare(const std::string& a, const std::string& b) {
  auto decode = [](const std::string& s) {
    std::u32string out;
    for (std::size_t i = 0; i < s.size();) out.push_back(DecodeUtf8(s, i));
    return out;
  };
  const std::u32string ca = decode(a);
  const std::u32string cb = decode(b);
  std::u32string fa = ca;
  std::u32string fb = cb;
  for (char32_t& c : fa) c = SimpleCaseFold(c);
  for (char32_t& c : fb) c = SimpleCaseFold(c);
  const int primary = fa.compare(fb);
  if (primary != 0) return primary < 0 ? -1 : 1;
  const int tie = ca.compare(cb);
  return tie < 0 ? -1 : (tie > 0 ? 1 : 0);
}

TEST(CompareByPath, AgreesWithThePlainDefinitionAndIsATotalOrder) {
  const char* const pieces[] = {"a", "A", "b", "\\", "_", "z", "\u00E9", "\u00C9", "\u03C2",
                                "\u03A3", "\u03C3", "\u212A", "k", "K", "\U00010400",
                                "\U00010428", "\u20AC", "abcdefgh", "ABCDEFGH", "\u017F", "s"};
  std::mt19937 random(12345);
  std::vector<std::string> paths;
  for (int n = 0; n < 400; ++n) {
    std::string path;
    const int length = static_cast<int>(random() % 8);
    for (int k = 0; k < length; ++k) path += pieces[random() % std::size(pieces)];
    paths.push_back(path);
  }
  for (const std::string& a : paths) {
    for (const std::string& b : paths) {
      const int c = ComparePaths(a, b);
      ASSERT_EQ(c, ReferenceCompare(a, b)) << a << " | " << b;
      ASSERT_EQ(c, -ComparePaths(b, a));
      ASSERT_EQ(c == 0, a == b);
      // Sort keys of either word agree with the comparison where they differ.
      const KeyWord word = FoldedPathKey(a) != FoldedPathKey(b) ? KeyWord::kFirst : KeyWord::kSecond;
      if (FoldedPathKey(a, word) != FoldedPathKey(b, word)) {
        ASSERT_EQ(FoldedPathKey(a, word) < FoldedPathKey(b, word), c < 0) << a << " | " << b;
      }
    }
  }
  std::sort(paths.begin(), paths.end(),
            [](const std::string& a, const std::string& b) { return ComparePaths(a, b) < 0; });
  for (std::size_t i = 1; i < paths.size(); ++i) {
    ASSERT_LE(ComparePaths(paths[i - 1], paths[i]), 0);
  }
}

// ---------------------------------------------------------------- CompareByHash

int CompareHashItems(const std::string& h1, int64_t s1, const std::string& h2, int64_t s2) {
  HashItem x;
  HashItem y;
  Fill(x, "p", 0, s1, h1);
  Fill(y, "q", 0, s2, h2);
  const int result = CompareByHash(x, y);
  EXPECT_EQ(result, CompareHashAndSize(h1, s1, h2, s2));
  return result;
}

TEST(CompareByHash, HashTextFirst) {
  EXPECT_EQ(CompareHashItems("abc", 1, "abd", 1), -1);
  EXPECT_EQ(CompareHashItems("abd", 1, "abc", 1), 1);
  // Hash text decides even when the sizes point the other way.
  EXPECT_EQ(CompareHashItems("abc", 100, "abd", 1), -1);
  EXPECT_EQ(CompareHashItems("ab", 100, "abc", 1), -1);  // a prefix sorts first
  EXPECT_EQ(CompareHashItems("abc", 1, "ab", 100), 1);
  EXPECT_EQ(CompareHashItems("", 5, "a", 5), -1);
  EXPECT_EQ(CompareHashItems("A", 5, "a", 5), -1);  // case matters
  EXPECT_EQ(CompareHashItems("\x80", 5, "z", 5), 1);  // bytes are unsigned
  EXPECT_EQ(CompareHashItems("+", 5, "/", 5), -1);
}

TEST(CompareByHash, DigestTextsAreKeptPackedAndOrderAsTexts) {
  // Digest texts with every character of the alphabet at every place, and
  // texts that are almost such (a last character that no digest ends in,
  // a character beyond the alphabet, no padding), which are kept as they are.
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::mt19937 random(31);
  std::vector<std::string> hashes;
  for (std::size_t n = 0; n < 400; ++n) {
    std::string digest(22, 'A');
    for (std::size_t i = 0; i < 21; ++i) digest[i] = alphabet[(n < 64 ? n + 5 * i : random()) % 64];
    digest[21] = "AQgw"[n % 4];
    hashes.push_back(digest + "==");
  }
  for (const char* almost : {"MTIzNDU2Nzg5MDEyMzQ1Nh==", "MTIzNDU2Nzg5MDEyMzQ1N-==",
                             "MTIzNDU2Nzg5MDEyMzQ1Ng=", "MTIzNDU2Nzg5MDEyMzQ1Ng===",
                             "MTIzNDU2Nzg5MDEyMzQ1NgAA", "MTIz", ""}) {
    hashes.push_back(almost);
  }
  std::vector<std::unique_ptr<HashItem>> items;
  for (std::size_t k = 0; k < hashes.size(); ++k) {
    items.push_back(std::make_unique<HashItem>());
    Fill(*items.back(), "p", 0, 5, hashes[k]);
    ASSERT_EQ(items.back()->Hash(), hashes[k]);
    EXPECT_EQ(items.back()->PackedHash() != nullptr, k < 400) << hashes[k];
  }
  for (std::size_t a = 0; a < hashes.size(); ++a) {
    for (std::size_t b = 0; b < hashes.size(); ++b) {
      const int c = CompareByHash(*items[a], *items[b]);
      ASSERT_EQ(c, CompareHashAndSize(hashes[a], 5, hashes[b], 5)) << hashes[a] << " | " << hashes[b];
      // Sort keys of either word agree with the comparison where they differ.
      const uint64_t keys_a[2] = {HashKey(*items[a]), HashKey(*items[a], KeyWord::kSecond)};
      const uint64_t keys_b[2] = {HashKey(*items[b]), HashKey(*items[b], KeyWord::kSecond)};
      ASSERT_EQ(keys_a[0], HashKey(hashes[a]));
      ASSERT_EQ(keys_a[1], HashKey(hashes[a], KeyWord::kSecond));
      const int word = keys_a[0] != keys_b[0] ? 0 : 1;
      if (keys_a[word] != keys_b[word]) {
        ASSERT_EQ(keys_a[word] < keys_b[word], c < 0);
      }
    }
  }
}

TEST(CompareByHash, ThenSizesAsSigned64Bit) {
  EXPECT_EQ(CompareHashItems("h", 5, "h", 5), 0);
  EXPECT_EQ(CompareHashItems("h", -1, "h", 0), -1);
  EXPECT_EQ(CompareHashItems("h", 0, "h", -1), 1);
  EXPECT_EQ(CompareHashItems("h", std::numeric_limits<int64_t>::min(), "h",
                             std::numeric_limits<int64_t>::max()),
            -1);
  EXPECT_EQ(CompareHashItems("h", std::numeric_limits<int64_t>::max(), "h",
                             std::numeric_limits<int64_t>::min()),
            1);
  EXPECT_EQ(CompareHashItems("h", 4294967296, "h", 4294967295), 1);
  EXPECT_EQ(CompareHashItems("", -1, "", -1), 0);
}

}  // namespace
}  // namespace hv
