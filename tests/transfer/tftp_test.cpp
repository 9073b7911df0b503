// The TFTP engine: IPv4 checksum, frames on the wire, the ACK and ERROR
// rules, block arithmetic at both ends of an image, and retransmission.
#include "transfer/tftp.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/client_harness.h"
#include "transfer/ipv4_udp.h"

using namespace harness;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Wire(uint16_t csum) {
  Bytes b(2);
  std::memcpy(b.data(), &csum, 2);
  return b;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Text(const char* s, bool withZero) {
  Bytes b(s, s + std::strlen(s));
  if (withZero) b.push_back(0);
  return b;
}

const Bytes kEthToDevice = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x02,
                            0x00, 0x00, 0x00, 0x00, 0x01, 0x08, 0x00};

// Sets up a transfer by hand so that identification and ports are fixed.
void InTransfer(TimedClient& c, int32_t state, int fileIndex, int blockNo,
                uint16_t ipId = 0x0100) {
  c.SetState(state);
  c.fileIndex = fileIndex;
  c.blockNo = blockNo;
  c.ipId = ipId;
  c.localPort = NetPort(0xC001);
  c.peerPort = NetPort(state == TftpUploading ? 69 : 40000);
}

// Frames in the capture: opcode, block and data of a DATA frame.
uint16_t Be16(const Bytes& f, size_t at) {
  return uint16_t(f[at] << 8 | f[at + 1]);
}
Bytes DataOf(const Bytes& frame) {
  return Bytes(frame.begin() + 46, frame.end());
}

// A received TFTP packet in an exact-size heap block.
int32_t Rx(TimedClient& c, const Bytes& pkt, uint16_t srcPort,
           uint32_t* timer) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[pkt.size()]);
  std::memcpy(copy.get(), pkt.data(), pkt.size());
  return TFTPRxPkt(c, copy.get(), static_cast<int>(pkt.size()),
                   NetPort(srcPort), timer);
}

}  // namespace

// --- checksum -------------------------------------------------------------

TEST(IPChecksum, KnownHeaderAndVerification) {
  // A classic worked example: 192.168.0.1 -> 192.168.0.199, checksum b861.
  const Bytes header = {0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40,
                        0x00, 0x40, 0x11, 0x00, 0x00, 0xc0, 0xa8,
                        0x00, 0x01, 0xc0, 0xa8, 0x00, 0xc7};
  EXPECT_EQ(Wire(IPChecksum(header.data(), 20, false)), (Bytes{0xb8, 0x61}));

  // With the field filled, the zero-field variant gives the same value and
  // the plain sum over the whole header is 0.
  Bytes filled = header;
  filled[10] = 0xb8;
  filled[11] = 0x61;
  EXPECT_EQ(Wire(IPChecksum(filled.data(), 20, true)), (Bytes{0xb8, 0x61}));
  EXPECT_EQ(IPChecksum(filled.data(), 20, false), 0);
  // The variant works on a copy: the caller's bytes stay as they were.
  EXPECT_EQ(filled[10], 0xb8);
}

TEST(IPChecksum, OddCountAndCarries) {
  // An odd last byte counts as its word's high byte: 0x01 -> 0x0100.
  const Bytes odd = {0x00, 0x01, 0x01};
  EXPECT_EQ(Wire(IPChecksum(odd.data(), 3, false)), (Bytes{0xfe, 0xfe}));
  // 0xffff + 0xffff + 0x0002 = 0x20000, folded 0x0002, complemented 0xfffd.
  const Bytes carry = {0xff, 0xff, 0xff, 0xff, 0x00, 0x02};
  EXPECT_EQ(Wire(IPChecksum(carry.data(), 6, false)), (Bytes{0xff, 0xfd}));
  EXPECT_EQ(Wire(IPChecksum(nullptr, 0, false)), (Bytes{0xff, 0xff}));
}

// --- frames on the wire ---------------------------------------------------

