#pragma once
// The interface the runtime drives a simulated node through, and the node
// adapter that wraps one consensus state machine.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "base/clock.hpp"
#include "base/contract.hpp"
#include "base/saturating.hpp"
#include "consensus/statemachine/statemachine.hpp"
#include "sim/logging.hpp"
#include "sim/timestamp.hpp"

namespace vesk {

// One outgoing message.
template <class Msg, class Id>
struct NodeLogicMessage {
    struct Unicast {
        Id to;
        std::optional<float> delay;  // extra delay in milliseconds
        Msg msg;
    };
    // Goes to every node, the sender included.
    struct Broadcast {
        std::optional<float> delay;
        Msg msg;
    };
    std::variant<Unicast, Broadcast> value;
};

template <class Msg, class Id, class Event>
struct NodeLogicResult {
    std::vector<NodeLogicMessage<Msg, Id>> messages;  // in sending order
    std::vector<LogEvent<Id, Event>> logs;            // source: the node itself
};

// A simulated node, held as std::unique_ptr<NodeLogic<...>> and moved to the
// thread that drives it; dynamic_cast recovers the concrete type.
template <class Id, class Event, class Msg>
class NodeLogic {
public:
    using Result = NodeLogicResult<Msg, Id, Event>;

    virtual ~NodeLogic() = default;
    virtual Result tick() = 0;
    virtual Result receive(Msg msg) = 0;
    virtual bool can_receive() const = 0;
    virtual bool tick_requested() const = 0;
    virtual Id get_id() const = 0;
};

// A callback behind its own lock, shared by every node it is installed in.
// A call that fails while holding the lock poisons it: later calls are a
// broken contract.
template <class Sig>
struct SharedHook {
    std::mutex mutex;
    std::function<Sig> callback;
    bool poisoned = false;

    explicit SharedHook(std::function<Sig> f) : callback(std::move(f)) {}
};

template <class Sig>
std::shared_ptr<SharedHook<Sig>> make_hook(std::function<Sig> f) {
    return std::make_shared<SharedHook<Sig>>(std::move(f));
}

namespace node_logic_detail {
// Runs body(callback) under the hook's lock. The handle is taken by value so
// the hook outlives the call even if the callback replaces the node's handle.
template <class Sig, class Body>
decltype(auto) with_hook(std::shared_ptr<SharedHook<Sig>> hook, Body&& body) {
    std::lock_guard<std::mutex> lock(hook->mutex);
    contract_check(!hook->poisoned, "hook lock is not poisoned");
    try {
        return body(hook->callback);
    } catch (...) {
        hook->poisoned = true;
        throw;
    }
}
}  // namespace node_logic_detail

using ConsensusNodeLogic = NodeLogic<BlsPubkey, ConsensusLogEvent, ConsensusMessage>;

// Wraps one state machine and stands in for what it lacks: block production
// for the slots it leads and execution of the blocks it receives.
template <Timestamper T = SystemTimestamper>
class SimNode : public ConsensusNodeLogic {
public:
    using Machine = VeskStatemachine<T>;
    using Message = NodeLogicMessage<ConsensusMessage, BlsPubkey>;
    using PreTickHook = SharedHook<std::pair<bool, SubResult>(SimNode&)>;
    using PostTickHook = SharedHook<void(SimNode&, SubResult&)>;
    using MapMessagesHook = SharedHook<std::vector<Message>(SimNode&, Message)>;
    using ReplayKey = std::pair<BlsPubkey, uint64_t>;  // (signer, slot)

    // Votes waiting in the state machine's verifier at which the node stops
    // taking messages until a tick drains them: what one tick hands on.
    static constexpr size_t VOTE_BACKLOG = statemachine_detail::VOTES_PER_TICK;

    Machine state;
    std::shared_ptr<PreTickHook> pre_tick_hook;
    std::shared_ptr<PostTickHook> post_tick_hook;
    std::shared_ptr<MapMessagesHook> map_messages_hook;
    std::map<ReplayKey, BlockProposalMessage> replay_store;

    explicit SimNode(Machine machine) : state(std::move(machine)) {}

