// Byte streams over a scripted transport: pushback, the ring, writes, destruction, waiting,
// records and C strings, copying between streams and the file streams.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "aStream.h"

// Allocation failures on demand: while armed, every nothrow allocation answers null. Only the
// library's own allocations use the nothrow forms.
#include "support.h"

namespace {
std::atomic<bool> gRefuseAllocations{false};
}  // namespace

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (gRefuseAllocations.load()) return nullptr;
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  if (gRefuseAllocations.load()) return nullptr;
  try {
    return ::operator new[](size);
  } catch (...) {
    return nullptr;
  }
}

namespace {

// Refuses allocations for the length of a scope.
struct MemoryShortage {
  MemoryShortage() { gRefuseAllocations.store(true); }
  ~MemoryShortage() { gRefuseAllocations.store(false); }
  MemoryShortage(const MemoryShortage&) = delete;
  MemoryShortage& operator=(const MemoryShortage&) = delete;
};

// One answer of the scripted get.
struct GetStep {
  aErr result;
  uint8_t byte;
};

// A transport that answers get from a script and records every put and write.
struct FakeTransport {
  enum class Kind { Put, Write };
  struct Output {
    Kind kind;
    std::vector<uint8_t> bytes;
  };

  std::deque<GetStep> script;
  aErr whenScriptEnds = aErrNotReady;
  int getCalls = 0;
  std::vector<Output> outputs;
  size_t putsBeforeFailure = SIZE_MAX;  // the put after this many fails
  aErr putFailure = aErrIO;
  aErr writeResult = aErrNone;
  int deleteCalls = 0;
  aErr deleteResult = aErrNone;
  int waitCalls = 0;
  uint32_t lastWaitMs = 0;
  aErr waitResult = aErrTimeout;

  void Bytes(const std::string& text) {
    for (char c : text) script.push_back({aErrNone, static_cast<uint8_t>(c)});
  }
  void Bytes(const std::vector<uint8_t>& bytes) {
    for (uint8_t b : bytes) script.push_back({aErrNone, b});
  }
  void Then(aErr result) { script.push_back({result, 0}); }

  // Everything put or written, in order.
  std::string Sent() const {
    std::string all;
    for (const Output& o : outputs) all.append(o.bytes.begin(), o.bytes.end());
    return all;
  }
  size_t PutCount() const {
    size_t n = 0;
    for (const Output& o : outputs) n += o.kind == Kind::Put ? 1 : 0;
    return n;
  }

  static aErr Get(uint8_t* byte, void* reference) {
    FakeTransport* t = static_cast<FakeTransport*>(reference);
    ++t->getCalls;
    if (t->script.empty()) return t->whenScriptEnds;
    const GetStep step = t->script.front();
    t->script.pop_front();
    if (step.result == aErrNone) *byte = step.byte;
    return step.result;
  }
  static aErr Put(const uint8_t* byte, void* reference) {
    FakeTransport* t = static_cast<FakeTransport*>(reference);
    if (t->PutCount() >= t->putsBeforeFailure) return t->putFailure;
    t->outputs.push_back({Kind::Put, {*byte}});
    return aErrNone;
  }
  static aErr Write(const uint8_t* data, size_t length, void* reference) {
    FakeTransport* t = static_cast<FakeTransport*>(reference);
    t->outputs.push_back({Kind::Write, std::vector<uint8_t>(data, data + length)});
    return t->writeResult;
  }
  static aErr Delete(void* reference) {
    FakeTransport* t = static_cast<FakeTransport*>(reference);
    ++t->deleteCalls;
    return t->deleteResult;
  }
  static aErr Wait(uint32_t timeoutMs, void* reference) {
    FakeTransport* t = static_cast<FakeTransport*>(reference);
    ++t->waitCalls;
    t->lastWaitMs = timeoutMs;
    return t->waitResult;
  }
};

// A stream over a fake transport, destroyed with the test.
class StreamTest : public ::testing::Test {
 protected:
  void SetUp() override { stream_ = Make(true, true, true, true); }
  void TearDown() override {
    if (stream_ != nullptr) aStream_Destroy(&stream_);
  }