TEST(TftpFrames, FirmwareWrqFrameIs59BytesAsWritten) {
  Rig rig;
  rig.SetImage(0, Pattern(100));
  TimedClient& c = rig.MakeClient();
  InTransfer(c, TftpUploading, 0, 0, 0x1234);

  TFTPRetransmit(c);
  const Bytes expected =
      Cat({kEthToDevice,
           {0x45, 0x00, 0x00, 0x2d, 0x12, 0x34, 0x00, 0x00, 0x80, 0x11,
            0x14, 0x8a, 0x0a, 0x00, 0x00, 0x01, 0x0a, 0x00, 0x00, 0x02},
           {0xc0, 0x01, 0x00, 0x45, 0x00, 0x19, 0x00, 0x00},
           {0x00, 0x02},
           Text("firmware", true),
           Text("octet", true)});
  ASSERT_EQ(expected.size(), 59u);
  ASSERT_EQ(rig.Sent().size(), 1u);
  EXPECT_EQ(rig.Sent()[0], expected);
  EXPECT_EQ(rig.log.Lines(),
            (std::vector<std::string>{
                "[00-11-22-33-44-55] TX (re-transmit) TFTP WRQ\r\n"}));
  EXPECT_EQ(c.ipId, 0x1235);
}

TEST(TftpFrames, StringTableWrqNamesTwoDigits) {
  Rig rig;
  rig.SetImage(3, Pattern(10));
  TimedClient& c = rig.MakeClient();
  InTransfer(c, TftpUploading, 3, 0, 0x1234);

  TFTPRetransmit(c);
  const Bytes expected =
      Cat({kEthToDevice,
           {0x45, 0x00, 0x00, 0x34, 0x12, 0x34, 0x00, 0x00, 0x80, 0x11,
            0x14, 0x83, 0x0a, 0x00, 0x00, 0x01, 0x0a, 0x00, 0x00, 0x02},
           {0xc0, 0x01, 0x00, 0x45, 0x00, 0x20, 0x00, 0x00},
           {0x00, 0x02},
           Text("string table 03", true),
           Text("octet", true)});
  ASSERT_EQ(rig.Sent().size(), 1u);
  EXPECT_EQ(rig.Sent()[0], expected);
}

TEST(TftpFrames, FullDataFrameIs558BytesAsWritten) {
  Rig rig;
  const Bytes image = Pattern(1024, 7);
  rig.SetImage(0, image);
  TimedClient& c = rig.MakeClient();
  InTransfer(c, TftpSending, 0, 1);

  uint32_t timer = 1;
  EXPECT_EQ(Rx(c, Ack(1), 40000, &timer), TftpSending);
  EXPECT_EQ(timer, 500u);
  const Bytes expected =
      Cat({kEthToDevice,
           {0x45, 0x00, 0x02, 0x20, 0x01, 0x00, 0x00, 0x00, 0x80, 0x11,
            0x23, 0xcb, 0x0a, 0x00, 0x00, 0x01, 0x0a, 0x00, 0x00, 0x02},
           {0xc0, 0x01, 0x9c, 0x40, 0x02, 0x0c, 0x00, 0x00},
           {0x00, 0x03, 0x00, 0x02},
           Bytes(image.begin() + 512, image.end())});
  ASSERT_EQ(expected.size(), 558u);
  ASSERT_EQ(rig.Sent().size(), 1u);
  EXPECT_EQ(rig.Sent()[0], expected);
  EXPECT_EQ(c.blockNo, 2);
  EXPECT_EQ(c.dataLen, 512);
}

TEST(TftpFrames, ErrorFrameGoesToTheGivenPort) {
  Rig rig;
  rig.SetImage(0, Pattern(10));
  TimedClient& c = rig.MakeClient();
  InTransfer(c, TftpSending, 0, 1, 0x0200);

  EXPECT_EQ(
      TFTPSendError(c, NetPort(0x1111), 5, "Inconsistent UDP source port"), 0);
  const Bytes expected =
      Cat({kEthToDevice,
           {0x45, 0x00, 0x00, 0x3d, 0x02, 0x00, 0x00, 0x00, 0x80, 0x11,
            0x24, 0xae, 0x0a, 0x00, 0x00, 0x01, 0x0a, 0x00, 0x00, 0x02},
           {0xc0, 0x01, 0x11, 0x11, 0x00, 0x29, 0x00, 0x00},
           {0x00, 0x05, 0x00, 0x05},
           Text("Inconsistent UDP source port", true)});
  ASSERT_EQ(rig.Sent().size(), 1u);
  EXPECT_EQ(rig.Sent()[0], expected);
  EXPECT_TRUE(rig.log.Has(
      "[00-11-22-33-44-55] TX TFTP Error: Inconsistent UDP source port\r\n"));
}