    Result tick() override {
        SubResult r = sim_block_production();
        bool proceed = true;
        if (pre_tick_hook) {
            auto [go, s] = node_logic_detail::with_hook(pre_tick_hook, [&](auto& f) { return f(*this); });
            proceed = go;
            r += std::move(s);
        }
        if (proceed) {
            r += state.tick();
            r += sim_replay();
            if (post_tick_hook) node_logic_detail::with_hook(post_tick_hook, [&](auto& f) { f(*this, r); });
        }
        Result out = wrap_result(std::move(r));
        exec_map_messages_hook(out);
        return out;
    }

    Result receive(ConsensusMessage msg) override {
        SubResult r = sim_block_production();
        if (const auto* p = msg.get_if<SignedBlockProposalMessage>()) {
            // Headers as far ahead as the state machine remembers proposals
            // are kept: an unbounded store would let any peer grow it.
            if (p->proposal.slot <= sat_add(state.tip_slot(), statemachine_detail::PROPOSAL_HORIZON - 1)) {
                replay_store.insert_or_assign(ReplayKey{p->pubkey, p->proposal.slot}, p->proposal);
            }
        }
        r += state.receive(std::move(msg));
        r += sim_replay();
        Result out = wrap_result(std::move(r));
        exec_map_messages_hook(out);
        return out;
    }

    bool can_receive() const override { return waiting_votes() < VOTE_BACKLOG; }
    bool tick_requested() const override { return waiting_votes() > 0; }
    BlsPubkey get_id() const override { return state.identity.pubkey; }

    // Fills this node's own record for the slot it leads next with what
    // proposing needs; values already set stay.
    SubResult sim_block_production() {
        state.prepare_next_block();
        return {};
    }

    // Reports every stored proposal that extends the tip as processed.
    SubResult sim_replay() {
        const uint64_t tip = state.tip_slot();
        const QuorumMessage& tip_msg = state.tip_qc.message;
        // Keys sort by signer first, so slot order gives no range to cut.
        std::erase_if(replay_store, [&](const auto& kv) { return kv.first.second <= tip; });
        std::vector<ReplayKey> due;
        for (const auto& [key, header] : replay_store) {
            if (header.slot == sat_add(tip, uint64_t{1}) && header.parent_qc_id == tip_msg.qc_id) due.push_back(key);
        }
        const ProcessedParent parent{tip_msg.bank_hash, tip_msg.vesk_id, tip};
        SubResult r;
        for (const ReplayKey& key : due) {
            auto node = replay_store.extract(key);
            r += state.queue_processed_block(key.first, node.mapped(), Hash{}, CrosschainCommitment{Hash{}, 0}, parent);
        }
        return r;
    }

    Result wrap_result(SubResult r) const {
        Result out;
        out.messages.reserve(r.messages.size());
        for (ConsensusMessageEnvelope& env : r.messages) {
            if (auto* b = std::get_if<Broadcast>(&env)) {
                out.messages.push_back(Message{typename Message::Broadcast{std::nullopt, std::move(b->message)}});
            } else {
                auto& u = std::get<Unicast>(env);
                out.messages.push_back(
                    Message{typename Message::Unicast{u.recipient, std::nullopt, std::move(u.message)}});
            }
        }
        const Timestamp now = Timestamp::now();
        const BlsPubkey self = get_id();
        out.logs.reserve(r.events.size());
        for (ConsensusLogEvent& e : r.events) {
            out.logs.push_back(LogEvent<BlsPubkey, ConsensusLogEvent>{std::move(e), now, self});
        }
        return out;
    }

    void exec_map_messages_hook(Result& out) {
        if (!map_messages_hook) return;
        node_logic_detail::with_hook(map_messages_hook, [&](auto& f) {
            std::vector<Message> in = std::move(out.messages);
            out.messages.clear();
            for (Message& m : in) {
                std::vector<Message> mapped = f(*this, std::move(m));
                out.messages.insert(out.messages.end(), std::make_move_iterator(mapped.begin()),
                                    std::make_move_iterator(mapped.end()));
            }
        });
    }

private:
    size_t waiting_votes() const { return state.vote_verifier.queue_len() + state.vote_verifier.ready_len(); }
};

}  // namespace vesk
