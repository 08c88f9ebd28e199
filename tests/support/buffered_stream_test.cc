#include "support/buffered_stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "support/exceptions.h"
#include "support/memory_stream.h"

namespace hv {
namespace {

// Where each inner call happened and how many bytes it moved.
struct Call {
  int64_t position;
  int64_t count;
  bool operator==(const Call&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Call& call) {
  return out << call.count << "@" << call.position;
}

// A memory stream that records what reaches it and fails on demand.
class RecordingStream : public MemoryStream {
 public:
  explicit RecordingStream(std::string data = {}, std::shared_ptr<std::vector<std::string>> log = nullptr,
                           bool pipe = false)
      : MemoryStream(std::move(data), pipe), log_(std::move(log)) {}
  ~RecordingStream() override {
    if (log_ != nullptr) log_->push_back("destroyed");
  }

  int64_t Read(void* buffer, int64_t count) override {
    if (fail_reads) throw EReadError(kStreamReadError);
    const int64_t position = Position();
    const int64_t n = MemoryStream::Read(buffer, count);
    reads.push_back({position, n});
    return n;
  }
  int64_t Write(const void* buffer, int64_t count) override {
    if (fail_writes) return 0;
    writes.push_back({Position(), count});
    if (log_ != nullptr) log_->push_back("write " + std::to_string(count));
    return MemoryStream::Write(buffer, count);
  }
  void Close() override {
    ++close_calls;
    if (fail_close) throw EWriteError(kStreamWriteError);
  }

  std::vector<Call> reads;
  std::vector<Call> writes;
  bool fail_reads = false;
  bool fail_writes = false;
  bool fail_close = false;
  int close_calls = 0;

