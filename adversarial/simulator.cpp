#include "adversarial/simulator.hpp"

#include <algorithm>
#include <set>

#include "base/bytes.hpp"
#include "base/contract.hpp"
#include "base/saturating.hpp"
#include "base/text.hpp"
#include "consensus/bls.hpp"

namespace vesk {

namespace {

using namespace std::chrono_literals;

constexpr size_t TXS_PER_ROUND = 3;

}  // namespace

ConsensusSimulator::ConsensusSimulator(SimConfig cfg) : config(std::move(cfg)) {
    std::vector<BlsSecretKey> secrets;
    std::vector<std::pair<BlsPubkey, uint64_t>> members;
    for (const auto& seed : NODE_SEEDS) {
        secrets.push_back(bls::keygen(seed));
        members.emplace_back(bls::pubkey_from_secret(secrets.back()), 1);
    }
    const QuorumView view(0, 10000, members);
    const ChainStateSnapshot snapshot{std::nullopt, QuorumCertificate{}, std::nullopt, view, true};

    nodes.reserve(view.len());
    for (const BlsPubkey& key : view.keys) {
        auto it = std::find_if(members.begin(), members.end(), [&](const auto& m) { return m.first == key; });
        contract_check(it != members.end(), "every view pubkey is one of the generated keys");
        NodeIdentity identity(secrets[static_cast<size_t>(it - members.begin())]);
        NodeConfig node_config{EquivocationDetector{}, 2s, false};
        auto state = Node::Machine::new_with_config_and_timestamper(
            std::move(identity), 0, snapshot, std::move(node_config), EntryContainer::make().first, clock);
        state.vote_verifier.enabled = true;
        nodes.emplace_back(std::move(state));
    }
}

bool ConsensusSimulator::should_drop_message(size_t from, size_t to, std::span<const Fault> active) {
    auto in = [](const std::vector<size_t>& group, size_t k) {
        return std::find(group.begin(), group.end(), k) != group.end();
    };
    auto splits = [&](const std::vector<size_t>& a, const std::vector<size_t>& b) {
        return (in(a, from) && in(b, to)) || (in(b, from) && in(a, to));
    };
    return std::any_of(active.begin(), active.end(), [&](const Fault& f) {
        if (const auto* p = std::get_if<Fault::Partition>(&f.value)) return splits(p->group_a, p->group_b);
        // Only in force in its partitioned rounds (see active_faults).
        if (const auto* p = std::get_if<Fault::FlipFlopPartition>(&f.value)) return splits(p->group_a, p->group_b);
        if (const auto* d = std::get_if<Fault::DropMessages>(&f.value)) return d->node == from || d->node == to;
        return false;
    });
}

std::vector<ConsensusSimulator::Delivery> ConsensusSimulator::unpack_nodelogic_messages(
    size_t sender, std::vector<Node::Message> messages) const {
    std::vector<Delivery> out;
    for (Node::Message& m : messages) {
        if (auto* b = std::get_if<Node::Message::Broadcast>(&m.value)) {
            for (size_t j = 0; j < nodes.size(); ++j) {
                if (j != sender) out.push_back(Delivery{b->msg, sender, j, b->delay});
            }
        } else {
            auto& u = std::get<Node::Message::Unicast>(m.value);
            for (size_t j = 0; j < nodes.size(); ++j) {
                if (nodes[j].state.identity.pubkey == u.to) {
                    out.push_back(Delivery{std::move(u.msg), sender, j, u.delay});
                    break;
                }
            }
        }
    }
    return out;
}

std::array<bool, ConsensusSimulator::NODE_COUNT> ConsensusSimulator::crashed_in(std::span<const Fault> active,
                                                                                uint64_t round) const {
    std::array<bool, NODE_COUNT> crashed{};
    for (size_t k = 0; k < NODE_COUNT; ++k) crashed[k] = is_crashed(k, round, active);
    return crashed;
}

void ConsensusSimulator::inject_transactions(uint64_t round, uint64_t next) {
    Node::Machine& l = nodes[leader].state;
    last_injected = next;
    for (uint64_t i = 0; i < TXS_PER_ROUND; ++i) {
        Transaction tx;
        tx.bytes = ByteWriter(24).u64(config.seed).u64(round).u64(i).take();
        tx.id = hashv({tx.bytes});
        l.pending_txs.push_back(std::move(tx));
    }
    // The tick will cut these as well: the record is made anew for them.
    l.proposals[{l.identity.pubkey, next}].replayed_entries_hash.reset();
}

// The leader's entries reach every other node directly, whatever the faults:
// the harness has no block transport of its own.
void ConsensusSimulator::copy_leader_entries(const std::vector<Delivery>& deliveries) {
    std::set<uint64_t> slots;
    for (const Delivery& d : deliveries) {
        if (const auto* a = d.message.get_if<SignedEntryAnnouncement>()) slots.insert(a->slot);
    }
    const Node::Machine& l = nodes[leader].state;
    for (uint64_t s : slots) {
        std::optional<SlotEntriesMap> entries = l.entry_container.get(l.identity.pubkey, s);
        if (!entries) continue;
        for (const auto& [index, entry] : *entries) {
            for (size_t j = 0; j < nodes.size(); ++j) {
                if (j != leader) nodes[j].state.entry_container.add(entry);
            }
        }
    }
}

void ConsensusSimulator::dispatch(std::vector<Delivery> deliveries, uint64_t round, std::span<const Fault> active,
                                  std::vector<Delivery>& wave) {
    for (Delivery& d : deliveries) {
        if (should_drop_message(d.from, d.to, active)) {
            log_.push(round, SimEvent::MessageDropped{d.from, d.to});
        } else {
            wave.push_back(std::move(d));
        }
    }
}

void ConsensusSimulator::run_round(uint64_t r) {
    const std::vector<Fault> active = active_faults(config.faults, r);
    const auto crashed = crashed_in(active, r);
    if (crashed[leader]) {
        log_.push(r, SimEvent::Note{format("Vesk node {} crashed", leader)});
        return;
    }

    Node& l = nodes[leader];
    const uint64_t next = sat_add(l.state.tip_slot(), uint64_t{1});
    if (last_injected != next) inject_transactions(r, next);
    l.state.prepare_next_block();

    std::vector<Delivery> first = unpack_nodelogic_messages(leader, l.tick().messages);
    copy_leader_entries(first);
    std::vector<Delivery> wave;
    dispatch(std::move(first), r, active, wave);

    while (!wave.empty()) {
        std::vector<Delivery> next_wave;
        for (Delivery& d : wave) {
            const size_t t = d.to;
            if (crashed[t]) continue;
            std::vector<Node::Message> out;
            // The node asks to be drained before it takes more, as in a threaded run.
            if (!nodes[t].can_receive()) out = nodes[t].tick().messages;
            auto received = nodes[t].receive(std::move(d.message)).messages;
            out.insert(out.end(), std::make_move_iterator(received.begin()), std::make_move_iterator(received.end()));
            dispatch(unpack_nodelogic_messages(t, std::move(out)), r, active, next_wave);
        }
        for (size_t k = 0; k < nodes.size(); ++k) {
            if (!crashed[k] && nodes[k].tick_requested()) {
                dispatch(unpack_nodelogic_messages(k, nodes[k].tick().messages), r, active, next_wave);
            }
        }
        wave = std::move(next_wave);
    }

    const uint64_t cur = l.state.tip_slot();
    const uint64_t last = history.empty() ? 0 : history.back();
    if (last < cur) history.push_back(cur);
    clock.advance(tick);
    if (last < cur) log_.push(r, SimEvent::LeaderFinalized{cur, leader});
}

SimResult ConsensusSimulator::run() {
    log_ = SimLog{};
    log_.push(0, SimEvent::Started{});
    for (uint64_t r = 0; r < config.rounds; ++r) run_round(r);

    const Chain chain = invariants::chain_from_history(history);
    std::vector<InvariantResult> results = invariants::check_all(chain, log_);
    for (const InvariantResult& res : results) {
        if (!res.passed) log_.push(config.rounds, SimEvent::InvariantViolated{res.name, res.message});
    }

    SimResult out;
    out.log = std::move(log_);
    out.invariants = std::move(results);
    out.finalized_slots = history;
    for (size_t i = 0; i < nodes.size(); ++i) out.per_node.emplace_back(i, nodes[i].state.tip_slot());
    out.leader_finalized = nodes[leader].state.tip_slot();
    return out;
}

std::string SimResult::summary() const {
    std::string lagging;
    for (const auto& [node, tip] : per_node) {
        if (tip >= leader_finalized) continue;
        if (!lagging.empty()) lagging += ", ";
        lagging += format("node {}@slot {}", node, tip);
    }
    if (lagging.empty()) lagging = "none";

    std::string out = format("Rounds: {}, Finalized slots: ", finalized_slots.size());
    debug(out, finalized_slots);
    out += format(", Leader finalized: {}, Lagging: [{}], Invariants:\n  ", leader_finalized, lagging);
    for (size_t i = 0; i < invariants.size(); ++i) {
        const InvariantResult& r = invariants[i];
        if (i > 0) out += "\n  ";
        out += format("[{}] {}: {}", r.passed ? "PASS" : "FAIL", r.name, r.message);
    }
    return out;
}

}  // namespace vesk
