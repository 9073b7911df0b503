// Where a transfer reads its device's replies (ACK, ERROR): from its own UDP
// socket, woken by the system as a TFTP client is, or from the capture,
// handed over by the server thread. The socket is tried first wherever the
// port delivers to sockets and the system fences it to the run's link; a
// transfer whose replies do not come that way (a firewall, the server
// address gone for a moment, a device answering from another address) goes
// on from the capture.
#pragma once

struct L2_If;
class CClientThread;

/// Before the bind of a transfer's socket: fences it to `link`, so that
/// what reaches it arrived on the run's link, never on another network of
/// the machine. True when the system took it: the socket is then bound to
/// the server address (allowed while the address is missing) and may carry
/// the replies. False: the socket is bound to any address and only holds
/// the port.
bool TFTPFenceReplySocket(int sock, const L2_If* link);

/// Chooses for a transfer whose socket has just been bound; `fenced` as
/// TFTPFenceReplySocket said.
void TFTPChooseReplyInput(CClientThread& client, bool fenced);

/// Gives back what TFTPChooseReplyInput took; closes the socket.
void TFTPEndReplyInput(CClientThread& client);

/// Reads the socket up to the device's first reply and hands it to the
/// transfer. Lock-step leaves no second one waiting: reading on would be a
/// system call after the next block went out, while the device is already
/// woken for it; a reply that does wait keeps the socket readable.
void TFTPReadSocketReply(CClientThread& client);

/// Reads what the socket holds and hands each reply of the device to the
/// transfer.
void TFTPReadSocketReplies(CClientThread& client);

/// A timeout while reading from the socket: the retransmission's reply is
/// taken from the capture.
void TFTPTakeRepliesFromCapture(CClientThread& client);

/// A reply came from the capture, before it is acted on: when the socket got
/// it too, the timeout before was a lost frame and the socket is read again
/// (from the next reply on); when not, this device's replies do not reach
/// the socket, and its later transfers use the capture from the start.
void TFTPNoteCapturedReply(CClientThread& client);
