// The daemon faced with broken and hostile clients: every bad message gets an error
// reply or loses its connection, and the daemon keeps serving everyone else.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/sim/machine_connection.h"
#include "platform/sim/machine_messages.h"
#include "platform/sim/machine_protocol.h"
#include "platform/sim/machine_wire.h"
#include "sim/testing/test_machine.h"

namespace sim {
namespace {

namespace m = platform::machine;
namespace wire = platform::wire;
using platform::Property;
using platform::PropertyDictionary;
using testing::TestMachine;

// A client that speaks the wire format by hand.
class RawClient {
 public:
  explicit RawClient(const std::string& root) : fd_(platform::ConnectUnixSocket(m::SocketPath(root))) {}
  ~RawClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool connected() const { return fd_ >= 0; }
  void SendBytes(const std::string& bytes) { ASSERT_EQ(TrySend(bytes), 0); }
  // 0, or -1 with errno (EPIPE, ECONNRESET) when the daemon hung up meanwhile.
  int TrySend(std::string_view bytes) { return wire::SendAll(fd_, bytes, -1, 5000); }
  // Whether the daemon has closed this connection, waiting at most `timeout_ms`.
  bool HungUp(int timeout_ms) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return false;
    char byte = 0;
    return ::recv(fd_, &byte, 1, MSG_DONTWAIT | MSG_PEEK) <= 0;
  }
  void Send(PropertyDictionary message) { SendBytes(wire::EncodeFrame(Property::Dictionary(std::move(message)))); }
  // The next message, or nullopt when the daemon closed the connection (or 5 s passed).
  std::optional<PropertyDictionary> Receive() {
    std::string body;
    if (wire::ReadFrame(fd_, &reader_, &body, nullptr, 5000) != 0) return std::nullopt;
    auto value = wire::DecodeProperty(body);
    if (!value || !value->is_dictionary()) return PropertyDictionary();
    return *value->AsDictionary();
  }
  int64_t Status(PropertyDictionary message) {
    Send(std::move(message));
    auto reply = Receive();
    return reply ? wire::GetInteger(*reply, m::kStatus).value_or(-1) : -2;
  }
  void Close() {
    ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
  wire::FrameReader reader_;
};

PropertyDictionary Op(const char* op, PropertyDictionary args = {}) {
  args[m::kOp] = Property::String(op);
  args[m::kSeq] = Property::Integer(1);
  return args;
}

TEST(RobustnessE2ETest, BadRequestsGetErrorRepliesOnAConnectionThatStaysUsable) {
  TestMachine machine({.disk_count = 1});
  ASSERT_TRUE(machine.up());
  RawClient client(machine.root());
  ASSERT_TRUE(client.connected());
  struct Case {
    const char* what;
    PropertyDictionary message;
    int64_t status;
  } cases[] = {
      {"no operation", {{m::kSeq, Property::Integer(1)}}, EINVAL},
      {"operation of the wrong type", {{m::kOp, Property::Integer(7)}}, EINVAL},
      {"unknown operation", Op("machine.self_destruct"), EOPNOTSUPP},
      {"unknown Disk Arbitration request", Op("da.explode"), EOPNOTSUPP},
      {"Disk Arbitration without a session", Op(m::kDaMount, {{"bsd", Property::String("disk0")}}), ENOTCONN},
      {"entry of the wrong type", Op(m::kRegistryProperty, {{"entry", Property::String("x")}}), ENOENT},
      {"entry never handed out", Op(m::kRegistryProperty, {{"entry", Property::Integer(1)}}), ENOENT},
      {"matching of the wrong shape", Op(m::kRegistryMatch, {{"matching", Property::Integer(3)}}), EINVAL},
      {"matching with an unknown key", Op(m::kRegistryMatch, {{"matching", Property::Dictionary({{"x", Property::String("")}})}}), EINVAL},
      {"device never opened", Op(m::kDeviceRead, {{"handle", Property::Integer(99)}}), EBADF},
      {"device path outside /dev", Op(m::kDeviceOpen, {{"path", Property::String("/etc/passwd")}}), ENOENT},
      {"huge fault range", Op(m::kFaultAdd, {{"kind", Property::String("io-error")}, {"device", Property::String("disk0")}, {"start", Property::Integer(-5)}}), EINVAL},
      {"attach without a bus", Op(m::kMachineAttach, {{"image", Property::String("x")}}), EINVAL},
      {"attach of a missing image", Op(m::kMachineAttach, {{"image", Property::String("/nonexistent.img")}, {"bus", Property::String("usb0")}}), ENOENT},
      {"firmware value too long", Op(m::kFirmwareSet, {{"name", Property::String("a")}, {"value", Property::String(std::string(5000, 'v'))}}), EINVAL},
      {"resize to nothing", Op(m::kMachineResize, {{"bsd", Property::String("disk0")}, {"size", Property::Integer(-1)}}), EINVAL},
  };
  for (Case& c : cases) EXPECT_EQ(client.Status(c.message), c.status) << c.what;

  // Bytes that are no message at all: an error reply, and the stream stays in step.
  client.SendBytes(std::string("\x00\x00\x00\x03zzz", 7));
  auto reply = client.Receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(wire::GetInteger(*reply, m::kStatus), EINVAL);
  // A dictionary whose count promises more entries than the body holds.
  client.SendBytes(std::string("\x00\x00\x00\x05" "D\x7f\xff\xff\xff", 9));
  reply = client.Receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(wire::GetInteger(*reply, m::kStatus), EINVAL);
  EXPECT_EQ(client.Status(Op(m::kMachineStatus)), 0);

  // Requests sent back to back are answered in order.
  std::string burst;
  for (int i = 1; i <= 50; ++i) {
    burst += wire::EncodeFrame(Property::Dictionary({{m::kOp, Property::String(m::kMachineStatus)},
                                                     {m::kSeq, Property::Integer(i)}}));
  }
  client.SendBytes(burst);
  for (int i = 1; i <= 50; ++i) {
    reply = client.Receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(wire::GetInteger(*reply, m::kSeq), i);
  }
}

TEST(RobustnessE2ETest, HostileFramesCostOnlyTheirOwnConnection) {
  TestMachine machine({.disk_count = 1});
  ASSERT_TRUE(machine.up());
  pid_t daemon = machine.daemon_pid();
  {
    RawClient huge(machine.root());
    huge.SendBytes("\xff\xff\xff\xf0");  // a length no frame may have
    EXPECT_FALSE(huge.Receive());        // the daemon hangs up
  }
  {
    RawClient truncated(machine.root());
    truncated.SendBytes(std::string("\x00\x00\x10\x00" "Dpartial", 12));
    truncated.Close();  // gone in the middle of a request
  }
  {
    // A client with a device open, notifications armed and a session, that vanishes.
    RawClient vanishing(machine.root());
    vanishing.Send(Op(m::kDeviceOpen, {{"path", Property::String("/dev/rdisk0")},
                                       {"writable", Property::Boolean(true)}}));
    ASSERT_TRUE(vanishing.Receive());
    vanishing.Send(Op(m::kRegistrySubscribe, {{"kind", Property::String("first-match")},
                                              {"matching", Property::Dictionary({})}}));
    ASSERT_TRUE(vanishing.Receive());
    vanishing.Send(Op(m::kDaStart, {{"callbacks", Property::Array({Property::String(m::kDaUnmountPre)})}}));
    ASSERT_TRUE(vanishing.Receive());
  }
  // Everyone else is still served, by the same daemon.
  auto host = machine.NewHost();
  EXPECT_TRUE(host->registry().GetMatchingService(platform::Matching::BSDNameMatching("disk0")));
  EXPECT_EQ(machine.daemon_pid(), daemon);
  EXPECT_EQ(::kill(daemon, 0), 0);
}

std::string U32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}

std::string Key(std::string_view key) { return U32(static_cast<uint32_t>(key.size())) + std::string(key); }

TEST(RobustnessE2ETest, ARequestThatWouldDecodeHugeIsRefusedAndEveryoneIsStillServed) {
  TestMachine machine({.disk_count = 1});
  ASSERT_TRUE(machine.up());
  pid_t daemon = machine.daemon_pid();
  RawClient hostile(machine.root());
  ASSERT_TRUE(hostile.connected());
  // A frame within the request size whose two million one-byte elements would each
  // become a value of tens of bytes in the daemon. Its number comes after them.
  uint32_t count = wire::kMaxRequestBody - 64;
  std::string body = "D" + U32(3) + Key("junk") + "a" + U32(count) + std::string(count, 't') +
                     Key(m::kOp) + "s" + Key(m::kMachineStatus) + Key(m::kSeq) + "i" + std::string(7, '\0') + "\x07";
  ASSERT_LE(body.size(), wire::kMaxRequestBody);
  hostile.SendBytes(U32(static_cast<uint32_t>(body.size())) + body);
  auto reply = hostile.Receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(wire::GetInteger(*reply, m::kStatus), E2BIG);
  EXPECT_EQ(wire::GetInteger(*reply, m::kSeq), 7);
  EXPECT_EQ(hostile.Status(Op(m::kMachineStatus)), 0);  // the stream stayed in step

  // A request through the client library that the daemon would refuse is refused
  // before it is sent, or answered at once: the connection stays usable either way.
  platform::MachineConnection connection(machine.root());
  connection.set_timeout_ms(5000);
  PropertyDictionary answer;
  EXPECT_EQ(connection.Call(platform::machine::MakeRequest(
                                m::kDeviceWrite, {{"handle", Property::Integer(1)},
                                                  {"offset", Property::Integer(0)},
                                                  {"data", Property::Data(std::vector<uint8_t>(wire::kMaxRequestBody))}}),
                            &answer),
            E2BIG);
  platform::PropertyArray many(wire::kRequestLimits.max_values, Property::Integer(0));
  EXPECT_EQ(connection.Call(platform::machine::MakeRequest(m::kMachineStatus, {{"many", Property::Array(many)}}), &answer),
            E2BIG);
  EXPECT_EQ(connection.Call(platform::machine::MakeRequest(m::kMachineStatus), &answer), 0);

  // A frame longer than any request may be costs its connection; the rest go on.
  RawClient oversized(machine.root());
  oversized.SendBytes(U32(wire::kMaxRequestBody + 1));
  EXPECT_FALSE(oversized.Receive());
  auto host = machine.NewHost();
  EXPECT_TRUE(host->registry().GetMatchingService(platform::Matching::BSDNameMatching("disk0")));
  EXPECT_EQ(hostile.Status(Op(m::kMachineStatus)), 0);
  EXPECT_EQ(machine.daemon_pid(), daemon);
}

TEST(RobustnessE2ETest, UnfinishedFramesOfManyClientsCannotPileUpInTheDaemon) {
  TestMachine machine({.disk_count = 0});
  ASSERT_TRUE(machine.up());
  pid_t daemon = machine.daemon_pid();
  // Each client sends all of a request but its last byte, and waits. Together they
  // would hold far more than the daemon keeps for its clients.
  constexpr int kClients = 100;
  std::string frame = U32(wire::kMaxRequestBody) + std::string(wire::kMaxRequestBody - 1, 'x');
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<RawClient>(machine.root()));
    ASSERT_TRUE(clients.back()->connected());
    (void)clients.back()->TrySend(frame);  // fails when this client was dropped meanwhile
  }
  // Two round trips: by the second, the daemon has read everything sent before and
  // closed the connections it dropped.
  RawClient fresh(machine.root());
  EXPECT_EQ(fresh.Status(Op(m::kMachineStatus)), 0);
  EXPECT_EQ(fresh.Status(Op(m::kMachineStatus)), 0);
  int dropped = 0;
  for (auto& client : clients) dropped += client->HungUp(0) ? 1 : 0;
  // At most 128 MiB for all of them (each holds up to twice its 2 MiB): well over
  // half are gone, and not everyone.
  EXPECT_GE(dropped, kClients / 2);
  EXPECT_LT(dropped, kClients);
  EXPECT_EQ(machine.daemon_pid(), daemon);
}

