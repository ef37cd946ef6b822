#pragma once
// Shred catch-up: fetching blocks from a peer, and serving peers.
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "base/contract.hpp"
#include "base/saturating.hpp"
#include "consensus/statemachine/statemachine.hpp"

namespace vesk {

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::handle_shreds_available_request(const ShredsAvailableRequest& request) {
    namespace d = statemachine_detail;
    const BlsPubkey& requester = request.requester;
    const uint64_t f = request.from_slot;
    if (requester == identity.pubkey) return {};
    if (!sender_belongs(requester, f) || !request.verify()) {
        return SubResult::event(events::ShredsAvailableAuthInvalid{requester});
    }
    SubResult r = SubResult::event(events::ShredsAvailableRequested{requester, f});
    if (!shreds_io) return r;
    const uint64_t tip = tip_slot();
    const uint64_t l = sat_add(tip, uint64_t{1});
    if (l < f) return r;
    if (l - f > d::MAX_SERVED_LAG) {
        r.events.emplace_back(events::ShredsBehindServed{requester, f, l});
        r.messages.emplace_back(Unicast{
            requester, ConsensusMessage(ShredsBehindResponse(identity.pubkey, requester, f, request.nonce, l,
                                                             identity.secret))});
        return r;
    }

    std::map<uint64_t, std::vector<ShredBlockRef>> by_slot;
    for (ShredBlockRef& block : shreds_io->list_blocks(f, l)) {
        if (block.slot >= f && block.slot <= l) by_slot[block.slot].push_back(std::move(block));
    }
    std::vector<ShredBlockRef> catalog;
    for (uint64_t s = f; catalog.size() < d::MAX_CATALOG_BLOCKS; ++s) {
        auto listed = by_slot.find(s);
        if (listed == by_slot.end()) break;
        const std::vector<ShredBlockRef>& blocks = listed->second;
        const ShredBlockRef* chosen = nullptr;
        if (s <= tip) {
            // A certified slot offers only the certified leader's block.
            std::optional<QuorumCertificate> qc = qc_for_recovery(s);
            if (!qc) break;
            for (const ShredBlockRef& b : blocks) {
                if (b.producer == qc->message.vesk_id) {
                    chosen = &b;
                    break;
                }
            }
        } else {
            // The slot after the tip offers the block voted for under the
            // highest leader view.
            std::optional<uint64_t> best;
            for (const ShredBlockRef& b : blocks) {
                auto state = proposals.find(ProposalKey{b.producer, s});
                if (state == proposals.end() || !state->second.signed_leader_view) continue;
                if (!best || *state->second.signed_leader_view >= *best) {
                    best = state->second.signed_leader_view;
                    chosen = &b;
                }
            }
            if (chosen == nullptr) chosen = &blocks.back();
        }
        if (chosen == nullptr) break;
        catalog.push_back(*chosen);
        if (s == l) break;
    }
    if (catalog.empty()) return r;

    r.events.emplace_back(events::ShredsAvailableServed{requester, f, catalog.size()});
    r.messages.emplace_back(Unicast{requester, ConsensusMessage(ShredsAvailableResponse(
                                                   identity.pubkey, f, request.nonce, std::move(catalog),
                                                   identity.secret))});
    return r;
}

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::handle_shreds_available_response(const ShredsAvailableResponse& response) {
    namespace d = statemachine_detail;
    const BlsPubkey& responder = response.responder;
    const uint64_t next = sat_add(tip_slot(), uint64_t{1});
    if (!sender_belongs(responder, next) || !response.verify()) {
        return SubResult::event(events::ShredsCatalogAuthInvalid{responder});
    }

    const std::vector<ShredBlockRef>& blocks = response.blocks;
    const uint64_t f = response.from_slot;
    bool accepted = shred_catchup && !shred_catchup->peer && response.nonce == shred_catchup->query_nonce &&
                    !blocks.empty() && blocks.size() <= d::MAX_CATALOG_BLOCKS && f <= next &&
                    blocks.back().slot >= next;
    for (size_t k = 0; accepted && k < blocks.size(); ++k) {
        accepted = blocks[k].slot >= f && blocks[k].slot - f == k;
    }
    if (!accepted) return SubResult::event(events::ShredsCatalogIgnored{responder});

    std::deque<ShredBlockRef> queue;
    for (const ShredBlockRef& b : blocks) {
        if (b.slot >= next) queue.push_back(b);
    }
    contract_check(!queue.empty(), "usability guarantees coverage of current_slot");
    const ShredBlockRef front = queue.front();
    const size_t queued = queue.size();
    shred_catchup->queue = std::move(queue);
    shred_catchup->peer = responder;
    shred_catchup->phase = ShredCatchup::Fetching{front.producer, front.slot, 0};

    SubResult r = SubResult::message(Unicast{
        responder,
        ConsensusMessage(ShredsFetchRequest(identity.pubkey, front.slot, front.producer, 0, identity.secret))});
    r.events.emplace_back(events::ShredsCatalogAccepted{responder, queued});
    return r;
}

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::handle_shreds_fetch_request(const ShredsFetchRequest& request) {
    const BlsPubkey& requester = request.requester;
    if (!sender_belongs(requester, request.slot) || !request.verify()) {
        return SubResult::event(events::ShredsFetchAuthInvalid{requester});
    }
    SubResult r = SubResult::event(events::ShredsFetchRequested{requester, request.slot, request.start_index});
    if (!shreds_io) return r;
    ShredsIo::Fetched fetched = shreds_io->fetch_shreds(request.slot, request.producer, request.start_index);
    r.events.emplace_back(events::ShredsFetchServed{requester, request.slot, fetched.shreds.size()});
    r.messages.emplace_back(Unicast{
        requester, ConsensusMessage(ShredsFetchResponse(identity.pubkey, request.slot, request.producer,
                                                        request.start_index, fetched.next_index,
                                                        std::move(fetched.shreds), identity.secret))});
    return r;
}

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::handle_shreds_fetch_response(ShredsFetchResponse response) {
    namespace d = statemachine_detail;
    const BlsPubkey responder = response.responder;
    const auto* fetching = shred_catchup ? std::get_if<ShredCatchup::Fetching>(&shred_catchup->phase) : nullptr;
    if (fetching == nullptr || shred_catchup->peer != responder || fetching->slot != response.slot ||
        fetching->producer != response.producer || fetching->start_index != response.start_index) {
        return SubResult::event(events::ShredsFetchUncorrelated{responder});
    }
    if (!sender_belongs(responder, response.slot) || !response.verify()) {
        return SubResult::event(events::ShredsFetchAuthInvalid{responder});
    }
    if (response.shreds.size() > d::MAX_SHREDS_PER_RESPONSE ||
        (response.next_index && *response.next_index <= response.start_index)) {
        return SubResult::event(events::ShredsFetchUncorrelated{responder});
    }

    SubResult r = SubResult::event(events::ShredsFetchProgress{responder, response.slot, response.shreds.size()});
    if (!response.shreds.empty() && shreds_io) shreds_io->ingest_shreds(std::move(response.shreds));

    auto request = [&](uint64_t slot, const BlsPubkey& producer, uint32_t start) {
        shred_catchup->phase = ShredCatchup::Fetching{producer, slot, start};
        r.messages.emplace_back(
            Unicast{responder, ConsensusMessage(ShredsFetchRequest(identity.pubkey, slot, producer, start,
                                                                   identity.secret))});
    };
    if (response.next_index) {
        request(response.slot, response.producer, *response.next_index);
        return r;
    }
    ShredCatchup& c = *shred_catchup;
    if (!c.queue.empty()) c.queue.pop_front();
    c.blocks_fetched = sat_add(c.blocks_fetched, size_t{1});
    if (!c.queue.empty()) {
        const ShredBlockRef front = c.queue.front();
        request(front.slot, front.producer, 0);
    } else {
        r.events.emplace_back(events::ShredsCatchupFetchComplete{c.blocks_fetched});
        c.peer.reset();
        c.phase = ShredCatchup::Querying{};
    }
    return r;
}

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::handle_shreds_behind_response(const ShredsBehindResponse& response) {
    namespace d = statemachine_detail;
    const BlsPubkey& responder = response.responder;
    const uint64_t next = sat_add(tip_slot(), uint64_t{1});
    bool accepted = shred_catchup && !shred_catchup->peer && response.nonce == shred_catchup->query_nonce &&
                    !shred_catchup->deferred_at && response.requester == identity.pubkey &&
                    response.from_slot == next && sat_sub(response.tip_slot, next) >= d::MIN_BEHIND_LEAD;
    if (!accepted) return SubResult::event(events::ShredsBehindIgnored{responder});
    if (!sender_belongs(responder, next) || !response.verify()) {
        return SubResult::event(events::ShredsBehindAuthInvalid{responder});
    }
    ShredCatchup& c = *shred_catchup;
    c.peer.reset();
    c.queue.clear();
    c.phase = ShredCatchup::Querying{};
    c.deferred_at = liveness.now();
    return SubResult::event(events::ShredsCatchupBehind{responder, response.tip_slot});
}

template <Timestamper T, VoteVerifier V>
void VeskStatemachine<T, V>::reconcile_shred_catchup_after_tip_advance() {
    if (!shred_catchup) return;
    if (shred_catchup->target_slot < sat_add(tip_slot(), uint64_t{1})) {
        shred_catchup.reset();
    } else if (shred_catchup->deferred_at) {
        shred_catchup->deferred_at.reset();
        shred_catchup->query_nonce = ShredCatchup::fresh_query_nonce();
    }
}

}  // namespace vesk