  aStream* Make(bool get, bool put, bool write, bool del) {
    return aStream_Create(get ? FakeTransport::Get : nullptr, put ? FakeTransport::Put : nullptr,
                          write ? FakeTransport::Write : nullptr,
                          del ? FakeTransport::Delete : nullptr, &fake_);
  }
  void Remake(bool get, bool put, bool write, bool del) {
    aStream_Destroy(&stream_);
    fake_ = FakeTransport{};
    stream_ = Make(get, put, write, del);
    ASSERT_NE(stream_, nullptr);
  }

  std::string Read(size_t n, aErr expected = aErrNone) {
    std::vector<uint8_t> buffer(n, 0);
    EXPECT_EQ(aStream_Read(stream_, buffer.data(), n), expected);
    return std::string(buffer.begin(), buffer.end());
  }

  FakeTransport fake_;
  aStream* stream_ = nullptr;
};

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
  return bytes;
}

const uint8_t* U8(const char* text) { return reinterpret_cast<const uint8_t*>(text); }

TEST_F(StreamTest, CreateStartsWithEmptyPushbackAndCheckWord) {
  ASSERT_NE(stream_, nullptr);
  EXPECT_TRUE(aVALIDSTREAM(stream_));
  EXPECT_EQ(stream_->buffer, nullptr);
  EXPECT_EQ(stream_->count, 0u);
  EXPECT_EQ(stream_->procRef, &fake_);
  EXPECT_EQ(stream_->waitProc, nullptr);
}

TEST_F(StreamTest, CreateWithoutMemoryTakesNoReference) {
  aStream* made = nullptr;
  {
    MemoryShortage shortage;
    made = Make(true, true, true, true);
  }
  EXPECT_EQ(made, nullptr);
  EXPECT_EQ(fake_.deleteCalls, 0);
}

TEST_F(StreamTest, InvalidStreamsAreRefusedEverywhere) {
  aStream forged = *stream_;
  forged.check = 0;
  uint8_t bytes[4] = {1, 2, 3, 4};
  char text[8] = {};
  size_t count = 0;
  for (aStream* bad : {static_cast<aStream*>(nullptr), &forged}) {
    SCOPED_TRACE(bad == nullptr ? "null stream" : "wrong check word");
    EXPECT_EQ(aStream_Read(bad, bytes, 2), aErrParam);
    EXPECT_EQ(aStream_Write(bad, bytes, 2), aErrParam);
    EXPECT_EQ(aStream_SetWaitProc(bad, FakeTransport::Wait), aErrParam);
    EXPECT_EQ(aStream_WaitForInput(bad, 5), aErrParam);
    EXPECT_EQ(aStream_ReadRecord(bad, bytes, &count, 4, U8("\n"), 1), aErrParam);
    EXPECT_EQ(aStream_WriteRecord(bad, bytes, 2, U8("\n"), 1), aErrParam);
    EXPECT_EQ(aStream_ReadCString(bad, text, sizeof text), aErrParam);
    EXPECT_EQ(aStream_WriteCString(bad, "ab"), aErrParam);
    EXPECT_EQ(aStream_ReadCStringRecord(bad, text, sizeof text, "\n"), aErrParam);
    EXPECT_EQ(aStream_WriteCStringRecord(bad, "ab", "\n"), aErrParam);
    EXPECT_EQ(aStream_Flush(bad, stream_), aErrParam);
    EXPECT_EQ(aStream_Flush(stream_, bad), aErrParam);
  }
  EXPECT_EQ(fake_.getCalls, 0);
  EXPECT_TRUE(fake_.outputs.empty());
}

TEST_F(StreamTest, ShortReadIsPushedBackAndSeenAgain) {
  fake_.Bytes("ab");
  fake_.Then(aErrNotReady);
  std::vector<uint8_t> buffer(4, 'x');
  EXPECT_EQ(aStream_Read(stream_, buffer.data(), 4), aErrNotReady);
  EXPECT_EQ(std::string(buffer.begin(), buffer.end()), "xxxx");
  EXPECT_EQ(stream_->count, 2u);

  fake_.Bytes("cd");
  EXPECT_EQ(Read(4), "abcd");
  EXPECT_EQ(fake_.getCalls, 5);  // a, b, not ready, c, d
  EXPECT_EQ(stream_->count, 0u);
}

