// SKAV messages: the parsed form, validation, building into a PktBuf, the
// one-line dump of every message, and the check after every send.
//
//   0      2      3      4      6
//   +------+------+------+------+-------------------------------+
//   | rsvd | code | rsvd | len  | options: type(2) len(2) value |
//   +------+------+------+------+-------------------------------+
//   all multi-byte fields big-endian; len covers the whole message
#pragma once

#include <cstddef>
#include <cstdint>

#include "report/debug_print.h"
#include "link/pkt_buf.h"

enum SkavCode : uint8_t {
  SKAV_ADVERTISE = 1,
  SKAV_CONF_REQ = 2,
  SKAV_CONF_ACK = 3,
  SKAV_CLOSE_REQ = 4,
  SKAV_CLOSE_ACK = 5,
  SKAV_KEEP_ALIVE_REQ = 6,
  SKAV_KEEP_ALIVE_ACK = 7,
  SKAV_TFTP_UL_REQ = 16,
};

enum SkavOptType : uint16_t {
  SKAV_OPT_MAGIC_NO = 1,
  SKAV_OPT_DEV_IP = 2,
  SKAV_OPT_ID = 3,
  SKAV_OPT_DEV_REGION = 4,
  SKAV_OPT_FW_UP = 0x0101,
  SKAV_OPT_ST_UP = 0x0102,
  SKAV_OPT_FILE_NAME = 0x0181,
};

constexpr int kSkavHeaderLen = 6;
constexpr int kSkavOptHeaderLen = 4;
constexpr int kSkavMaxLen = 1500;
constexpr int kSkavMaxOpts = 5;

/// One kept option. `bytes` points into the parsed message for MAGIC-NO,
/// DEV-IP, ID and FILE-NAME; `number` holds DEV-REGION and ST-UP in host
/// order; FW-UP keeps nothing.
struct SKAV_Opt {
  uint16_t type = 0;
  uint16_t length = 0;  ///< wire length, including the 4 header bytes
  const uint8_t* bytes = nullptr;
  uint32_t number = 0;
};

/// A parsed message; owns nothing, valid as long as the parsed bytes are.
struct SKAV_Msg {
  uint8_t code = 0;
  uint8_t reserved = 0;
  uint16_t length = 0;
  int32_t optCount = 0;
  SKAV_Opt opts[kSkavMaxOpts];
};

enum class OptCheck { kRecognised, kUnrecognised, kInvalid };

/// 0 when well-formed; 1 short or bad length or stray bytes; 3 a sixth
/// recognised option; 5 an option too long or breaking its rule.
int SKAV_MsgParsing(const uint8_t* bytes, size_t count, SKAV_Msg& msg);

/// The per-type rule; fills opt's value for a recognised option.
OptCheck SKAV_OptCheck(SKAV_Opt& opt, const uint8_t* value);

/// The DEV-IP rule on host-order address and mask.
bool SKAV_ValidAddrMask(uint32_t addr, uint32_t mask);

/// First kept option of `type`, or nullptr.
const SKAV_Opt* SKAV_FindOpt(const SKAV_Msg& msg, uint16_t type);

enum class Direction { kTx, kRx };

/// Size that always holds a dump (the longest is under 430 characters).
constexpr size_t kSkavDumpSize = 512;

/// Writes the one-line text of `msg` into `text` (kSkavDumpSize bytes).
void SKAV_MsgDump(char* text, const SKAV_Msg& msg, Direction dir,
                  const uint8_t peerMac[6]);

/// Parses a just-sent message and dumps it (or its parse error) to logCtl.
void SKAV_TxLog(const uint8_t* bytes, size_t count, const uint8_t dstMac[6],
                LogSink* logCtl);

/// Writes the 6-byte header in front of the empty buffer. 0, or 6 no room.
int SKAV_MsgInit(PktBuf& buf, uint8_t code, uint8_t reserved);

/// Appends an option with `n` value bytes and rewrites the message length.
/// 0; 6 no room; 2 message over 1500 bytes (or n too large to encode).
int SKAV_MsgAddOpt(PktBuf& buf, uint16_t type, const void* value, uint16_t n);
