// Which helper executable a program runs: the engine (for the launcher and
// the window) or the window (for the launcher). The installed one, or the
// one found from the caller's folder in the same layout (build/bin/
// skav-server beside build/libexec/skav-server/, as /usr/bin and
// /usr/libexec; the window and the engine share their folder).
#pragma once

#include <string>

namespace remote {

/// The engine to run. A process holding privileges its user lacks (file
/// capabilities, or the ambient ones a unit gives) runs only the engine at
/// the path compiled in, never one found relative to itself; root runs
/// the one beside it only when root owns it and its folder and nobody
/// else may write them. Otherwise the one beside, when there is one.
std::string EngineProgram();
/// The window, by the same rule.
std::string WindowProgram();

}  // namespace remote