TEST_F(StreamTest, ReadOfNothingCallsNothing) {
  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(stream_, &byte, 0), aErrNone);
  EXPECT_EQ(fake_.getCalls, 0);
  Remake(false, true, true, true);
  EXPECT_EQ(aStream_Read(stream_, &byte, 0), aErrNone);
}

TEST_F(StreamTest, ReadRefusals) {
  EXPECT_EQ(aStream_Read(stream_, nullptr, 1), aErrParam);
  Remake(false, true, true, true);
  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(stream_, &byte, 1), aErrMode);
}

TEST_F(StreamTest, EndOfInputDeliversWhatCameAndOtherErrorsDropIt) {
  fake_.Bytes("ab");
  fake_.Then(aErrEOF);
  EXPECT_EQ(Read(4, aErrEOF).substr(0, 2), "ab");

  fake_.Bytes("cd");
  fake_.Then(aErrIO);
  fake_.Bytes("ef");
  std::vector<uint8_t> buffer(4, 'x');
  EXPECT_EQ(aStream_Read(stream_, buffer.data(), 4), aErrIO);
  EXPECT_EQ(std::string(buffer.begin(), buffer.end()), "xxxx");
  EXPECT_EQ(stream_->count, 0u);
  EXPECT_EQ(Read(2), "ef");
}

TEST_F(StreamTest, PushbackOf511BytesFitsTheFirstRing) {
  const std::vector<uint8_t> bytes = Pattern(511, 3);
  fake_.Bytes(bytes);
  fake_.Then(aErrNotReady);
  std::vector<uint8_t> buffer(600);
  EXPECT_EQ(aStream_Read(stream_, buffer.data(), buffer.size()), aErrNotReady);
  EXPECT_EQ(stream_->capacity, 512u);
  EXPECT_EQ(stream_->count, 511u);

  std::vector<uint8_t> again(511);
  EXPECT_EQ(aStream_Read(stream_, again.data(), again.size()), aErrNone);
  EXPECT_EQ(again, bytes);
}

TEST_F(StreamTest, PushbackOf512BytesGrowsTheRingInOrder) {
  const std::vector<uint8_t> bytes = Pattern(512, 9);
  fake_.Bytes(bytes);
  fake_.Then(aErrNotReady);
  std::vector<uint8_t> buffer(600);
  EXPECT_EQ(aStream_Read(stream_, buffer.data(), buffer.size()), aErrNotReady);
  EXPECT_EQ(stream_->capacity, 1024u);
  EXPECT_EQ(stream_->count, 512u);

  std::vector<uint8_t> again(512);
  EXPECT_EQ(aStream_Read(stream_, again.data(), again.size()), aErrNone);
  EXPECT_EQ(again, bytes);
}

TEST_F(StreamTest, WrappedRingKeepsOrderAndGrows) {
  // 511 bytes held, 300 taken: the ring's next free place is near its end.
  const std::vector<uint8_t> first = Pattern(511, 1);
  fake_.Bytes(first);
  fake_.Then(aErrNotReady);
  std::vector<uint8_t> big(2000);
  ASSERT_EQ(aStream_Read(stream_, big.data(), big.size()), aErrNotReady);
  std::vector<uint8_t> part(300);
  ASSERT_EQ(aStream_Read(stream_, part.data(), part.size()), aErrNone);
  ASSERT_GT(stream_->head, 0u);

  // 100 more bytes wrap round the end of the ring.
  const std::vector<uint8_t> second = Pattern(100, 77);
  fake_.Bytes(second);
  fake_.Then(aErrNotReady);
  ASSERT_EQ(aStream_Read(stream_, big.data(), big.size()), aErrNotReady);
  EXPECT_EQ(stream_->capacity, 512u);
  EXPECT_EQ(stream_->count, 311u);
  EXPECT_LT(stream_->tail, stream_->head);

  // And 201 more make 512 held bytes: the ring grows, order kept.
  const std::vector<uint8_t> third = Pattern(201, 150);
  fake_.Bytes(third);
  fake_.Then(aErrNotReady);
  ASSERT_EQ(aStream_Read(stream_, big.data(), big.size()), aErrNotReady);
  EXPECT_EQ(stream_->capacity, 1024u);
  EXPECT_EQ(stream_->count, 512u);

  std::vector<uint8_t> expected(first.begin() + 300, first.end());
  expected.insert(expected.end(), second.begin(), second.end());
  expected.insert(expected.end(), third.begin(), third.end());
  std::vector<uint8_t> all(512);
  EXPECT_EQ(aStream_Read(stream_, all.data(), all.size()), aErrNone);
  EXPECT_EQ(all, expected);
}

