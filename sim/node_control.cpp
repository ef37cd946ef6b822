#include "sim/node_control.hpp"

#include "base/contract.hpp"

namespace vesk {

void debug(std::string& out, NodeControlMessage m) {
    switch (m) {
        case NodeControlMessage::Pause:
            out += "Pause";
            return;
        case NodeControlMessage::Resume:
            out += "Resume";
            return;
        case NodeControlMessage::Finish:
            out += "Finish";
            return;
    }
    contract_fail("node control message out of range");
}

}  // namespace vesk
