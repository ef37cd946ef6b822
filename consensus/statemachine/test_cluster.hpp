#pragma once
// A small cluster of state machines for tests and benchmarks, driven only
// through tick, receive and queue_processed_block. It stands in for the node
// adapter: it has the leader prepare its record for the next slot and reports
// every received proposal that extends a node's tip as processed, with an
// all-zero bank hash as the adapter does.
#include <algorithm>
#include <deque>
#include <functional>

#include "base/text.hpp"
#include "consensus/statemachine/statemachine.hpp"
#include "consensus/test_keys.hpp"

namespace vesk::testcluster {

using namespace std::chrono_literals;
using Machine = VeskStatemachine<SimulatedTimestamper>;

class Cluster {
public:
    Cluster(uint32_t n, bool batch_votes) {
        auto ids = testkeys::identities(n);
        auto members = testkeys::stake_one_members(ids);
        view.emplace(0, 10000, members);
        for (const BlsPubkey& k : view->keys) {
            auto& id = *std::find_if(ids.begin(), ids.end(), [&](auto& x) { return x.pubkey == k; });
            nodes.push_back(Machine::new_with_config_and_timestamper(
                id, 0, ChainStateSnapshot{std::nullopt, QuorumCertificate{}, std::nullopt, *view, false},
                NodeConfig{EquivocationDetector{}, 2s, false}, EntryContainer::make().first, clock));
            nodes.back().vote_verifier.enabled = batch_votes;
        }
    }

    size_t index_of(const BlsPubkey& k) const {
        for (size_t i = 0; i < nodes.size(); ++i) {
            if (nodes[i].identity.pubkey == k) return i;
        }
        return nodes.size();
    }
    std::optional<size_t> leader() const {
        for (size_t i = 0; i < nodes.size(); ++i) {
            if (!silent[i] && nodes[i].am_vesk_for_slot(nodes[i].tip_slot() + 1)) return i;
        }
        return std::nullopt;
    }

    // The adapter's block execution: a stored proposal that extends the tip
    // is reported as processed.
    void replay(size_t i) {
        Machine& m = nodes[i];
        auto& store = stored[i];
        for (auto it = store.begin(); it != store.end();) {
            const BlockProposalMessage& p = it->proposal;
            if (p.slot <= m.tip_slot()) {
                it = store.erase(it);
                continue;
            }
            if (p.slot == m.tip_slot() + 1 && p.parent_qc_id == m.tip_qc.message.qc_id) {
                ProcessedParent parent{m.tip_qc.message.bank_hash, m.tip_qc.message.vesk_id, m.tip_slot()};
                collect(i, m.queue_processed_block(it->pubkey, p, Hash{}, CrosschainCommitment{}, parent));
                it = store.erase(it);
                continue;
            }
            ++it;
        }
    }

    void collect(size_t from, SubResult r) {
        for (auto& e : r.events) log.push_back({from, std::move(e)});
        for (auto& env : r.messages) {
            if (auto* b = std::get_if<Broadcast>(&env)) {
                for (size_t t = 0; t < nodes.size(); ++t) {
                    if (t != from) wire.push_back({t, b->message});
                }
            } else {
                auto& u = std::get<Unicast>(env);
                wire.push_back({index_of(u.recipient), std::move(u.message)});
            }
        }
    }

    void deliver_all() {
        while (!wire.empty()) {
            std::deque<std::pair<size_t, ConsensusMessage>> wave;
            wave.swap(wire);
            for (auto& [to, msg] : wave) {
                if (to >= nodes.size() || silent[to]) continue;
                if (const auto* p = msg.get_if<SignedBlockProposalMessage>()) stored[to].push_back(*p);
                if (tamper) tamper(to, msg);
                collect(to, nodes[to].receive(std::move(msg)));
                replay(to);
            }
            // Nodes with queued votes verify them on their next tick.
            for (size_t i = 0; i < nodes.size(); ++i) {
                if (!silent[i] && nodes[i].vote_verifier.queue_len() + nodes[i].vote_verifier.ready_len() > 0) {
                    collect(i, nodes[i].tick());
                }
            }
        }
    }

    // One round: the leader gets transactions and ticks; everything is
    // delivered; the clock moves on.
    void round(size_t txs_per_block) {
        if (auto l = leader()) {
            Machine& m = nodes[*l];
            for (size_t k = 0; k < txs_per_block; ++k) {
                Transaction t;
                t.bytes = {static_cast<uint8_t>(k), static_cast<uint8_t>(m.tip_slot())};
                t.id = hashv({t.bytes});
                m.pending_txs.push_back(t);
            }
            m.prepare_next_block();
            collect(*l, m.tick());
            // Followers get the leader's entries, as announced.
            uint64_t slot = m.tip_slot() + 1;
            if (auto entries = m.entry_container.get(m.identity.pubkey, slot)) {
                for (size_t i = 0; i < nodes.size(); ++i) {
                    if (i == *l) continue;
                    for (const auto& [index, e] : *entries) nodes[i].entry_container.add(e);
                }
            }
        }
        deliver_all();
        clock.advance(10ms);
    }

    size_t count(std::string_view kind) const {
        return std::count_if(log.begin(), log.end(), [&](const auto& e) {
            std::string t = to_debug(e.second);
            return t.substr(0, t.find(' ')) == kind;
        });
    }

    SimulatedTimestamper clock;
    std::optional<QuorumView> view;
    std::vector<Machine> nodes;
    std::vector<bool> silent = std::vector<bool>(16, false);
    std::vector<std::vector<SignedBlockProposalMessage>> stored = std::vector<std::vector<SignedBlockProposalMessage>>(16);
    std::deque<std::pair<size_t, ConsensusMessage>> wire;
    std::vector<std::pair<size_t, ConsensusLogEvent>> log;
    std::function<void(size_t, ConsensusMessage&)> tamper;
};

}  // namespace vesk::testcluster