TEST_F(StreamTest, FailedPushbackIsReported) {
  fake_.Bytes("ab");
  fake_.Then(aErrNotReady);
  uint8_t buffer[3] = {};
  aErr result = aErrNone;
  {
    MemoryShortage shortage;
    result = aStream_Read(stream_, buffer, 3);
  }
  EXPECT_EQ(result, aErrMemory);
}

TEST_F(StreamTest, ReadWithoutWorkMemoryGivesResourceError) {
  fake_.Bytes(Pattern(100, 0));
  std::vector<uint8_t> buffer(100);
  aErr result = aErrNone;
  {
    MemoryShortage shortage;
    result = aStream_Read(stream_, buffer.data(), buffer.size());
  }
  EXPECT_EQ(result, aErrResource);
  EXPECT_EQ(fake_.getCalls, 0);
}

struct WriteCase {
  const char* label;
  bool put;
  bool write;
  size_t n;
  std::vector<FakeTransport::Kind> calls;
};

TEST_F(StreamTest, WriteChoosesPutOrWrite) {
  using K = FakeTransport::Kind;
  const WriteCase cases[] = {
      {"1 byte with both: put", true, true, 1, {K::Put}},
      {"2 bytes with both: one write", true, true, 2, {K::Write}},
      {"5 bytes with both: one write", true, true, 5, {K::Write}},
      {"3 bytes with put only: 3 puts", true, false, 3, {K::Put, K::Put, K::Put}},
      {"1 byte with write only: write", false, true, 1, {K::Write}},
      {"nothing with both", true, true, 0, {}},
  };
  const uint8_t data[] = {'v', 'w', 'x', 'y', 'z'};
  for (const WriteCase& c : cases) {
    SCOPED_TRACE(c.label);
    Remake(true, c.put, c.write, true);
    EXPECT_EQ(aStream_Write(stream_, data, c.n), aErrNone);
    std::vector<K> kinds;
    for (const auto& o : fake_.outputs) kinds.push_back(o.kind);
    EXPECT_EQ(kinds, c.calls);
    EXPECT_EQ(fake_.Sent(), std::string(data, data + c.n));
  }
}

TEST_F(StreamTest, WriteErrors) {
  const uint8_t data[] = {1, 2, 3};
  EXPECT_EQ(aStream_Write(stream_, nullptr, 2), aErrParam);

  fake_.writeResult = aErrBusy;
  EXPECT_EQ(aStream_Write(stream_, data, 3), aErrBusy);

  Remake(true, true, false, true);
  fake_.putsBeforeFailure = 1;
  fake_.putFailure = aErrWrite;
  EXPECT_EQ(aStream_Write(stream_, data, 3), aErrWrite);
  EXPECT_EQ(fake_.Sent(), std::string(1, '\1'));

  Remake(true, false, false, true);
  EXPECT_EQ(aStream_Write(stream_, data, 3), aErrMode);
}

TEST_F(StreamTest, DestroyReturnsDeleteResultAndClearsThePointer) {
  fake_.Bytes("a");
  fake_.Then(aErrNotReady);
  uint8_t buffer[2];
  ASSERT_EQ(aStream_Read(stream_, buffer, 2), aErrNotReady);  // holds a pushback ring

  fake_.deleteResult = aErrIO;
  EXPECT_EQ(aStream_Destroy(&stream_), aErrIO);
  EXPECT_EQ(stream_, nullptr);
  EXPECT_EQ(fake_.deleteCalls, 1);

  stream_ = Make(true, true, true, false);
  EXPECT_EQ(aStream_Destroy(&stream_), aErrNone);
  EXPECT_EQ(stream_, nullptr);
}

TEST_F(StreamTest, DestroyOfInvalidStreamOnlyClearsThePointer) {
  aStream forged = *stream_;
  forged.check = 0;
  aStream* handle = &forged;
  EXPECT_EQ(aStream_Destroy(&handle), aErrParam);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(fake_.deleteCalls, 0);
  EXPECT_EQ(aStream_Destroy(nullptr), aErrParam);
}