TEST(TftpFrames, IdentificationAdvancesAndSkipsZeroOnWrap) {
  Rig rig;
  rig.SetImage(0, Pattern(2000));
  TimedClient& c = rig.MakeClient();
  InTransfer(c, TftpSending, 0, 1, 0xFFFE);
  c.dataPtr = rig.images.buf[0];
  c.dataLen = 512;

  for (int i = 0; i < 4; ++i) TFTPRetransmit(c);
  const auto sent = rig.Sent();
  ASSERT_EQ(sent.size(), 4u);
  const uint16_t ids[] = {0xFFFE, 0xFFFF, 0x0001, 0x0002};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(Be16(sent[i], 18), ids[i]) << "packet " << i;
    EXPECT_EQ(OnesComplementSum(sent[i].data() + 14, 20), 0) << "packet " << i;
  }
  // A DATA retransmission carries the same block and says nothing.
  EXPECT_EQ(Be16(sent[3], 44), 1);
  EXPECT_EQ(DataOf(sent[3]), Pattern(512));
  EXPECT_TRUE(rig.log.Lines().empty());
}

TEST(TftpFrames, DataThatDoesNotFitIsNotSent) {
  Rig rig;
  rig.SetImage(0, Pattern(10));
  TimedClient& c = rig.MakeClient();
  InTransfer(c, TftpSending, 0, 1);
  const Bytes big(700, 0x55);
  const uint8_t header[4] = {0, 3, 0, 1};
  EXPECT_EQ(TFTPSendPkt(c, c.peerPort, header, 4, big.data(), 700), 2);
  EXPECT_TRUE(rig.Sent().empty());
  EXPECT_TRUE(
      rig.log.Has("[Error] TFTPSendPkt(), no buf, data length: 700\r\n"));
}

TEST(TftpFrames, LinkFailureIsReported) {
  Rig rig;
  rig.SetImage(0, Pattern(10));
  TimedClient& c = rig.MakeClient();
  InTransfer(c, TftpSending, 0, 1);
  rig.port->SetSendFailure(true);
  const uint8_t header[4] = {0, 4, 0, 1};
  EXPECT_EQ(TFTPSendPkt(c, c.peerPort, header, 4, nullptr, 0), 3);
  EXPECT_TRUE(rig.log.Has("[Error] L2_TxPkt() fails in TFTPSendPkt() (6)\r\n"));
}

// --- starting a transfer --------------------------------------------------

TEST(TftpStart, ReservesAPortAndSendsTheWrq) {
  Rig rig;
  rig.SetImage(0, Pattern(10));
  TimedClient& c = rig.MakeClient();
  c.SetState(Active);
  c.fileIndex = 0;
  c.blockNo = 7;
  c.retryCount = 3;

  ASSERT_EQ(TFTPStartUpload(c), 0);
  ASSERT_NE(c.sock, -1);
  sockaddr_in bound{};
  socklen_t len = sizeof bound;
  ASSERT_EQ(getsockname(c.sock, reinterpret_cast<sockaddr*>(&bound), &len), 0);
  EXPECT_EQ(c.localPort, bound.sin_port);
  EXPECT_NE(c.localPort, 0);
  int rcvbuf = 0;
  socklen_t optLen = sizeof rcvbuf;
  ASSERT_EQ(getsockopt(c.sock, SOL_SOCKET, SO_RCVBUF, &rcvbuf, &optLen), 0);
  EXPECT_LE(rcvbuf, 4608);  // the kernel's floor, far below its default

  EXPECT_EQ(c.peerPort, NetPort(69));
  EXPECT_EQ(c.blockNo, 0);
  EXPECT_EQ(c.retryCount, 0);
  ASSERT_EQ(rig.Sent().size(), 1u);
  const Bytes frame = rig.Sent()[0];
  ASSERT_EQ(frame.size(), 59u);
  const uint16_t id = Be16(frame, 18);
  EXPECT_GE(id, 1000);
  EXPECT_LE(id, 1999);
  EXPECT_EQ(c.ipId, id + 1);
  EXPECT_EQ(Be16(frame, 34), HostPort(c.localPort));
  EXPECT_EQ(Be16(frame, 36), 69);
  EXPECT_EQ(OnesComplementSum(frame.data() + 14, 20), 0);
  EXPECT_EQ(Bytes(frame.begin() + 42, frame.end()),
            Cat({{0x00, 0x02}, Text("firmware", true), Text("octet", true)}));
  EXPECT_EQ(rig.log.Lines(),
            (std::vector<std::string>{"[00-11-22-33-44-55] TX TFTP WRQ\r\n"}));
}

