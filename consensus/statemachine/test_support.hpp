#pragma once
// Shared pieces of the state machine's tests: a view whose identities are
// listed in rotation order, and whole-sequence text forms of step results.
#include <algorithm>
#include <string>
#include <vector>

#include "base/text.hpp"
#include "consensus/statemachine/statemachine.hpp"
#include "consensus/test_keys.hpp"

namespace vesk::testsupport {

using Machine = VeskStatemachine<SimulatedTimestamper>;
using Texts = std::vector<std::string>;

// n members of stake 1 over [start, end); ids[i] is rotation member i.
struct RotationMembers {
    QuorumView view;
    std::vector<NodeIdentity> ids;
};

inline RotationMembers rotation_members(uint32_t n, uint64_t start = 0, uint64_t end = 100) {
    auto all = testkeys::identities(n);
    auto members = testkeys::stake_one_members(all);
    RotationMembers out{QuorumView(start, end, members), {}};
    for (const BlsPubkey& k : out.view.keys) {
        out.ids.push_back(*std::find_if(all.begin(), all.end(), [&](auto& x) { return x.pubkey == k; }));
    }
    return out;
}

inline Texts event_texts(const SubResult& r) {
    Texts out;
    for (const auto& e : r.events) out.push_back(to_debug(e));
    return out;
}

// Event kinds only: "CertificateValid { ... }" gives "CertificateValid".
inline Texts event_kinds(const SubResult& r) {
    Texts out;
    for (const auto& e : r.events) {
        std::string t = to_debug(e);
        out.push_back(t.substr(0, t.find(' ')));
    }
    return out;
}

// "Unicast(<key>, Kind)" / "Broadcast(Kind)" per envelope.
inline Texts message_texts(const SubResult& r) {
    Texts out;
    for (const auto& env : r.messages) {
        if (const auto* u = std::get_if<Unicast>(&env)) {
            out.push_back(format("Unicast({:?}, {})", u->recipient, u->message.kind_name()));
        } else {
            out.push_back(format("Broadcast({})", std::get<Broadcast>(env).message.kind_name()));
        }
    }
    return out;
}

inline Hash filled(uint8_t v) {
    Hash h;
    h.bytes.fill(v);
    return h;
}

}  // namespace vesk::testsupport
