// The socket that holds a transfer's port: when the system refuses to make
// or bind it, the device's request fails with the engine's line, result 4
// and the client's own line, and no descriptor is left behind. The
// failures are injected by standing in for socket() and bind() in this
// test program.
#include <dlfcn.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/client_harness.h"
#include "transfer/tftp.h"

namespace {

// errno to fail with; 0 lets the call through to the system.
std::atomic<int> gSocketFails{0};
std::atomic<int> gBindFails{0};

}  // namespace

extern "C" int socket(int domain, int type, int protocol) __THROW {
  using Real = int (*)(int, int, int);
  static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "socket"));
  if (const int e = gSocketFails.load()) {
    errno = e;
    return -1;
  }
  return real(domain, type, protocol);
}

extern "C" int bind(int fd, const sockaddr* addr, socklen_t len) __THROW {
  using Real = int (*)(int, const sockaddr*, socklen_t);
  static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "bind"));
  if (const int e = gBindFails.load()) {
    errno = e;
    return -1;
  }
  return real(fd, addr, len);
}

namespace {

using namespace harness;
using Lines = std::vector<std::string>;


struct Disarm {
  ~Disarm() {
    gSocketFails = 0;
    gBindFails = 0;
  }
};

TEST(TftpSocket, RefusedSocketOrBindFailsTheRequestAndLeavesNoDescriptor) {
  struct Case {
    int socketErrno;
    int bindErrno;
    bool heldBefore;  // a socket of an earlier transfer is still held
    const char* line;
  };
  const Case cases[] = {
      {EMFILE, 0, false, "[Error] Fail to create socket for the TFTP client (24)\r\n"},
      {0, EADDRINUSE, false, "[Error] Fail to bind socket for the TFTP client (98)\r\n"},
      {0, EADDRINUSE, true, "[Error] Fail to bind socket for the TFTP client (98)\r\n"},
      {ENOBUFS, 0, true, "[Error] Fail to create socket for the TFTP client (105)\r\n"},
  };
  Disarm disarm;
  for (const Case& k : cases) {
    Rig rig;
    rig.SetImage(0, Pattern(10));
    TimedClient& c = rig.MakeClient();
    const int fds = OpenFds();
    Skav(c, kConfReq);
    if (k.heldBefore) {
      Skav(c, kUlReq);
      ASSERT_NE(c.sock, -1);
      c.SetState(Active);  // as after the transfer's end
    }
    rig.port->ClearSent();
    rig.log.Clear();
    const auto started = c.started;

    gSocketFails = k.socketErrno;
    gBindFails = k.bindErrno;
    Skav(c, kUlReq);
    gSocketFails = 0;
    gBindFails = 0;

    EXPECT_EQ(rig.log.Lines(),
              (Lines{std::string(kMacTag) + " RX SKAV TFTP-UL-REQ: \r\n", k.line,
                     std::string(kMacTag) +
                         " Fail to start TFTP firmware uploading (4), file (0)\r\n"}))
        << k.line;
    EXPECT_EQ(c.State(), Active);
    auto restarted = started;
    restarted.push_back(60000);
    EXPECT_EQ(c.started, restarted);
    EXPECT_TRUE(rig.Sent().empty());
    EXPECT_EQ(c.sock, -1);
    EXPECT_EQ(OpenFds(), fds) << k.line;

    // The next request, with the system willing again, is served.
    Skav(c, kUlReq);
    EXPECT_EQ(c.State(), TftpUploading);
    EXPECT_EQ(rig.Sent().size(), 1u);
  }
}

}  // namespace
