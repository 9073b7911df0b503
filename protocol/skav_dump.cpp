// The one-line Debug Window text of a SKAV message, and the check that
// re-parses and shows every message just sent.
#include <arpa/inet.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "protocol/region.h"
#include "protocol/skav_msg.h"
#include "report/device_text.h"

namespace {

const char* CodeName(uint8_t code) {
  switch (code) {
    case SKAV_ADVERTISE: return "ADVERTISE";
    case SKAV_CONF_REQ: return "CONF-REQ";
    case SKAV_CONF_ACK: return "CONF-ACK";
    case SKAV_CLOSE_REQ: return "CLOSE-REQ";
    case SKAV_CLOSE_ACK: return "CLOSE-ACK";
    case SKAV_KEEP_ALIVE_REQ: return "KEEP-ALIVE-REQ";
    case SKAV_KEEP_ALIVE_ACK: return "KEEP-ALIVE-ACK";
    case SKAV_TFTP_UL_REQ: return "TFTP-UL-REQ";
    default: return "UNKNOWN-CODE";
  }
}

// Appends to a fixed text, never past its end; text stays NUL-terminated.
class TextBuilder {
 public:
  TextBuilder(char* text, size_t size) : text_(text), size_(size) {
    text_[0] = '\0';
  }

  void Add(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    if (Full()) return;
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text_ + used_, size_ - used_, format, args);
    va_end(args);
    if (n < 0) return;
    used_ += static_cast<size_t>(n);
    if (used_ > size_ - 1) used_ = size_ - 1;
  }

  // "0x" then the value bytes in hex; the count is the option's value length.
  void AddHex(const char* name, const SKAV_Opt& opt) {
    Add("%s(0x", name);
    if (opt.bytes != nullptr) {
      for (int i = 0; i < opt.length - kSkavOptHeaderLen && !Full(); ++i) {
        Add("%02x", opt.bytes[i]);
      }
    }
    Add(") ");
  }

 private:
  bool Full() const { return used_ + 1 >= size_; }

  char* text_;
  size_t size_;
  size_t used_ = 0;
};

void Dotted(const uint8_t* fourBytes, char (&out)[INET_ADDRSTRLEN]) {
  if (inet_ntop(AF_INET, fourBytes, out, sizeof out) == nullptr) out[0] = '\0';
}

}  // namespace

void SKAV_MsgDump(char* text, const SKAV_Msg& msg, Direction dir,
                  const uint8_t peerMac[6]) {
  TextBuilder t(text, kSkavDumpSize);
  t.Add("[%02x-%02x-%02x-%02x-%02x-%02x] %s SKAV %s: ", peerMac[0], peerMac[1],
        peerMac[2], peerMac[3], peerMac[4], peerMac[5],
        dir == Direction::kTx ? "TX" : "RX", CodeName(msg.code));

  const int32_t count = msg.optCount < 0             ? 0
                        : msg.optCount > kSkavMaxOpts ? kSkavMaxOpts
                                                      : msg.optCount;
  for (int32_t i = 0; i < count; ++i) {
    const SKAV_Opt& opt = msg.opts[i];
    switch (opt.type) {
      case SKAV_OPT_MAGIC_NO:
        t.AddHex("MAGIC-NO", opt);
        break;
      case SKAV_OPT_DEV_IP: {
        char addr[INET_ADDRSTRLEN] = "";
        char mask[INET_ADDRSTRLEN] = "";
        if (opt.bytes != nullptr) {
          Dotted(opt.bytes, addr);
          Dotted(opt.bytes + 4, mask);
        }
        t.Add("DEV-IP(%s/", addr);
        t.Add("%s) ", mask);
        break;
      }
      case SKAV_OPT_ID:
        t.AddHex("ID", opt);
        break;
      case SKAV_OPT_DEV_REGION:
        t.Add("DEV-REGION(%s) ", RegionName(static_cast<int32_t>(opt.number)));
        break;
      case SKAV_OPT_FW_UP:
        t.Add("FW-UP ");
        break;
      case SKAV_OPT_ST_UP:
        t.Add("ST-UP(%#08x) ", opt.number);
        break;
      case SKAV_OPT_FILE_NAME: {
        // The value is not NUL-terminated on the wire; the parser allows at
        // most 63 bytes, and a longer entry is cut rather than overread.
        // Its control characters are escaped, so that a name cannot break
        // the line.
        char name[4 * 63 + 1];
        size_t n = 0;
        if (opt.bytes != nullptr && opt.length > kSkavOptHeaderLen) {
          n = static_cast<size_t>(opt.length - kSkavOptHeaderLen);
          if (n > 63) n = 63;
        }
        EscapeDeviceText(name, sizeof name,
                         reinterpret_cast<const char*>(opt.bytes), n);
        t.Add("FILE-NAME(\"%s\") ", name);
        break;
      }
      default:
        break;
    }
  }
}

void SKAV_TxLog(const uint8_t* bytes, size_t count, const uint8_t dstMac[6],
                LogSink* logCtl) {
  // Nobody would see the result: skip the second parse.
  if (logCtl == nullptr) return;
  SKAV_Msg msg;
  int rc = SKAV_MsgParsing(bytes, count, msg);
  if (rc != 0) {
    DebugPrint(logCtl,
               "[Error] TX invalid SKAV msg to "
               "%02x-%02x-%02x-%02x-%02x-%02x (%d)\r\n",
               dstMac[0], dstMac[1], dstMac[2], dstMac[3], dstMac[4],
               dstMac[5], rc);
    return;
  }
  char text[kSkavDumpSize];
  SKAV_MsgDump(text, msg, Direction::kTx, dstMac);
  DebugPrint(logCtl, "%s\r\n", text);
}
