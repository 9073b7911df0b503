// The hand-over from the server thread to a client thread, on its own: a
// frame-sized message posted to a MsgThread that sleeps between messages,
// timed from the post to the start of its handler.
#pragma once

#include <vector>

namespace bench {

/// Figures of MeasureThreadHop, in microseconds, one per message.
struct HopFigures {
  std::vector<double> postToHandlerUs;  ///< the hand-over itself
  std::vector<double> timerRestartUs;   ///< KillTimer + SetTimer in the handler
  double postCpuUs = 0;     ///< the poster's CPU time in PostThreadMessage, per message
  double threadCpuUs = 0;   ///< the receiving thread's CPU time per message: its
                            ///< wake-up, the handler and its going back to sleep
  int threadFds = -1;       ///< descriptors a MsgThread takes (construction + start)
};

/// Posts `count` messages of 46 bytes (a TFTP ACK behind its Ethernet
/// header), one at a time, each after the receiving thread has handled the
/// previous one (restarting its 500 ms timer, as a client does per block)
/// and has had `gapUs` microseconds to fall asleep. Empty figures when the
/// thread could not start.
HopFigures MeasureThreadHop(int count, int gapUs);

}  // namespace bench
