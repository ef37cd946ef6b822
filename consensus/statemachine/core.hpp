#pragma once
// Construction, roles, the entry points with the leader's dispatch, vote
// collection, the outgoing-vote filter and the readiness ping/pong.
#include "base/contract.hpp"
#include "base/saturating.hpp"
#include "consensus/statemachine/statemachine.hpp"

namespace vesk {

template <Timestamper T, VoteVerifier V>
VeskStatemachine<T, V>::VeskStatemachine(NodeIdentity id, size_t idx, ChainStateSnapshot snapshot,
                                         NodeConfig config, EntryContainer container, T timestamper)
    : next_view(std::move(snapshot.next_view)),
      tip_qc(std::move(snapshot.tip_qc)),
      previous_qc(std::move(snapshot.previous_qc)),
      current_view(std::move(snapshot.current_view)),
      tip_persisted(snapshot.tip_persisted),
      identity(std::move(id)),
      vesk_idx(idx),
      liveness(tip_qc.message.timestamp, config.liveness_timeout, std::move(timestamper)),
      require_tip_persisted(config.require_tip_persisted),
      warmup_until_slot(sat_add(tip_qc.message.slot, statemachine_detail::WARMUP_SLOTS)),
      parked(tip_qc.message.slot, statemachine_detail::PARKED_PER_SOURCE),
      equivocation_detector(std::move(config.equivocation_detector)),
      entry_container(std::move(container)) {
    // Only certificates that verify against the view in force count as
    // accepted; a fresh run's all-zero tip gives none. The tip wins a tie.
    auto accept = [&](const QuorumCertificate& qc) {
        if (current_view.covers(qc.slot()) && qc.verify(current_view)) accepted_qcs[qc.slot()] = qc;
    };
    if (previous_qc) accept(*previous_qc);
    accept(tip_qc);
}

template <Timestamper T, VoteVerifier V>
VeskStatemachine<T, V> VeskStatemachine<T, V>::new_with_config_and_timestamper(NodeIdentity identity, size_t vesk_idx,
                                                                              ChainStateSnapshot snapshot,
                                                                              NodeConfig config,
                                                                              EntryContainer entry_container,
                                                                              T timestamper) {
    contract_check(config.liveness_timeout.count() != 0, "vesk liveness timeout must be non-zero");
    return VeskStatemachine(std::move(identity), vesk_idx, std::move(snapshot), std::move(config),
                            std::move(entry_container), std::move(timestamper));
}

template <Timestamper T, VoteVerifier V>
const QuorumView* VeskStatemachine<T, V>::view_for_slot(uint64_t slot) const {
    if (next_view && next_view->covers(slot)) return &*next_view;
    if (current_view.covers(slot)) return &current_view;
    return nullptr;
}

template <Timestamper T, VoteVerifier V>
const QuorumView& VeskStatemachine<T, V>::extending_view() const {
    uint64_t next = sat_add(tip_slot(), uint64_t{1});
    if (next_view && next_view->covers(next)) return *next_view;
    return current_view;
}

namespace statemachine_detail {

// Rotation member idx mod n; an empty view has no leader at all.
inline const BlsPubkey& rotation_member(const QuorumView& view, size_t idx) {
    contract_check(view.len() > 0, "quorum view has no members to rotate through");
    return view.keys[idx % view.len()];
}

}  // namespace statemachine_detail

template <Timestamper T, VoteVerifier V>
bool VeskStatemachine<T, V>::am_vesk_for_slot(uint64_t slot) const {
    if (observer) return false;
    const QuorumView* view = view_for_slot(slot);
    if (view == nullptr || view->len() == 0 || !view->has_pubkey(identity.pubkey)) return false;
    if (view->view_id == extending_view().view_id) {
        if (statemachine_detail::rotation_member(*view, vesk_idx) != identity.pubkey) return false;
        return leader_cell ? leader_cell->is_production_authorized(identity.pubkey, slot) : true;
    }
    // A slot of the next epoch: that view starts from its first member.
    return view->keys[0] == identity.pubkey;
}

template <Timestamper T, VoteVerifier V>
BlsPubkey VeskStatemachine<T, V>::vesk_id() const {
    return statemachine_detail::rotation_member(extending_view(), vesk_idx);
}

template <Timestamper T, VoteVerifier V>
bool VeskStatemachine<T, V>::can_vote() const {
    if (vote_in_flight || observer) return false;
    const QuorumView* view = view_for_slot(sat_add(tip_slot(), uint64_t{1}));
    if (view == nullptr || view->len() == 0 || !view->has_pubkey(identity.pubkey)) return false;
    return require_tip_persisted ? tip_persisted : true;
}

template <Timestamper T, VoteVerifier V>
bool VeskStatemachine<T, V>::is_observer_for_slot(uint64_t slot) const {
    if (observer) return true;
    const QuorumView* view = view_for_slot(slot);
    return view == nullptr || view->len() == 0 || !view->has_pubkey(identity.pubkey);
}

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::receive(ConsensusMessage msg) {
    if (vote_verifier.is_enabled()) {
        if (const auto* vote = msg.template get_if<SignedQuorumMessage>()) {
            uint64_t s = vote->message.slot;
            const QuorumView* view = view_for_slot(s);
            if (view != nullptr && tip_slot() < s && am_vesk_for_slot(sat_add(tip_slot(), uint64_t{1})) &&
                view->has_pubkey(vote->pubkey)) {
                auto record = proposals.find(ProposalKey{identity.pubkey, s});
                bool duplicate = record != proposals.end() &&
                                 std::any_of(record->second.votes.begin(), record->second.votes.end(),
                                             [&](const auto& v) { return v.first == vote->pubkey; });
                if (!duplicate) {
                    vote_verifier.push(QueuedVote{view->view_id, *vote});
                    return {};
                }
            }
        }
    }
    return receive_inner(std::move(msg), false);
}

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::receive_inner(ConsensusMessage msg, bool preverified) {
    if (!am_vesk_for_slot(sat_add(tip_slot(), uint64_t{1}))) {
        SubResult r = follower_receive(std::move(msg));
        filter_outgoing_votes(r);
        return r;
    }
    return std::visit(
        [&](auto&& p) -> SubResult {
            using P = std::decay_t<decltype(p)>;
            if constexpr (std::is_same_v<P, Ping>) {
                return handle_ping(p);
            } else if constexpr (std::is_same_v<P, Pong>) {
                return handle_pong(p);
            } else if constexpr (std::is_same_v<P, SignedEntryAnnouncement>) {
                return {};
            } else if constexpr (std::is_same_v<P, SignedBlockProposalMessage>) {
                return SubResult::event(events::IgnoredProposalAsVesk{});
            } else if constexpr (std::is_same_v<P, SignedQuorumMessage>) {
                return collect_vote(p, preverified);
            } else if constexpr (std::is_same_v<P, QuorumCertificate>) {
                return follower_receive(ConsensusMessage(std::move(p)));
            } else {
                return receive_service(std::move(p));
            }
        },
        std::move(msg.payload));
}

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::collect_vote(const SignedQuorumMessage& vote, bool preverified) {
    uint64_t s = vote.message.slot;
    const BlsPubkey& k = vote.pubkey;
    const QuorumView* view = view_for_slot(s);
    if (view == nullptr) return SubResult::event(events::QuorumUnknown{s, "BlockSignature"});
    if (!view->has_pubkey(k)) return SubResult::event(events::VoterUnknown{});
    if (s <= tip_slot()) return SubResult::event(events::StaleVoteIgnored{s, tip_slot()});

    SubResult r = SubResult::event(events::ReceivedVote{s, k});
    auto record = proposals.find(ProposalKey{identity.pubkey, s});
    if (record == proposals.end() || !record->second.proposal || !record->second.local_bank_hash) {
        r.events.emplace_back(events::NoProposalPending{});
        return r;
    }
    ProposalState& state = record->second;
    QuorumMessage expected = state.proposal->to_quorum_message(
        *state.local_bank_hash, state.crosschain.value_or(CrosschainCommitment{}));
    if (expected != vote.message) {
        r.events.emplace_back(events::VoteMismatch{s, k});
        return r;
    }
    if (std::any_of(state.votes.begin(), state.votes.end(), [&](const auto& v) { return v.first == k; })) {
        r.events.emplace_back(events::DuplicateVote{k});
        return r;
    }
    if (!preverified && !vote.validate()) {
        r.events.emplace_back(events::VoteSignatureInvalid{k});
        return r;
    }
    state.votes.emplace_back(k, vote.signature);
    // Copy the view: certification may move the tip and replace the views.
    QuorumView v = *view;
    r += certify_proposal(v, expected, state.votes);
    return r;
}

template <Timestamper T, VoteVerifier V>
void VeskStatemachine<T, V>::filter_outgoing_votes(SubResult& result) const {
    std::erase_if(result.messages, [&](const ConsensusMessageEnvelope& env) {
        const ConsensusMessage& m = std::visit([](const auto& e) -> const ConsensusMessage& { return e.message; }, env);
        const auto* vote = m.template get_if<SignedQuorumMessage>();
        return vote != nullptr && is_observer_for_slot(vote->message.slot);
    });
}

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::handle_ping(const Ping& ping) {
    uint64_t next = sat_add(tip_slot(), uint64_t{1});
    const QuorumView* view = view_for_slot(next);
    if (view == nullptr) return SubResult::event(events::QuorumUnknown{next, "ping"});
    if (!view->has_pubkey(ping.sender)) return SubResult::event(events::PingUnauthorized{ping.sender});
    if (!ping.verify()) return SubResult::event(events::PingInvalid{ping.sender});
    return SubResult::message(
        Unicast{ping.sender, ConsensusMessage(Pong(ping.sender, identity.pubkey, ping.nonce, identity.secret))});
}

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::handle_pong(const Pong& pong) {
    uint64_t next = sat_add(tip_slot(), uint64_t{1});
    const QuorumView* view = view_for_slot(next);
    if (view == nullptr) return SubResult::event(events::QuorumUnknown{next, "pong"});
    if (!view->has_pubkey(pong.responder)) return SubResult::event(events::PongUnauthorized{pong.responder});
    if (pong.pinger != identity.pubkey || ping_nonce != pong.nonce || !pong.verify()) {
        return SubResult::event(events::PongInvalid{pong.responder});
    }
    ponged.insert(pong.responder);
    SubResult r = SubResult::event(events::PeerConnected{pong.responder});
    u128 answered = 0;
    for (const BlsPubkey& k : ponged) answered = sat_add(answered, u128{view->get_stake_by_pubkey(k).value_or(0)});
    if (view->reaches_two_thirds(answered)) {
        ping_nonce.reset();
        next_ping_at_ms = 0;
        produce_ready = true;
        ponged.clear();
        r.events.emplace_back(events::ProduceReady{});
    }
    return r;
}

}  // namespace vesk