 private:
  std::shared_ptr<std::vector<std::string>> log_;
};

std::string Pattern(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return data;
}

TEST(BufferedStreamTest, ReadingOneByteAtATimeReadsWholeBuffers) {
  const std::string data = Pattern(40000);
  RecordingStream inner(data);
  BufferedStream stream(&inner);
  std::string got;
  char byte;
  while (stream.Read(&byte, 1) == 1) got.push_back(byte);
  EXPECT_TRUE(got == data);
  EXPECT_EQ(inner.reads, (std::vector<Call>{{0, 16384}, {16384, 16384}, {32768, 7232}, {40000, 0}}));
  EXPECT_TRUE(inner.writes.empty());
}

TEST(BufferedStreamTest, ReadOfBufferSizeGoesThroughTheBuffer) {
  const std::string data = Pattern(40000);
  RecordingStream inner(data);
  BufferedStream stream(&inner);
  std::string got(16384, '\0');
  ASSERT_EQ(stream.Read(got.data(), 16384), 16384);
  EXPECT_TRUE(got == data.substr(0, 16384));
  // Back to the start: served from the buffer.
  stream.SetPosition(100);
  char byte;
  ASSERT_EQ(stream.Read(&byte, 1), 1);
  EXPECT_EQ(byte, data[100]);
  EXPECT_EQ(inner.reads, (std::vector<Call>{{0, 16384}}));
}

TEST(BufferedStreamTest, ReadLargerThanTheBufferGoesStraightThrough) {
  const std::string data = Pattern(40000);
  RecordingStream inner(data);
  BufferedStream stream(&inner);
  std::string got(16385, '\0');
  ASSERT_EQ(stream.Read(got.data(), 16385), 16385);
  EXPECT_TRUE(got == data.substr(0, 16385));
  EXPECT_EQ(stream.Position(), 16385);
  // The buffer stayed empty, so going back reads the inner stream again.
  stream.SetPosition(0);
  char byte;
  ASSERT_EQ(stream.Read(&byte, 1), 1);
  EXPECT_EQ(inner.reads, (std::vector<Call>{{0, 16385}, {0, 16384}}));
}

TEST(BufferedStreamTest, ReadAcrossTheBufferEdgeJoinsBothParts) {
  const std::string data = Pattern(40000);
  RecordingStream inner(data);
  BufferedStream stream(&inner);
  stream.SetPosition(16000);
  std::string got(1000, '\0');
  ASSERT_EQ(stream.Read(got.data(), 1000), 1000);
  EXPECT_EQ(got, data.substr(16000, 1000));
  ASSERT_EQ(stream.Read(got.data(), 1000), 1000);
  EXPECT_EQ(got, data.substr(17000, 1000));
  EXPECT_EQ(inner.reads, (std::vector<Call>{{16000, 16384}}));
  // A read that runs past the buffer's end takes its rest from a new buffer.
  stream.SetPosition(32000);
  ASSERT_EQ(stream.Read(got.data(), 1000), 1000);
  EXPECT_EQ(got, data.substr(32000, 1000));
  EXPECT_EQ(inner.reads, (std::vector<Call>{{16000, 16384}, {32384, 7616}}));
  // At the end the count falls short.
  stream.SetPosition(39500);
  EXPECT_EQ(stream.Read(got.data(), 1000), 500);
  EXPECT_EQ(stream.Read(got.data(), 1000), 0);
}

TEST(BufferedStreamTest, SmallWriteStaysInTheBufferUntilFlush) {
  RecordingStream inner;
  BufferedStream stream(&inner);
  ASSERT_EQ(stream.Write("0123456789", 10), 10);
  EXPECT_TRUE(inner.reads.empty());
  EXPECT_TRUE(inner.writes.empty());
  EXPECT_EQ(stream.Size(), 0);
  EXPECT_EQ(stream.Position(), 10);
  stream.Flush();
  EXPECT_EQ(inner.Data(), "0123456789");
  EXPECT_EQ(stream.Size(), 10);
  // Flush keeps the buffer loaded: reading it back costs nothing.
  stream.SetPosition(0);
  char got[10];
  ASSERT_EQ(stream.Read(got, 10), 10);
  EXPECT_EQ(std::string(got, 10), "0123456789");
  EXPECT_TRUE(inner.reads.empty());
  EXPECT_EQ(inner.writes, (std::vector<Call>{{0, 10}}));
}

TEST(BufferedStreamTest, ReadAfterWriteInTheSameBufferComesFromMemory) {
  const std::string data = Pattern(1000);
  RecordingStream inner(data);
  BufferedStream stream(&inner);
  char byte;
  ASSERT_EQ(stream.Read(&byte, 1), 1);
  stream.SetPosition(500);
  ASSERT_EQ(stream.Write("abc", 3), 3);
  stream.SetPosition(499);
  char got[5];
  ASSERT_EQ(stream.Read(got, 5), 5);
  EXPECT_EQ(std::string(got, 5), data.substr(499, 1) + "abc" + data.substr(503, 1));
  EXPECT_EQ(inner.reads, (std::vector<Call>{{0, 1000}}));
  EXPECT_TRUE(inner.writes.empty());
}

TEST(BufferedStreamTest, WriteAfterSeekPastTheEndWritesOnlyItsBytes) {
  RecordingStream inner;
  BufferedStream stream(&inner);
  EXPECT_EQ(stream.Seek(100, SeekOrigin::soBeginning), 100);
  ASSERT_EQ(stream.Write("hello", 5), 5);
  stream.Flush();
  EXPECT_EQ(inner.writes, (std::vector<Call>{{100, 5}}));
  EXPECT_EQ(inner.Data(), std::string(100, '\0') + "hello");
}

TEST(BufferedStreamTest, WriteBehindTheValidBytesRefillsFirst) {
  // The buffer holds bytes 0 to 9; a write at 20 must not send the unloaded
  // bytes 10 to 19 to the inner stream.
  const std::string data = Pattern(100);
  RecordingStream inner(data.substr(0, 10));
  BufferedStream stream(&inner);
  char got[10];
  ASSERT_EQ(stream.Read(got, 10), 10);
  stream.SetPosition(20);
  ASSERT_EQ(stream.Write("xy", 2), 2);
  stream.Close();
  EXPECT_EQ(inner.writes, (std::vector<Call>{{20, 2}}));
  EXPECT_EQ(inner.Data(), data.substr(0, 10) + std::string(10, '\0') + "xy");
}

TEST(BufferedStreamTest, WritesAcrossTheBufferEdgeSplit) {
  RecordingStream inner;
  BufferedStream stream(&inner);
  const std::string data = Pattern(20000);
  for (size_t offset = 0; offset < data.size(); offset += 1000) {
    ASSERT_EQ(stream.Write(data.data() + offset, 1000), 1000);
  }
  // The first buffer went out when it was full, the rest waits for Close.
  EXPECT_EQ(inner.writes, (std::vector<Call>{{0, 16384}}));
  stream.Close();
  EXPECT_EQ(inner.writes, (std::vector<Call>{{0, 16384}, {16384, 3616}}));
  EXPECT_TRUE(inner.Data() == data);
}

TEST(BufferedStreamTest, WriteThatFitsBehindTheBufferDataFillsItFirst) {
  RecordingStream inner;
  BufferedStream stream(&inner);
  const std::string data = Pattern(16385);
  ASSERT_EQ(stream.Write("ab", 2), 2);
  ASSERT_EQ(stream.Write(data.data(), 16385), 16385);
  // The buffer is filled up to its capacity and written back; the three
  // bytes left start a new buffer.
  EXPECT_EQ(inner.writes, (std::vector<Call>{{0, 16384}}));
  EXPECT_EQ(stream.Position(), 16387);
  stream.Close();
  EXPECT_EQ(inner.writes, (std::vector<Call>{{0, 16384}, {16384, 3}}));
  EXPECT_TRUE(inner.Data() == "ab" + data);
}

TEST(BufferedStreamTest, WriteLargerThanTheBufferGoesStraightThrough) {
  RecordingStream inner;
  BufferedStream stream(&inner);
  const std::string data = Pattern(16385);
  stream.SetPosition(100);
  ASSERT_EQ(stream.Write(data.data(), 16385), 16385);
  EXPECT_EQ(inner.writes, (std::vector<Call>{{100, 16385}}));
  EXPECT_TRUE(inner.reads.empty());
  EXPECT_EQ(stream.Position(), 16485);
  // A write of exactly the buffer size goes through the buffer.
  stream.SetPosition(50000);
  ASSERT_EQ(stream.Write(data.data(), 16384), 16384);
  EXPECT_EQ(inner.writes.size(), 1u);
  stream.Close();
  EXPECT_EQ(inner.writes, (std::vector<Call>{{100, 16385}, {50000, 16384}}));
  EXPECT_TRUE(inner.Data().substr(100, 16385) == data);
}

TEST(BufferedStreamTest, OverwriteInsideExistingDataKeepsTheRest) {
  const std::string data = Pattern(40000);
  RecordingStream inner(data);
  BufferedStream stream(&inner);
  stream.SetPosition(16000);
  const std::string patch(1000, 'x');
  ASSERT_EQ(stream.Write(patch.data(), 1000), 1000);
  stream.Close();
  std::string expected = data;
  expected.replace(16000, 1000, patch);
  EXPECT_TRUE(inner.Data() == expected);
  EXPECT_EQ(inner.writes, (std::vector<Call>{{16000, 16384}}));
}

TEST(BufferedStreamTest, SeekKeepsTheBufferAndTheInnerPosition) {
  RecordingStream inner(Pattern(10));
  BufferedStream stream(&inner);
  EXPECT_EQ(stream.Seek(-2, SeekOrigin::soEnd), 8);
  EXPECT_EQ(stream.Seek(1, SeekOrigin::soCurrent), 9);
  EXPECT_EQ(stream.Seek(3, SeekOrigin::soBeginning), 3);
  EXPECT_EQ(inner.Position(), 0);
  EXPECT_THROW(stream.Seek(-4, SeekOrigin::soCurrent), EStreamError);
  EXPECT_EQ(stream.Position(), 3);
  EXPECT_EQ(stream.Size(), 10);
  EXPECT_EQ(stream.Position(), 3);
}

TEST(BufferedStreamTest, OverAPipeWritesGoOutInOrderWithoutReadsOrSeeks) {
  RecordingStream inner({}, nullptr, true);
  BufferedStream stream(&inner);
  const std::string data = Pattern(40000);
  // Lines flushed one by one (a log kept open), then pieces across the
  // buffer's edge, one larger than the buffer, and the rest.
  for (const auto& [from, count, flush] : {std::tuple{0, 10, true}, {10, 20, true}, {30, 16380, false},
                                           {16410, 20000, false}, {36410, 3590, false}}) {
    ASSERT_EQ(stream.Write(data.data() + from, count), count);
    if (flush) stream.Flush();
  }
  stream.Close();
  EXPECT_TRUE(inner.Data() == data);
  EXPECT_TRUE(inner.reads.empty());
  EXPECT_EQ(inner.writes, (std::vector<Call>{{0, 10}, {10, 20}, {30, 16384}, {16414, 19996}, {36410, 3590}}));
  EXPECT_EQ(stream.Size(), -1);
  EXPECT_THROW(stream.Seek(0, SeekOrigin::soEnd), EStreamError);
}

TEST(BufferedStreamTest, PositionsBeyondFourGigabytes) {
  RecordingStream inner;
  BufferedStream stream(&inner);
  const int64_t far = (int64_t{1} << 33) + 5;
  EXPECT_EQ(stream.Seek(far, SeekOrigin::soBeginning), far);
  EXPECT_EQ(stream.Position(), far);
  EXPECT_EQ(stream.Seek(-far, SeekOrigin::soCurrent), 0);
}

TEST(BufferedStreamTest, SetSizeWritesBackAndMovesToTheInnerPosition) {
  RecordingStream inner(Pattern(100));
  BufferedStream stream(&inner);
  stream.SetPosition(10);
  ASSERT_EQ(stream.Write("abc", 3), 3);
  stream.SetSize(50);
  EXPECT_EQ(inner.Data().size(), 50u);
  EXPECT_EQ(inner.Data().substr(10, 3), "abc");
  EXPECT_EQ(stream.Size(), 50);
  EXPECT_EQ(stream.Position(), inner.Position());
}

TEST(BufferedStreamTest, CloseWritesTheLastBufferAndClosesAnOwnedStream) {
  auto owned = std::make_unique<RecordingStream>();
  RecordingStream* inner = owned.get();
  BufferedStream stream(std::move(owned));
  ASSERT_EQ(stream.Write("abc", 3), 3);
  stream.Close();
  EXPECT_EQ(inner->Data(), "abc");
  EXPECT_EQ(inner->close_calls, 1);
  stream.Close();
  EXPECT_EQ(inner->close_calls, 1);
  char byte;
  EXPECT_THROW(stream.Read(&byte, 1), EReadError);
  EXPECT_THROW(stream.Write("x", 1), EWriteError);
}

TEST(BufferedStreamTest, CloseLeavesABorrowedStreamOpen) {
  RecordingStream inner;
  {
    BufferedStream stream(&inner);
    ASSERT_EQ(stream.Write("abc", 3), 3);
    stream.Close();
  }
  EXPECT_EQ(inner.Data(), "abc");
  EXPECT_EQ(inner.close_calls, 0);
}

TEST(BufferedStreamTest, CloseThrowsWhenTheLastWriteFails) {
  auto owned = std::make_unique<RecordingStream>();
  RecordingStream* inner = owned.get();
  BufferedStream stream(std::move(owned));
  ASSERT_EQ(stream.Write("abc", 3), 3);
  inner->fail_writes = true;
  try {
    stream.Close();
    FAIL() << "no exception";
  } catch (const EWriteError& e) {
    EXPECT_STREQ(e.what(), "Stream write error");
  }
  // The inner stream is closed all the same, and a second Close is quiet.
  EXPECT_EQ(inner->close_calls, 1);
  stream.Close();
}

TEST(BufferedStreamTest, CloseReportsTheInnerCloseFailure) {
  auto owned = std::make_unique<RecordingStream>();
  owned->fail_close = true;
  BufferedStream stream(std::move(owned));
  ASSERT_EQ(stream.Write("abc", 3), 3);
  EXPECT_THROW(stream.Close(), EWriteError);
}

TEST(BufferedStreamTest, DestructionWithoutCloseWritesBackAndNeverThrows) {
  auto log = std::make_shared<std::vector<std::string>>();
  {
    BufferedStream stream(std::make_unique<RecordingStream>(std::string(), log));
    ASSERT_EQ(stream.Write("abc", 3), 3);
  }
  EXPECT_EQ(*log, (std::vector<std::string>{"write 3", "destroyed"}));

  RecordingStream failing;
  {
    BufferedStream stream(&failing);
    ASSERT_EQ(stream.Write("abc", 3), 3);
    failing.fail_writes = true;
  }
  EXPECT_EQ(failing.Data(), "");
}

TEST(BufferedStreamTest, FailuresOfTheInnerStreamReachTheCaller) {
  RecordingStream inner(Pattern(100));
  BufferedStream stream(&inner);
  inner.fail_reads = true;
  char byte;
  EXPECT_THROW(stream.Read(&byte, 1), EReadError);
  inner.fail_reads = false;
  ASSERT_EQ(stream.Write("abc", 3), 3);
  inner.fail_writes = true;
  // The miss writes the dirty buffer back first, and that fails.
  stream.SetPosition(50000);
  EXPECT_THROW(stream.Read(&byte, 1), EWriteError);
  EXPECT_THROW(stream.Flush(), EWriteError);
  inner.fail_writes = false;
  stream.Flush();
  EXPECT_EQ(inner.Data().substr(0, 3), "abc");
}

TEST(BufferedStreamTest, AgreesWithAPlainStreamUnderRandomUse) {
  std::mt19937 random(12345);
  for (const int64_t buffer_size : {1, 7, 16, 64}) {
    RecordingStream inner(Pattern(300));
    MemoryStream model(Pattern(300));
    {
      BufferedStream stream(&inner, buffer_size);
      for (int step = 0; step < 3000; ++step) {
        const int64_t size = model.Size();
        const int op = static_cast<int>(random() % 3);
        const int64_t count = static_cast<int64_t>(random() % (buffer_size * 3 + 2));
        if (op == 0) {
          const int64_t position = static_cast<int64_t>(random() % static_cast<uint64_t>(size + 20));
          ASSERT_EQ(stream.Seek(position, SeekOrigin::soBeginning),
                    model.Seek(position, SeekOrigin::soBeginning));
        } else if (op == 1) {
          std::string got(static_cast<size_t>(count), '\0');
          std::string want(static_cast<size_t>(count), '\0');
          const int64_t n = stream.Read(got.data(), count);
          ASSERT_EQ(n, model.Read(want.data(), count)) << "step " << step;
          ASSERT_EQ(got, want) << "step " << step;
        } else {
          std::string piece(static_cast<size_t>(count), '\0');
          for (char& ch : piece) ch = static_cast<char>('a' + random() % 26);
          ASSERT_EQ(stream.Write(piece.data(), count), model.Write(piece.data(), count));
        }
        ASSERT_EQ(stream.Position(), model.Position());
      }
      stream.Close();
    }
    EXPECT_EQ(inner.Data(), model.Data()) << "buffer size " << buffer_size;
  }
}

}  // namespace
}  // namespace hv