TEST(TftpStart, EveryTransferHasAFreshSocketAndTheOldOneIsClosed) {
  Rig rig;
  rig.SetImage(0, Pattern(10));
  TimedClient& c = rig.MakeClient();
  c.SetState(Active);
  ASSERT_EQ(TFTPStartUpload(c), 0);
  const int fds = OpenFds();
  for (int i = 0; i < 5; ++i) ASSERT_EQ(TFTPStartUpload(c), 0);
  EXPECT_EQ(OpenFds(), fds);
}

TEST(TftpStart, SendFailureIsTheResult) {
  Rig rig;
  rig.SetImage(0, Pattern(10));
  TimedClient& c = rig.MakeClient();
  c.SetState(Active);
  rig.port->SetSendFailure(true);
  EXPECT_EQ(TFTPStartUpload(c), 3);
  EXPECT_TRUE(rig.log.Has("[Error] L2_TxPkt() fails in TFTPSendPkt() (6)\r\n"));
}

// --- ACK rules and block arithmetic -----------------------------------------

TEST(TftpAck, EmptyImageIsOneEmptyBlock) {
  Rig rig;
  rig.SetImage(2, {});
  TimedClient& c = rig.MakeClient();
  InTransfer(c, TftpUploading, 2, 0);

  uint32_t timer = 0;
  EXPECT_EQ(Rx(c, Ack(0), 41000, &timer), TftpLastBlock);
  EXPECT_EQ(timer, 500u);
  EXPECT_EQ(c.peerPort, NetPort(41000));  // the ACK's port is the device's
  ASSERT_EQ(rig.Sent().size(), 1u);
  const Bytes data = rig.Sent()[0];
  EXPECT_EQ(data.size(), 46u);
  EXPECT_EQ(Be16(data, 36), 41000);
  EXPECT_EQ(Bytes(data.begin() + 42, data.end()), (Bytes{0, 3, 0, 1}));

  c.SetState(TftpLastBlock);
  EXPECT_EQ(Rx(c, Ack(1), 41000, &timer), Active);
  EXPECT_EQ(timer, 60000u);
  EXPECT_EQ(rig.Sent().size(), 1u);
  EXPECT_EQ(rig.log.Lines(),
            (std::vector<std::string>{
                "[00-11-22-33-44-55] TFTP uploading done (file 2, explicitly "
                "acked), go to 'Active' state\r\n",
                "[00-11-22-33-44-55] TFTP upload completion status: FW (No), "
                "ST (0x000002)\r\n"}));
  EXPECT_TRUE(c.HasFlag(tftpDone));
}

TEST(TftpAck, ImageOfOneFullBlockEndsWithAnEmptyBlock) {
  Rig rig;
  const Bytes image = Pattern(512, 3);
  rig.SetImage(0, image);
  TimedClient& c = rig.MakeClient();
  InTransfer(c, TftpUploading, 0, 0);

  uint32_t timer = 0;
  c.SetState(Rx(c, Ack(0), 40000, &timer));
  EXPECT_EQ(c.State(), TftpSending);
  c.SetState(Rx(c, Ack(1), 40000, &timer));
  EXPECT_EQ(c.State(), TftpLastBlock);
  c.SetState(Rx(c, Ack(2), 40000, &timer));
  EXPECT_EQ(c.State(), Active);
  EXPECT_EQ(timer, 60000u);

  const auto sent = rig.Sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(Be16(sent[0], 44), 1);
  EXPECT_EQ(DataOf(sent[0]), image);
  EXPECT_EQ(Be16(sent[1], 44), 2);
  EXPECT_TRUE(DataOf(sent[1]).empty());
  EXPECT_TRUE(
      rig.log.Has("[00-11-22-33-44-55] TFTP upload completion status: "
                  "FW (Yea), ST (00000000)\r\n"));
  EXPECT_TRUE(c.HasFlag(tftpDone));
}