TEST_F(StreamTest, WaitForInput) {
  // Without a wait operation the get is its own wait.
  EXPECT_EQ(aStream_WaitForInput(stream_, 50), aErrNone);

  ASSERT_EQ(aStream_SetWaitProc(stream_, FakeTransport::Wait), aErrNone);
  EXPECT_EQ(aStream_WaitForInput(stream_, 50), aErrTimeout);
  EXPECT_EQ(fake_.lastWaitMs, 50u);
  fake_.waitResult = aErrConnection;
  EXPECT_EQ(aStream_WaitForInput(stream_, 7), aErrConnection);
  EXPECT_EQ(fake_.waitCalls, 2);

  // Pushed-back bytes are input already.
  fake_.Bytes("a");
  fake_.Then(aErrNotReady);
  uint8_t buffer[2];
  ASSERT_EQ(aStream_Read(stream_, buffer, 2), aErrNotReady);
  EXPECT_EQ(aStream_WaitForInput(stream_, 50), aErrNone);
  EXPECT_EQ(fake_.waitCalls, 2);

  ASSERT_EQ(aStream_SetWaitProc(stream_, nullptr), aErrNone);
  EXPECT_EQ(Read(1), "a");
  EXPECT_EQ(aStream_WaitForInput(stream_, 50), aErrNone);
  EXPECT_EQ(fake_.waitCalls, 2);
}

struct CStringCase {
  const char* label;
  std::vector<GetStep> input;
  aErr result;
  const char* text;  // expected on success
};

TEST_F(StreamTest, ReadCString) {
  const std::vector<GetStep> ab = {{aErrNone, 'a'}, {aErrNone, 'b'}};
  auto with = [&](std::vector<GetStep> more) {
    std::vector<GetStep> all = ab;
    all.insert(all.end(), more.begin(), more.end());
    return all;
  };
  const CStringCase cases[] = {
      {"terminated", with({{aErrNone, 0}}), aErrNone, "ab"},
      {"end of input after text", with({{aErrEOF, 0}}), aErrNone, "ab"},
      {"end of input at once", {{aErrEOF, 0}}, aErrEOF, nullptr},
      {"empty text", {{aErrNone, 0}}, aErrNone, ""},
      {"transport error", with({{aErrIO, 0}}), aErrIO, nullptr},
  };
  for (const CStringCase& c : cases) {
    SCOPED_TRACE(c.label);
    Remake(true, true, true, true);
    fake_.script.assign(c.input.begin(), c.input.end());
    char buffer[16];
    memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(aStream_ReadCString(stream_, buffer, sizeof buffer), c.result);
    if (c.text != nullptr) {
      EXPECT_STREQ(buffer, c.text);
    }
  }
}

TEST_F(StreamTest, ReadCStringStopsAtTheBufferAndKeepsTheRest) {
  fake_.Bytes(std::string("abcd\0", 5));
  char buffer[3];
  EXPECT_EQ(aStream_ReadCString(stream_, buffer, sizeof buffer), aErrNone);
  EXPECT_STREQ(buffer, "ab");
  EXPECT_EQ(aStream_ReadCString(stream_, buffer, sizeof buffer), aErrNone);
  EXPECT_STREQ(buffer, "cd");
}

TEST_F(StreamTest, ReadCStringNotReadyIsReadAgainFromItsStart) {
  fake_.Bytes("ab");
  fake_.Then(aErrNotReady);
  char buffer[8];
  EXPECT_EQ(aStream_ReadCString(stream_, buffer, sizeof buffer), aErrNotReady);
  fake_.Bytes(std::string("c\0", 2));
  EXPECT_EQ(aStream_ReadCString(stream_, buffer, sizeof buffer), aErrNone);
  EXPECT_STREQ(buffer, "abc");
}

