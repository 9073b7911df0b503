// Which engine executable a front end runs: the installed one, or the one
// beside the launcher in the same layout (build/bin/skav-server and
// build/libexec/skav-server/skav-engine, as /usr/bin and /usr/libexec).
#pragma once

#include <string>

namespace remote {

/// The engine to run. A process holding privileges its user lacks (file
/// capabilities, or the ambient ones a unit gives) runs only the engine at
/// the path compiled in, never one found relative to itself; root runs
/// the one beside it only when root owns it and its folder and nobody
/// else may write them. Otherwise the one beside, when there is one.
std::string EngineProgram();

}  // namespace remote