TEST(TftpAck, ShortLastBlockCarriesTheRest) {
  Rig rig;
  const Bytes image = Pattern(1000, 9);
  rig.SetImage(0, image);
  TimedClient& c = rig.MakeClient();
  InTransfer(c, TftpUploading, 0, 0);

  uint32_t timer = 0;
  c.SetState(Rx(c, Ack(0), 40000, &timer));
  c.retryCount = 3;
  c.SetState(Rx(c, Ack(1), 40000, &timer));
  EXPECT_EQ(c.State(), TftpLastBlock);
  EXPECT_EQ(c.retryCount, 0);  // every new block starts its own count
  const auto sent = rig.Sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(Cat({DataOf(sent[0]), DataOf(sent[1])}), image);
  EXPECT_EQ(DataOf(sent[1]).size(), 488u);
}

TEST(TftpAck, DuplicateStaleAndShortAcksChangeNothing) {
  Rig rig;
  rig.SetImage(0, Pattern(2000));
  TimedClient& c = rig.MakeClient();
  InTransfer(c, TftpUploading, 0, 0);

  uint32_t timer = 0;
  c.SetState(Rx(c, Ack(0), 40000, &timer));
  ASSERT_EQ(c.State(), TftpSending);
  rig.port->ClearSent();
  rig.log.Clear();

  const Bytes inputs[] = {Ack(0),
                          Ack(2),
                          Ack(0xFFFF),
                          Bytes{0, 4, 0},
                          Bytes{0, 3, 0, 1},
                          Bytes{0, 1, 'x', 0},
                          Bytes{0, 9, 0, 1}};
  for (const Bytes& in : inputs) {
    timer = 123;
    EXPECT_EQ(Rx(c, in, 40000, &timer), TftpSending);
    EXPECT_EQ(timer, 0u);
  }
  EXPECT_EQ(c.blockNo, 1);
  EXPECT_TRUE(rig.Sent().empty());
  EXPECT_TRUE(rig.log.Lines().empty());
  EXPECT_FALSE(c.HasFlag(tftpFailed));
}

TEST(TftpAck, BlockNumbersAreNotWrapped) {
  // 65536 full blocks: after block 65535 the next DATA carries number 0 on
  // the wire, no ACK can match it any more, and the transfer times out.
  Rig rig;
  const size_t size = 65536u * 512u;
  Bytes image(size);
  for (size_t i = 0; i < size; i += 512) image[i] = uint8_t(i / 512);
  rig.SetImage(0, image);
  TimedClient& c = rig.MakeClient();
  InTransfer(c, TftpSending, 0, 65535);
  c.dataPtr = rig.images.buf[0] + 65534u * 512u;
  c.dataLen = 512;

  uint32_t timer = 0;
  c.SetState(Rx(c, Ack(65535), 40000, &timer));
  EXPECT_EQ(c.State(), TftpSending);
  EXPECT_EQ(timer, 500u);
  EXPECT_EQ(c.blockNo, 65536);
  ASSERT_EQ(rig.Sent().size(), 1u);
  EXPECT_EQ(Be16(rig.Sent()[0], 44), 0);
  EXPECT_EQ(DataOf(rig.Sent()[0]), Bytes(image.end() - 512, image.end()));

  for (uint16_t block : {0, 65535, 1}) {
    EXPECT_EQ(Rx(c, Ack(block), 40000, &timer), TftpSending);
    EXPECT_EQ(timer, 0u);
  }
  EXPECT_EQ(rig.Sent().size(), 1u);

  for (int i = 0; i < 5; ++i) c.SKAVDOnTimer();
  EXPECT_EQ(rig.Sent().size(), 5u);  // four more sends of block "0"
  EXPECT_EQ(c.State(), Active);
  EXPECT_TRUE(c.HasFlag(tftpFailed));
}

