#pragma once
// Certificate recovery and state sync: serving certificates to peers that
// fell behind, recording the ones they send back, and jumping the chain tip
// over a verified run of certificates.
#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/contract.hpp"
#include "base/diag.hpp"
#include "base/saturating.hpp"
#include "base/text.hpp"
#include "consensus/statemachine/qc_verify.hpp"
#include "consensus/statemachine/statemachine.hpp"

namespace vesk {

namespace statemachine_detail {

inline constexpr std::string_view RECOVERY_TARGET = "vesk_consensus::statemachine::recovery";

template <class Hook>
bool installed(const std::shared_ptr<Hook>& hook) {
    return hook && *hook;
}

}  // namespace statemachine_detail

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::request_qc(uint64_t slot, std::optional<Hash> qc_id) {
    return SubResult::message(
        Broadcast{ConsensusMessage(QcRequest(identity.pubkey, slot, std::move(qc_id), identity.secret))});
}

template <Timestamper T, VoteVerifier V>
std::optional<QuorumCertificate> VeskStatemachine<T, V>::qc_for_recovery(uint64_t slot) const {
    using namespace statemachine_detail;
    if (auto held = accepted_qcs.find(slot); held != accepted_qcs.end()) return held->second;
    if (!installed(qc_lookup)) return std::nullopt;
    std::optional<QuorumCertificate> found = (*qc_lookup)(slot);
    if (found && found->message.slot != slot) {
        diag::warn(RECOVERY_TARGET, [&] {
            return format("qc_lookup({}) returned QC for slot {} — refusing to serve", slot, found->message.slot);
        });
        return std::nullopt;
    }
    return found;
}

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::handle_qc_request(const QcRequest& request) {
    using namespace statemachine_detail;
    const uint64_t slot = request.slot;
    if (!sender_belongs(request.requester, slot) || !request.verify()) {
        return SubResult::event(events::QcRequestAuthInvalid{request.requester});
    }
    SubResult r = SubResult::event(events::QcRequested{request.requester, slot});

    std::optional<QuorumCertificate> found;
    if (request.qc_id) {
        const Hash& id = *request.qc_id;
        auto exact = [&](const std::optional<QuorumCertificate>& qc) {
            return qc && qc->message.qc_id == id && qc->message.slot == slot;
        };
        if (auto held = accepted_qcs.find(slot); held != accepted_qcs.end() && held->second.message.qc_id == id) {
            found = held->second;
        }
        if (!found && installed(qc_by_id_lookup)) {
            if (auto answer = (*qc_by_id_lookup)(slot, id); exact(answer)) found = std::move(answer);
        }
        if (!found && installed(qc_lookup)) {
            if (auto answer = (*qc_lookup)(slot); exact(answer)) found = std::move(answer);
        }
    } else {
        found = qc_for_recovery(slot);
    }

    if (!found) {
        r.events.emplace_back(events::QcRequestMissing{request.requester, slot});
        return r;
    }
    r.messages.emplace_back(
        Unicast{request.requester, ConsensusMessage(QcResponse(identity.pubkey, *found, identity.secret))});
    return r;
}

template <Timestamper T, VoteVerifier V>
std::vector<QuorumCertificate> VeskStatemachine<T, V>::contiguous_qc_page(uint64_t first, uint64_t last) const {
    using namespace statemachine_detail;
    std::vector<QuorumCertificate> page;
    if (first > last) return page;
    for (uint64_t s = first;; ++s) {
        std::optional<QuorumCertificate> qc = qc_for_recovery(s);
        if (!qc) {
            diag::debug(RECOVERY_TARGET, [&] { return format("state-sync page ends before slot {}: QC unavailable", s); });
            break;
        }
        page.push_back(std::move(*qc));
        if (s == last || page.size() == STATE_SYNC_PAGE_LIMIT) break;
    }
    return page;
}

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::handle_qc_response(const QcResponse& response) {
    using namespace statemachine_detail;
    const QuorumCertificate& qc = response.qc;
    const uint64_t slot = qc.message.slot;
    if (!sender_belongs(response.responder, slot) || !response.verify()) {
        return SubResult::event(events::QcResponseAuthInvalid{response.responder});
    }
    SubResult r = SubResult::event(events::QcResponseReceived{response.responder, slot});

    if (slot >= tip_slot()) {
        SubResult path = follower_receive(ConsensusMessage(qc));
        bool rejected = std::any_of(path.events.begin(), path.events.end(), [&](const ConsensusLogEvent& e) {
            return e == ConsensusLogEvent(events::CertificateInvalid{slot});
        });
        r += std::move(path);
        if (rejected) r.events.emplace_back(events::QcResponseQcInvalid{response.responder, slot});
        return r;
    }

    // A certificate of the past: recorded for serving, the tip stays.
    std::optional<QuorumView> looked_up;
    const QuorumView* view = view_for_slot(slot);
    if (view == nullptr && installed(view_lookup)) {
        looked_up = (*view_lookup)(slot);
        if (looked_up && looked_up->covers(slot)) view = &*looked_up;
    }
    if (view == nullptr) {
        r.events.emplace_back(events::QcResponseQcInvalid{response.responder, slot});
        return r;
    }
    if (!qc.verify(*view)) {
        diag::debug(RECOVERY_TARGET, [&] {
            return format("QcResponse for slot {} from {:?} did not strict-verify against the locally known canonical "
                          "view; dropping to avoid binding invalid or mismatched consensus data",
                          slot, response.responder);
        });
        r.events.emplace_back(events::QcResponseQcInvalid{response.responder, slot});
        return r;
    }
    record_accepted_cert(qc);
    r.events.emplace_back(events::CertificateValid{qc});
    return r;
}

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::handle_state_sync_request(const StateSyncRequest& request) {
    using namespace statemachine_detail;
    if (!current_view.has_pubkey(request.requester) || !request.verify()) {
        return SubResult::event(events::StateSyncRequestAuthInvalid{request.requester});
    }
    SubResult r = SubResult::event(events::StateSyncRequested{request.from_slot, request.requester});
    const uint64_t tip = tip_slot();
    if (request.from_slot >= tip) return r;

    std::vector<QuorumCertificate> page = contiguous_qc_page(request.from_slot + 1, tip);
    if (page.empty()) {
        // What we no longer hold is skipped; the requester asks for the
        // missing slots one by one.
        auto oldest = accepted_qcs.lower_bound(request.from_slot + 1);
        if (oldest == accepted_qcs.end() || oldest->first > tip) return r;
        diag::debug(RECOVERY_TARGET, [&] {
            return format("state-sync cannot serve slot {} for {:?}; resuming from oldest retained slot {}",
                          request.from_slot + 1, request.requester, oldest->first);
        });
        page = contiguous_qc_page(oldest->first, tip);
        if (page.empty()) return r;
    }
    contract_check(!page.empty(), "qcs non-empty by construction");
    const uint64_t to_slot = page.back().message.slot;
    r.messages.emplace_back(Unicast{request.requester,
                                    ConsensusMessage(StateSyncResponse(current_view.keys, to_slot, vesk_id(),
                                                                       next_view.has_value(), std::move(page),
                                                                       identity.pubkey, identity.secret))});
    return r;
}

template <Timestamper T, VoteVerifier V>
void VeskStatemachine<T, V>::defer_state_sync_response(StateSyncResponse response) {
    if (deferred_state_sync && deferred_state_sync->to_slot >= response.to_slot) return;
    deferred_state_sync = std::move(response);
}

template <Timestamper T, VoteVerifier V>
SubResult VeskStatemachine<T, V>::process_state_sync_response(StateSyncResponse response) {
    using namespace statemachine_detail;
    const BlsPubkey responder = response.responder;
    const uint64_t to_slot = response.to_slot;
    const QuorumView* at_to = view_for_slot(to_slot);
    if (at_to == nullptr) return SubResult::event(events::StateSyncResponseUnknownQuorum{responder, to_slot});
    const QuorumView view = *at_to;
    SubResult r = SubResult::event(events::StateSyncResponseReceived{responder, to_slot});
    auto reject = [&](ConsensusLogEvent e) {
        r.events.push_back(std::move(e));
        return std::move(r);
    };

    if (!view.has_pubkey(responder) || !response.verify()) return reject(events::StateSyncResponseAuthInvalid{responder});
    if (tip_slot() >= to_slot) return r;
    // The serving side never sends more than a page; a longer list would
    // have us verify without bound.
    const std::vector<QuorumCertificate>& qcs = response.qcs;
    if (qcs.empty() || qcs.size() > STATE_SYNC_PAGE_LIMIT) {
        return reject(events::StateSyncRejectedInvalidSignature{responder});
    }
    std::vector<QcCheck> checks;
    checks.reserve(qcs.size());
    for (size_t i = 0; i < qcs.size(); ++i) {
        const uint64_t s = qcs[i].message.slot;
        if (i > 0 && s <= qcs[i - 1].message.slot) return reject(events::StateSyncRejectedInvalidSignature{responder});
        const QuorumView* v = view_for_slot(s);
        if (v == nullptr) return reject(events::QuorumUnknown{s, "StateSyncResponse_qc"});
        checks.push_back(QcCheck{&qcs[i], v});
    }
    if (!verify_qcs_in_parallel(checks)) return reject(events::StateSyncRejectedInvalidSignature{responder});

    contract_check(!qcs.empty(), "verified_qcs non-empty after empty-check above");
    const QuorumCertificate& last = qcs.back();
    if (last.message.slot != to_slot) return r;

    std::optional<uint64_t> gap;
    uint64_t expected = sat_add(tip_slot(), uint64_t{1});
    for (const QuorumCertificate& qc : qcs) {
        const uint64_t s = qc.message.slot;
        if (s < expected) continue;
        if (s > expected) {
            gap = expected;
            break;
        }
        expected = sat_add(expected, uint64_t{1});
    }

    const BlsPubkey old_leader = vesk_id();
    const uint64_t next = sat_add(to_slot, uint64_t{1});
    const QuorumView* after = view_for_slot(next);
    if (after == nullptr) {
        r.events.emplace_back(events::StateSyncResponseUnknownQuorum{responder, next});
        defer_state_sync_response(std::move(response));
        return r;
    }
    BlsPubkey leader;
    size_t leader_index = 0;
    std::string reason;
    if (next == after->start_slot) {
        if (after->len() == 0) return reject(events::StateSyncResponseUnknownQuorum{responder, next});
        leader = after->keys[0];
        reason = "state sync quorum start";
    } else {
        std::optional<uint8_t> index = after->find_pubkey_index(last.message.vesk_id);
        if (!index) return reject(events::StateSyncResponseUnknownQuorum{responder, next});
        leader = last.message.vesk_id;
        leader_index = *index;
        reason = "state sync QC producer";
    }

    for (const QuorumCertificate& qc : qcs) {
        record_accepted_cert(qc);
        r.events.emplace_back(events::CertificateValid{qc});
    }
    // A jump leaves tip_persisted, state_sync_pending and previous_qc as
    // they were.
    tip_qc = last;
    settle_new_tip();
    // As after any tip move (to_slot is above the old tip, so past genesis):
    // the parking window and the vote locks follow the tip, or a long jump
    // leaves every later park refused and stale locks in the way of votes.
    slide_windows_to(to_slot);

    set_vesk_id(leader, leader_index, next, true);
    if (leader != old_leader) r += announce_rotation(old_leader, leader, next, std::move(reason));
    r += process_parked_messages(unpark::ChainStateReached{to_slot});
    r.events.emplace_back(events::StateSyncCompleted{to_slot});

    if (gap) {
        diag::warn(RECOVERY_TARGET, [&] {
            return format("state-sync response from {:?} omitted QC slot {}; requesting exact QC for rolling-upgrade "
                          "recovery",
                          responder, *gap);
        });
        SubResult ask = request_qc(*gap, std::nullopt);
        r.messages.insert(r.messages.end(), std::make_move_iterator(ask.messages.begin()),
                          std::make_move_iterator(ask.messages.end()));
    }
    enter_next_view_once_reached();
    return r;
}

}  // namespace vesk
