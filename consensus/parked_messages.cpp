#include "consensus/parked_messages.hpp"

#include <algorithm>
#include <type_traits>
#include <utility>
#include <variant>

#include "base/contract.hpp"
#include "base/diag.hpp"
#include "base/saturating.hpp"
#include "base/text.hpp"

namespace vesk {

namespace {
constexpr std::string_view TARGET = "vesk_consensus::parked_messages";
}

BlsPubkey message_source(const ConsensusMessage& msg) {
    return std::visit(
        [](const auto& p) -> BlsPubkey {
            using T = std::decay_t<decltype(p)>;
            if constexpr (std::is_same_v<T, Ping>) {
                return p.sender;
            } else if constexpr (std::is_same_v<T, SignedEntryAnnouncement>) {
                return p.producer;
            } else if constexpr (std::is_same_v<T, SignedBlockProposalMessage> ||
                                 std::is_same_v<T, SignedQuorumMessage>) {
                return p.pubkey;
            } else if constexpr (std::is_same_v<T, QuorumCertificate>) {
                // The aggregate has no single key; the leader stands for it.
                return p.message.vesk_id;
            } else if constexpr (std::is_same_v<T, StateSyncRequest> || std::is_same_v<T, QcRequest> ||
                                 std::is_same_v<T, ShredsAvailableRequest> ||
                                 std::is_same_v<T, ShredsFetchRequest>) {
                return p.requester;
            } else {
                static_assert(requires { p.responder; }, "every kind has a source");
                return p.responder;
            }
        },
        msg.payload);
}

MessageKey parking_key(const ConsensusMessage& msg) {
    MessageKey key = msg.key();
    // A proposal's key leaves out its signer. Any member may sign the
    // leader's header and send its copy first; keyed alone, that copy would
    // stand in for the leader's own proposal, which then never comes back.
    if (const auto* p = msg.get_if<SignedBlockProposalMessage>()) {
        contract_check(key.len + p->pubkey.bytes.size() <= key.fields.size(), "parking key fields fit");
        std::copy(p->pubkey.bytes.begin(), p->pubkey.bytes.end(), key.fields.begin() + key.len);
        key.len = static_cast<uint8_t>(key.len + p->pubkey.bytes.size());
    }
    return key;
}

bool ParkedSet::insert(ParkedMessage m) {
    if (!keys_.insert(m.key).second) return false;
    items_.push_back(std::move(m));
    return true;
}

std::vector<ParkedMessage> ParkedSet::remove_through(uint64_t floor) {
    std::vector<ParkedMessage> removed;
    std::vector<ParkedMessage> kept;
    for (auto& m : items_) {
        if (m.valid_until <= floor) {
            keys_.erase(m.key);
            removed.push_back(std::move(m));
        } else {
            kept.push_back(std::move(m));
        }
    }
    items_ = std::move(kept);
    return removed;
}

std::vector<ParkedMessage> ParkedSet::take_all() && {
    keys_.clear();
    return std::move(items_);
}

ParkedMessages::ParkedMessages(uint64_t slot_floor, size_t src_capacity)
    : src_capacity_(src_capacity), slot_floor_(slot_floor) {}

bool ParkedMessages::park(ConsensusMessage msg, uint64_t valid_until, const UnparkEvent& event) {
    // Saturating, so a floor near the top of the range keeps its window.
    if (valid_until < slot_floor_ || valid_until > sat_add(slot_floor_, SLOT_WINDOW)) {
        diag::debug(TARGET, [&] {
            return format(
                "could not park message (kind={}), already outdated or too far in the future (valid_until={}, "
                "slot_floor={})",
                msg.kind_name(), valid_until, slot_floor_);
        });
        return false;
    }
    std::optional<BlsPubkey> source = message_source(msg);
    auto count = src_size_.find(source);
    if ((count == src_size_.end() ? 0 : count->second) >= src_capacity_) {
        diag::warn(TARGET, [&] {
            return format("could not park message (kind={}), source ({:?}) capacity reached", msg.kind_name(),
                          source);
        });
        return false;
    }
    MessageKey key = parking_key(msg);
    if (parked_[event].insert(ParkedMessage{key, std::move(msg), valid_until})) ++src_size_[source];
    return true;
}

std::vector<ConsensusMessage> ParkedMessages::unpark(const UnparkEvent& event) {
    auto it = parked_.find(event);
    if (it == parked_.end()) return {};
    std::vector<ParkedMessage> taken = std::move(it->second).take_all();
    parked_.erase(it);
    std::vector<ConsensusMessage> out;
    out.reserve(taken.size());
    for (auto& m : taken) {
        release(m);
        out.push_back(std::move(m.msg));
    }
    return out;
}

void ParkedMessages::cleanup(uint64_t new_floor) {
    for (auto it = parked_.begin(); it != parked_.end();) {
        for (const auto& m : it->second.remove_through(new_floor)) release(m);
        it = it->second.empty() ? parked_.erase(it) : std::next(it);
    }
    slot_floor_ = new_floor;
}

size_t ParkedMessages::source_size(const BlsPubkey& source) const {
    auto it = src_size_.find(std::optional<BlsPubkey>(source));
    return it == src_size_.end() ? 0 : it->second;
}

void ParkedMessages::release(const ParkedMessage& m) {
    std::optional<BlsPubkey> source = message_source(m.msg);
    auto it = src_size_.find(source);
    if (it == src_size_.end()) {
        diag::error(TARGET, [&] {
            return format(
                "parked messages bad state: failed to reduce source size for source={:?}, missing entry in "
                "self.src_size",
                source);
        });
        return;
    }
    if (it->second == 0) {
        diag::error(TARGET, [&] {
            return format(
                "parked messages bad state: failed to reduce source size for source={:?}, size was already 0",
                source);
        });
        return;
    }
    --it->second;
}

}  // namespace vesk
