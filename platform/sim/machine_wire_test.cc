#include "platform/sim/machine_wire.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/sim/machine_messages.h"
#include "platform/sim/machine_protocol.h"

namespace platform::wire {
namespace {

std::string U32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}

// An array of `count` booleans: one byte of body per element.
std::string TinyElements(uint32_t count) { return "a" + U32(count) + std::string(count, 't'); }

// A dictionary of `count` entries with distinct keys of four bytes and boolean values.
std::string TinyEntries(uint32_t count) {
  std::string out = "D" + U32(count);
  for (uint32_t i = 0; i < count; ++i) out += U32(4) + U32(i) + "t";
  return out;
}

// `depth` arrays of one element each around a boolean, which then sits at that depth.
std::string Nested(int depth) {
  std::string out;
  for (int i = 0; i < depth; ++i) out += "a" + U32(1);
  return out + "t";
}

int Decode(const std::string& bytes, const DecodeLimits& limits) {
  Property value;
  return DecodePropertyWithin(bytes, limits, &value);
}

Property Sample() {
  PropertyDictionary inner{{"Size", Property::Integer(-5)},
                           {"Whole", Property::Boolean(true)},
                           {"Ratio", Property::Real(0.25)},
                           {"GUID", Property::Data(std::vector<uint8_t>{0, 1, 0xff})}};
  return Property::Dictionary(
      {{"op", Property::String("registry.match")},
       {"list", Property::Array({Property::String(""), Property::Dictionary(inner),
                                 Property::Array({})})},
       {"big", Property::Integer(static_cast<int64_t>(0x8000000000000001ULL))}});
}

TEST(MachineWireTest, EveryValueTypeSurvivesTheRoundTrip) {
  std::string bytes;
  EncodeProperty(Sample(), &bytes);
  auto decoded = DecodeProperty(bytes);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(*decoded, Sample());
}

TEST(MachineWireTest, MalformedBodiesAreRefused) {
  std::string good;
  EncodeProperty(Sample(), &good);
  struct Case {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"empty", ""},
      {"unknown tag", "x"},
      {"truncated", good.substr(0, good.size() - 1)},
      {"trailing byte", good + "t"},
      {"string longer than the body", std::string("s\x00\x00\x10\x00", 5) + "abc"},
      {"array count beyond the body", std::string("a\xff\xff\xff\xff", 5) + "t"},
      {"dictionary count beyond the body", std::string("D\x00\x01\x00\x00", 5)},
      {"integer cut short", std::string("i\x00\x00", 3)},
      {"nesting too deep", std::string(200, 'a')},
  };
  for (const Case& c : cases) EXPECT_FALSE(DecodeProperty(c.bytes).has_value()) << c.what;
}

TEST(MachineWireTest, DecodingStopsWhereTheValueWouldCostTooMuch) {
  // An array slot costs tens of bytes and a dictionary entry over a hundred, so the
  // same number of values can fit as an array and not as a dictionary.
  constexpr DecodeLimits kLimits{.max_values = 1000, .max_bytes = 64 << 10};
  struct Case {
    const char* what;
    std::string bytes;
    int result;
  } cases[] = {
      {"elements up to the value limit", TinyElements(999), 0},
      {"many tiny elements", TinyElements(1000), E2BIG},
      {"an element count the budget cannot hold", "a" + U32(5000) + std::string(5000, 't'), E2BIG},
      {"a small dictionary", TinyEntries(300), 0},
      {"a dictionary within the value limit and beyond the memory", TinyEntries(999), E2BIG},
      {"a string beyond the memory", "s" + U32(70000) + std::string(70000, 'x'), E2BIG},
      {"data beyond the memory", "d" + U32(70000) + std::string(70000, 'x'), E2BIG},
      {"nesting to the limit", Nested(kMaxNesting), 0},
      {"nesting deeper than the limit", Nested(kMaxNesting + 1), E2BIG},
      {"a count beyond the body is malformed, not large", "a" + U32(5000) + "t", EBADMSG},
      {"a body cut short within the budget", TinyElements(10).substr(0, 12), EBADMSG},
  };
  for (const Case& c : cases) EXPECT_EQ(Decode(c.bytes, kLimits), c.result) << c.what;
}