// --- ERROR from the device ------------------------------------------------

TEST(TftpError, AbortsAnyOfTheThreeTransferStates) {
  for (int32_t state : {TftpUploading, TftpSending, TftpLastBlock}) {
    Rig rig;
    rig.SetImage(0, Pattern(2000));
    TimedClient& c = rig.MakeClient();
    InTransfer(c, state, 0, state == TftpUploading ? 0 : 1);
    c.dataPtr = rig.images.buf[0];

    uint32_t timer = 0;
    const Bytes err = Cat({{0, 5, 0, 3}, Text("Disk full", true)});
    EXPECT_EQ(Rx(c, err, 40000, &timer), Active) << state;
    EXPECT_EQ(timer, 60000u);
    EXPECT_TRUE(c.HasFlag(tftpFailed));
    EXPECT_FALSE(c.HasFlag(tftpDone));
    EXPECT_TRUE(rig.Sent().empty());
    EXPECT_EQ(rig.log.Lines(),
              (std::vector<std::string>{
                  "[00-11-22-33-44-55] RX TFTP Error (3): Disk full\r\n "
                  "Uploading aborts, go to 'Active' state\r\n"}));
  }
}

TEST(TftpError, TextWithoutZeroEndsAtThePacketEnd) {
  Rig rig;
  rig.SetImage(0, Pattern(10));
  TimedClient& c = rig.MakeClient();
  InTransfer(c, TftpSending, 0, 1);

  uint32_t timer = 0;
  // Exact-size heap copies: a read past the packet would be caught.
  EXPECT_EQ(
      Rx(c, Cat({{0, 5, 0x01, 0x02}, Text("no end", false)}), 40000, &timer),
      Active);
  EXPECT_EQ(Rx(c, Bytes{0, 5, 0, 0}, 40000, &timer), Active);
  EXPECT_EQ(rig.log.Lines(),
            (std::vector<std::string>{
                "[00-11-22-33-44-55] RX TFTP Error (258): no end\r\n "
                "Uploading aborts, go to 'Active' state\r\n",
                "[00-11-22-33-44-55] RX TFTP Error (0): \r\n "
                "Uploading aborts, go to 'Active' state\r\n"}));
}

TEST(TftpError, ControlCharactersInTheTextCannotStartALineOfTheDevicesMaking) {
  Rig rig;
  rig.SetImage(0, Pattern(10));
  TimedClient& c = rig.MakeClient();
  InTransfer(c, TftpSending, 0, 1);

  uint32_t timer = 0;
  const Bytes err =
      Cat({{0, 5, 0, 1}, Text("gone\r\nNew client: 02-00-00-00-00-09\x1b[2J\t.", true)});
  EXPECT_EQ(Rx(c, err, 40000, &timer), Active);
  EXPECT_EQ(rig.log.Lines(),
            (std::vector<std::string>{
                "[00-11-22-33-44-55] RX TFTP Error (1): gone\\r\\nNew client: "
                "02-00-00-00-00-09\\x1b[2J\\t.\r\n "
                "Uploading aborts, go to 'Active' state\r\n"}));
}

// --- received datagram checks (pure) --------------------------------------

TEST(Ipv4UdpParse, SoundDatagramIsAcceptedPaddingIgnored) {
  Bytes pkt = DevicePacket(40000, 0xC001, Ack(3));
  pkt.resize(46, 0);  // Ethernet padding of a minimum frame
  UdpDatagramView v;
  ASSERT_TRUE(ParseIpv4Udp(pkt.data(), pkt.size(), v));
  EXPECT_EQ(v.srcPortNet, NetPort(40000));
  EXPECT_EQ(v.dstPortNet, NetPort(0xC001));
  EXPECT_EQ(v.payloadLen, 4);
  EXPECT_EQ(v.payload, pkt.data() + 28);
}