TEST(RobustnessE2ETest, AnUnmountDoesNotWaitForASessionThatVanished) {
  TestMachine machine({.disk_count = 0});
  ASSERT_TRUE(machine.up());
  std::string image = machine.CreateImage("hfs.img", 4 << 20);
  ASSERT_EQ(std::system(("hformat -l Vol " + image + " >/dev/null 2>&1").c_str()), 0);
  ASSERT_EQ(machine.AttachDisk(image, "ata0"), "disk0");

  RawClient silent(machine.root());  // takes pre-notifications and never answers
  silent.Send(Op(m::kDaStart, {{"callbacks", Property::Array({Property::String(m::kDaUnmountPre)})}}));
  ASSERT_TRUE(silent.Receive());
  auto host = machine.NewHost();
  platform::DiskArbitration& da = host->disk_arbitration();
  std::vector<std::pair<std::string, int32_t>> posts;
  da.OnUnmountPost([&](const std::string& bsd, int32_t error, int32_t) { posts.push_back({bsd, error}); });
  ASSERT_EQ(da.Start(), 0);
  ASSERT_EQ(da.RequestUnmount("disk0", platform::kDiskArbUnmountOneVolume), 0);
  auto pre = silent.Receive();  // asked, and then gone
  ASSERT_TRUE(pre);
  EXPECT_EQ(*wire::GetString(*pre, m::kEvent), m::kDaUnmountPre);
  silent.Close();
  ASSERT_TRUE(testing::RunUntil(*host, [&] { return !posts.empty(); }, 5));
  EXPECT_EQ(posts[0], std::make_pair(std::string("disk0"), int32_t{0}));
}

}  // namespace
}  // namespace sim