TEST(MachineWireTest, RequestLimitsRefuseCheapFramesThatDecodeHugeAndKeepADeviceWrite) {
  // A full request frame of one-byte elements or five-byte entries would otherwise
  // become two million values.
  EXPECT_EQ(Decode(TinyElements(kMaxRequestBody - 5), kRequestLimits), E2BIG);
  EXPECT_EQ(Decode(TinyEntries((kMaxRequestBody - 5) / 9), kRequestLimits), E2BIG);
  EXPECT_EQ(Decode(TinyElements(kMaxRequestBody - 5), kMessageLimits), E2BIG);

  // The largest request a client sends: a device write of one piece.
  PropertyDictionary write = machine::MakeRequest(
      machine::kDeviceWrite, {{"handle", Property::Integer(1)},
                              {"offset", Property::Integer(int64_t{1} << 40)},
                              {"data", Property::Data(std::vector<uint8_t>(kDeviceTransferPiece, 0xa5))}});
  write[machine::kSeq] = Property::Integer(9);
  std::string frame = EncodeFrame(Property::Dictionary(write));
  FrameReader reader(kMaxRequestBody);
  reader.Feed(frame.data(), frame.size());
  auto body = reader.Next();
  ASSERT_TRUE(body.has_value());
  Property decoded;
  ASSERT_EQ(DecodePropertyWithin(*body, kRequestLimits, &decoded), 0);
  EXPECT_EQ(decoded, Property::Dictionary(write));
}

TEST(MachineWireTest, PeekIntegerFindsAnEntryWithoutDecodingTheRest) {
  std::string refused = "D" + U32(2) + U32(4) + "junk" + TinyElements(100000) + U32(3) + "seq" + "i" +
                        std::string(7, '\0') + "\x2a";
  ASSERT_EQ(Decode(refused, kRequestLimits), E2BIG);
  EXPECT_EQ(PeekInteger(refused, "seq"), 42);

  std::string sample;
  EncodeProperty(Sample(), &sample);
  EXPECT_EQ(PeekInteger(sample, "big"), static_cast<int64_t>(0x8000000000000001ULL));
  struct Case {
    const char* what;
    std::string bytes;
  } absent[] = {
      {"no such key", sample},
      {"not a dictionary", TinyElements(3)},
      {"malformed before the key", "D" + U32(2) + U32(1) + "a" + "x" + U32(3) + "seq" + "i" + std::string(8, '\0')},
      {"integer cut short", "D" + U32(1) + U32(3) + "seq" + "i" + std::string(4, '\0')},
  };
  for (const Case& c : absent) EXPECT_FALSE(PeekInteger(c.bytes, "seq").has_value()) << c.what;
  EXPECT_FALSE(PeekInteger(sample, "op").has_value()) << "a string, not an integer";
}

TEST(MachineWireTest, FrameReaderReassemblesSplitFramesInOrder) {
  std::string stream = EncodeFrame(Property::String("one")) + EncodeFrame(Sample());
  FrameReader reader;
  std::vector<std::string> bodies;
  for (char c : stream) {  // one byte at a time: the worst split there is
    reader.Feed(&c, 1);
    while (auto body = reader.Next()) bodies.push_back(*body);
  }
  ASSERT_EQ(bodies.size(), 2u);
  EXPECT_EQ(DecodeProperty(bodies[0]), Property::String("one"));
  EXPECT_EQ(DecodeProperty(bodies[1]), Sample());
  EXPECT_EQ(reader.buffered(), 0u);
}

