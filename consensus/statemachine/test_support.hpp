#pragma once
// Shared pieces of the state machine's tests: a view whose identities are
// listed in rotation order, the fixture that makes machines on it, and
// whole-sequence text forms of step results.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
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

// Members of stake 1 (four over slots 0..99 unless a test says otherwise),
// ids[i] rotation member i, and machines for them on one simulated clock.
// A machine starts from `tip` (the all-zero certificate of a fresh node
// unless a test sets another) with `config` (a 2 s liveness timeout).
class MachineTest : public testing::Test {
protected:
    explicit MachineTest(uint32_t n = 4, uint64_t start = 0, uint64_t end = 100) { seat(n, start, end); }

    // Replaces the members with n fresh ones over [start, end).
    void seat(uint32_t n, uint64_t start = 0, uint64_t end = 100) {
        RotationMembers m = rotation_members(n, start, end);
        view.emplace(std::move(m.view));
        ids = std::move(m.ids);
    }

    ChainStateSnapshot snapshot() const { return ChainStateSnapshot{std::nullopt, tip, std::nullopt, *view, false}; }

    Machine make(const NodeIdentity& id, ChainStateSnapshot snap, size_t vesk_idx, NodeConfig node_config) {
        return Machine::new_with_config_and_timestamper(id, vesk_idx, std::move(snap), std::move(node_config),
                                                        EntryContainer::make().first, clock);
    }
    Machine make(size_t member, ChainStateSnapshot snap, size_t vesk_idx = 0) {
        return make(ids[member], std::move(snap), vesk_idx, config);
    }
    Machine make(size_t member) { return make(member, snapshot()); }

    SimulatedTimestamper clock;
    std::optional<QuorumView> view;
    std::vector<NodeIdentity> ids;
    QuorumCertificate tip;
    NodeConfig config{std::nullopt, std::chrono::seconds(2), false};
};

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

// Entry and entries hashes laid out byte by byte here, so that tests of the
// code that cuts and hashes entries have expected values of their own.
inline Hash expected_entry_hash(uint64_t slot, uint64_t index, const BlsPubkey& producer,
                                const std::vector<std::vector<uint8_t>>& txs) {
    const std::string_view tag = "vesk-entry-hash";
    std::vector<uint8_t> b(tag.begin(), tag.end());
    auto u64 = [&](uint64_t v) {
        std::array<uint8_t, 8> le;
        for (size_t i = 0; i < le.size(); ++i) le[i] = static_cast<uint8_t>(v >> (8 * i));
        b.insert(b.end(), le.begin(), le.end());
    };
    u64(slot);
    u64(index);
    b.push_back(0);  // flag
    u64(txs.size());
    for (const auto& t : txs) {
        u64(t.size());
        b.insert(b.end(), t.begin(), t.end());
    }
    b.insert(b.end(), producer.bytes.begin(), producer.bytes.end());
    return hashv({b});
}

inline Hash expected_entries_hash(const Hash& seed, const std::vector<Hash>& entries) {
    const std::string_view tag = "vesk-entries-hash";
    std::vector<uint8_t> b(tag.begin(), tag.end());
    b.insert(b.end(), seed.bytes.begin(), seed.bytes.end());
    for (const Hash& e : entries) b.insert(b.end(), e.bytes.begin(), e.bytes.end());
    return hashv({b});
}

}  // namespace vesk::testsupport
