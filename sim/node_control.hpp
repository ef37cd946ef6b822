#pragma once
// An order to one node thread of a threaded run. The runtime carries it out,
// a script gives it and the event log shows it, so it stands on its own.
#include <string>

namespace vesk {

enum class NodeControlMessage { Pause, Resume, Finish };

// The bare variant name.
void debug(std::string& out, NodeControlMessage m);

}  // namespace vesk