TEST(MachineWireTest, FrameReaderFailsForGoodOnAnOversizedLength) {
  FrameReader reader;
  reader.Feed("\xff\xff\xff\xff", 4);
  EXPECT_FALSE(reader.Next().has_value());
  EXPECT_TRUE(reader.failed());
  std::string later = EncodeFrame(Property::String("late"));
  reader.Feed(later.data(), later.size());
  EXPECT_FALSE(reader.Next().has_value());
}

TEST(MachineWireTest, FrameReaderRefusesBodiesAboveItsOwnLimit) {
  struct Case {
    uint32_t body;
    bool fails;
  } cases[] = {{16, false}, {17, true}};
  for (const Case& c : cases) {
    FrameReader reader(16);
    std::string frame = EncodeFrame(Property::String(std::string(c.body - 5, 'x')));
    reader.Feed(frame.data(), 4);  // the length alone decides
    EXPECT_FALSE(reader.Next().has_value());
    EXPECT_EQ(reader.failed(), c.fails) << c.body;
    if (c.fails) continue;
    reader.Feed(frame.data() + 4, frame.size() - 4);
    EXPECT_TRUE(reader.Next().has_value()) << c.body;
  }
}

TEST(MachineWireTest, FrameReaderGivesBackTheMemoryOfALargeFrame) {
  std::string stream = EncodeFrame(Property::Data(std::vector<uint8_t>(1 << 20, 1)));
  std::string next = EncodeFrame(Property::String("next"));
  stream += next.substr(0, 6);  // the start of the following frame
  FrameReader reader;
  for (size_t at = 0; at < stream.size(); at += 65536) {
    reader.Feed(stream.data() + at, std::min<size_t>(65536, stream.size() - at));
  }
  EXPECT_GT(reader.held(), size_t{1} << 20);
  ASSERT_TRUE(reader.Next().has_value());
  EXPECT_LE(reader.held(), 64u << 10);
  reader.Feed(next.data() + 6, next.size() - 6);
  EXPECT_EQ(DecodeProperty(*reader.Next()), Property::String("next"));

  // Half of a large frame, then the connection is given up.
  reader.Feed(stream.data(), stream.size() / 2);
  EXPECT_GT(reader.held(), size_t{512} << 10);
  reader.Reset();
  EXPECT_LE(reader.held(), 64u << 10);
  reader.Feed(next.data(), next.size());
  EXPECT_EQ(DecodeProperty(*reader.Next()), Property::String("next"));
}

TEST(MachineWireTest, DescriptorTravelsWithTheFrame) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  ASSERT_EQ(SendAll(pair[0], EncodeFrame(Property::String("fd")), pipe_fds[1], 1000), 0);
  FrameReader reader;
  std::string body;
  std::vector<int> fds;
  ASSERT_EQ(ReadFrame(pair[1], &reader, &body, &fds, 1000), 0);
  ASSERT_EQ(fds.size(), 1u);
  ASSERT_EQ(write(fds[0], "z", 1), 1);  // the passed descriptor is the pipe's write end
  char c = 0;
  ASSERT_EQ(read(pipe_fds[0], &c, 1), 1);
  EXPECT_EQ(c, 'z');
  for (int fd : {fds[0], pipe_fds[0], pipe_fds[1], pair[0], pair[1]}) close(fd);
}

TEST(MachineWireTest, ReadFrameReportsEndOfStreamAndTimeOut) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  FrameReader reader;
  std::string body;
  EXPECT_EQ(ReadFrame(pair[1], &reader, &body, nullptr, 10), -1);
  EXPECT_EQ(errno, ETIMEDOUT);
  ASSERT_EQ(write(pair[0], "\x00\x00", 2), 2);  // half a length, then the peer goes
  close(pair[0]);
  EXPECT_EQ(ReadFrame(pair[1], &reader, &body, nullptr, 1000), -1);
  EXPECT_EQ(errno, ECONNRESET);
  close(pair[1]);
}

}  // namespace
}  // namespace platform::wire