TEST_F(StreamTest, BuffersWithoutRoomAreRefused) {
  fake_.Bytes("abc");
  char text[1] = {'x'};
  uint8_t bytes[1] = {'x'};
  size_t count = 99;
  EXPECT_EQ(aStream_ReadCString(stream_, text, 0), aErrParam);
  EXPECT_EQ(aStream_ReadCString(stream_, text, 1), aErrParam);
  EXPECT_EQ(aStream_ReadCStringRecord(stream_, text, 0, "\n"), aErrParam);
  EXPECT_EQ(aStream_ReadCStringRecord(stream_, text, 1, "\n"), aErrParam);
  EXPECT_EQ(aStream_ReadRecord(stream_, bytes, &count, 0, U8("\n"), 1), aErrParam);
  EXPECT_EQ(text[0], 'x');
  EXPECT_EQ(bytes[0], 'x');
  EXPECT_EQ(count, 99u);
  EXPECT_EQ(fake_.getCalls, 0);
}

TEST_F(StreamTest, ReadRecordOfMaxLengthLeavesTheRestUnread) {
  fake_.Bytes("abcd");
  uint8_t out[3];
  size_t count = 0;
  EXPECT_EQ(aStream_ReadRecord(stream_, out, &count, 3, U8("\n"), 1), aErrNone);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(std::string(out, out + 3), "abc");
  EXPECT_EQ(Read(1), "d");
}

TEST_F(StreamTest, ReadRecordRefusals) {
  uint8_t out[4];
  size_t count = 0;
  EXPECT_EQ(aStream_ReadRecord(stream_, nullptr, &count, 4, U8("\n"), 1), aErrParam);
  EXPECT_EQ(aStream_ReadRecord(stream_, out, &count, 4, nullptr, 1), aErrParam);
  EXPECT_EQ(aStream_ReadRecord(stream_, out, &count, 4, U8("\n"), 0), aErrParam);
}

struct RecordCase {
  const char* label;
  std::string input;
  const char* delimiter;
  size_t maxLength;
  aErr result;
  std::string record;
  std::string after;  // what the next read sees
};

TEST_F(StreamTest, ReadRecordWithDelimiters) {
  const RecordCase cases[] = {
      {"single byte delimiter", "ab\ncd", "\n", 8, aErrNone, "ab", "cd"},
      {"two byte delimiter", "ab\r\ncd", "\r\n", 8, aErrNone, "ab", "cd"},
      {"broken match is data", "a\rb\r\nc", "\r\n", 8, aErrNone, "a\rb", "c"},
      {"overlapping match", "xaaab-", "aab", 8, aErrNone, "xa", "-"},
      {"repeated first byte", "a\r\r\nz", "\r\n", 8, aErrNone, "a\r", "z"},
      {"empty record", "\r\nq", "\r\n", 8, aErrNone, "", "q"},
      {"full while a match is broken", "a\rbc", "\r\n", 2, aErrNone, "a\r", "bc"},
      {"full with a match pending", "ab\r\nc", "\r\n", 2, aErrNone, "ab", "\r\nc"},
      {"end of input inside a match", "ab\r", "\r\n", 8, aErrNone, "ab\r", ""},
      {"end of input with nothing", "", "\r\n", 8, aErrEOF, "", ""},
  };
  for (const RecordCase& c : cases) {
    SCOPED_TRACE(c.label);
    Remake(true, true, true, true);
    fake_.Bytes(c.input);
    fake_.whenScriptEnds = aErrEOF;
    std::vector<uint8_t> out(c.maxLength, '#');
    size_t count = 99;
    EXPECT_EQ(aStream_ReadRecord(stream_, out.data(), &count, c.maxLength, U8(c.delimiter),
                                 strlen(c.delimiter)),
              c.result);
    EXPECT_EQ(count, c.record.size());
    EXPECT_EQ(std::string(out.begin(), out.begin() + c.record.size()), c.record);
    std::string rest;
    uint8_t byte = 0;
    while (aStream_Read(stream_, &byte, 1) == aErrNone) rest.push_back(static_cast<char>(byte));
    EXPECT_EQ(rest, c.after);
  }
}

TEST_F(StreamTest, ReadRecordNotReadyKeepsAPartialDelimiter) {
  fake_.Bytes("ab\r");
  fake_.Then(aErrNotReady);
  uint8_t out[8];
  size_t count = 99;
  EXPECT_EQ(aStream_ReadRecord(stream_, out, &count, 8, U8("\r\n"), 2), aErrNotReady);
  EXPECT_EQ(count, 99u);
  fake_.Bytes("\nz");
  EXPECT_EQ(aStream_ReadRecord(stream_, out, &count, 8, U8("\r\n"), 2), aErrNone);
  EXPECT_EQ(std::string(out, out + count), "ab");
  EXPECT_EQ(Read(1), "z");
}

