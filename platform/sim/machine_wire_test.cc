#include "platform/sim/machine_wire.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace platform::wire {
namespace {

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