TEST_F(StreamTest, WriteRecordSendsDataThenDelimiter) {
  EXPECT_EQ(aStream_WriteRecord(stream_, U8("abc"), 3, U8("\r\n"), 2), aErrNone);
  ASSERT_EQ(fake_.outputs.size(), 2u);
  EXPECT_EQ(fake_.Sent(), "abc\r\n");

  EXPECT_EQ(aStream_WriteRecord(stream_, nullptr, 3, U8("\n"), 1), aErrParam);
  EXPECT_EQ(aStream_WriteRecord(stream_, U8("abc"), 3, nullptr, 1), aErrParam);
  EXPECT_EQ(aStream_WriteRecord(stream_, U8("abc"), 3, U8("\n"), 0), aErrParam);

  // The data's error ends the record before its delimiter.
  fake_.outputs.clear();
  fake_.writeResult = aErrBusy;
  EXPECT_EQ(aStream_WriteRecord(stream_, U8("abc"), 3, U8("\r\n"), 2), aErrBusy);
  EXPECT_EQ(fake_.outputs.size(), 1u);
}

TEST_F(StreamTest, WriteCStringEndsWithOneZeroByte) {
  EXPECT_EQ(aStream_WriteCString(stream_, "ab"), aErrNone);
  EXPECT_EQ(aStream_WriteCString(stream_, ""), aErrNone);
  EXPECT_EQ(fake_.Sent(), std::string("ab\0\0", 4));
  EXPECT_EQ(aStream_WriteCString(stream_, nullptr), aErrParam);
}

TEST_F(StreamTest, CStringRecordsReadBackAsWritten) {
  ASSERT_EQ(aStream_WriteCStringRecord(stream_, "one", "\r\n"), aErrNone);
  ASSERT_EQ(aStream_WriteCStringRecord(stream_, "two", "\r\n"), aErrNone);
  EXPECT_EQ(fake_.Sent(), "one\r\ntwo\r\n");
  EXPECT_EQ(aStream_WriteCStringRecord(stream_, nullptr, "\n"), aErrParam);
  EXPECT_EQ(aStream_WriteCStringRecord(stream_, "x", nullptr), aErrParam);

  fake_.Bytes(fake_.Sent());
  char buffer[8];
  EXPECT_EQ(aStream_ReadCStringRecord(stream_, buffer, sizeof buffer, "\r\n"), aErrNone);
  EXPECT_STREQ(buffer, "one");
  EXPECT_EQ(aStream_ReadCStringRecord(stream_, buffer, sizeof buffer, "\r\n"), aErrNone);
  EXPECT_STREQ(buffer, "two");
  EXPECT_EQ(aStream_ReadCStringRecord(stream_, buffer, sizeof buffer, nullptr), aErrParam);
  EXPECT_EQ(aStream_ReadCStringRecord(stream_, buffer, sizeof buffer, ""), aErrParam);
}

TEST_F(StreamTest, FlushCopiesHeldBytesThenTheRestUntilEndOfInput) {
  fake_.Bytes("ab");
  fake_.Then(aErrNotReady);
  fake_.Bytes("cd");
  fake_.Then(aErrEOF);
  uint8_t buffer[3];
  ASSERT_EQ(aStream_Read(stream_, buffer, 3), aErrNotReady);  // "ab" held

  FakeTransport sink;
  aStream* to = aStream_Create(nullptr, FakeTransport::Put, nullptr, nullptr, &sink);
  ASSERT_NE(to, nullptr);
  EXPECT_EQ(aStream_Flush(stream_, to), aErrNone);
  EXPECT_EQ(sink.Sent(), "abcd");
  EXPECT_EQ(sink.PutCount(), 4u);

  // The destination's failure ends the copy with its code.
  fake_.Bytes("efg");
  sink.putsBeforeFailure = 5;
  sink.putFailure = aErrWrite;
  EXPECT_EQ(aStream_Flush(stream_, to), aErrWrite);
  EXPECT_EQ(sink.Sent(), "abcde");
  aStream_Destroy(&to);
}

TEST_F(StreamTest, FlushNeedsGetAndPut) {
  FakeTransport other;
  aStream* writeOnly = aStream_Create(nullptr, nullptr, FakeTransport::Write, nullptr, &other);
  aStream* putOnly = aStream_Create(nullptr, FakeTransport::Put, nullptr, nullptr, &other);
  ASSERT_NE(writeOnly, nullptr);
  ASSERT_NE(putOnly, nullptr);
  EXPECT_EQ(aStream_Flush(stream_, writeOnly), aErrMode);
  EXPECT_EQ(aStream_Flush(putOnly, stream_), aErrMode);
  aStream_Destroy(&writeOnly);
  aStream_Destroy(&putOnly);
}

// File streams in a temporary directory of their own.
class FileStreamTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = tmp_.path(); }
  TempDir tmp_;  // removed with everything in it
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  static std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
  }

  std::string dir_;
};

TEST_F(FileStreamTest, InputReadsTheFileThenEndOfInput) {
  const std::string path = Path("in");
  std::ofstream(path, std::ios::binary) << std::string("xy\0z", 4);
  aStream* in = nullptr;
  ASSERT_EQ(aStream_CreateFileInput(path.c_str(), &in), aErrNone);
  uint8_t bytes[4] = {};
  EXPECT_EQ(aStream_Read(in, bytes, 4), aErrNone);
  EXPECT_EQ(std::string(bytes, bytes + 4), std::string("xy\0z", 4));
  EXPECT_EQ(aStream_Read(in, bytes, 1), aErrEOF);
  EXPECT_EQ(aStream_Write(in, bytes, 1), aErrMode);
  EXPECT_EQ(aStream_Destroy(&in), aErrNone);
}

TEST_F(FileStreamTest, OutputWritesWithPutAndWrite) {
  const std::string path = Path("out");
  aStream* out = nullptr;
  ASSERT_EQ(aStream_CreateFileOutput(path.c_str(), &out), aErrNone);
  EXPECT_EQ(aStream_Write(out, U8("a"), 1), aErrNone);
  EXPECT_EQ(aStream_Write(out, U8("bcd"), 3), aErrNone);
  EXPECT_EQ(aStream_WriteCString(out, "ef"), aErrNone);
  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(out, &byte, 1), aErrMode);
  EXPECT_EQ(aStream_Destroy(&out), aErrNone);
  EXPECT_EQ(Slurp(path), std::string("abcdef\0", 7));
}

TEST_F(FileStreamTest, FlushCopiesOneFileIntoAnother) {
  const std::string from = Path("from");
  const std::string to = Path("to");
  std::string content;
  for (int i = 0; i < 3000; ++i) content.push_back(static_cast<char>(i * 13));
  std::ofstream(from, std::ios::binary) << content;
  aStream* in = nullptr;
  aStream* out = nullptr;
  ASSERT_EQ(aStream_CreateFileInput(from.c_str(), &in), aErrNone);
  ASSERT_EQ(aStream_CreateFileOutput(to.c_str(), &out), aErrNone);
  EXPECT_EQ(aStream_Flush(in, out), aErrNone);
  aStream_Destroy(&in);
  aStream_Destroy(&out);
  EXPECT_EQ(Slurp(to), content);
}

TEST_F(FileStreamTest, CreationFailuresGiveResourceErrorAndLeaveOut) {
  aStream sentinel{};
  aStream* out = &sentinel;
  const std::string missing = Path("no/such/dir/file");
  EXPECT_EQ(aStream_CreateFileOutput(missing.c_str(), &out), aErrResource);
  EXPECT_EQ(out, &sentinel);
  EXPECT_EQ(aStream_CreateFileInput(Path("missing").c_str(), &out), aErrResource);
  EXPECT_EQ(out, &sentinel);
  EXPECT_EQ(aStream_CreateFileInput(nullptr, &out), aErrResource);
  EXPECT_EQ(aStream_CreateFileOutput(Path("x").c_str(), nullptr), aErrResource);
  EXPECT_EQ(aStream_CreateFileInput(Path("x").c_str(), nullptr), aErrResource);
  EXPECT_EQ(out, &sentinel);
}

}  // namespace
