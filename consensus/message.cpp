#include "consensus/message.hpp"

#include <algorithm>

#include "base/bytes.hpp"
#include "base/contract.hpp"
#include "base/text.hpp"
#include "consensus/bls.hpp"
#include "hash/sha256.hpp"

namespace vesk {

namespace {

// Signing bytes of every payload, built from its own fields.
std::vector<uint8_t> ping_bytes(const Ping& p) {
    return ByteWriter(69).tag("VESK_PING_DST").bytes(p.sender.bytes).u64(p.nonce).take();
}
std::vector<uint8_t> pong_bytes(const Pong& p) {
    return ByteWriter(117).tag("VESK_PONG_DST").bytes(p.pinger.bytes).bytes(p.responder.bytes).u64(p.nonce).take();
}
std::vector<uint8_t> entry_bytes(const SignedEntryAnnouncement& a) {
    return ByteWriter(57).tag("ENTRY_MESSAGE_DST").u64(a.slot).bytes(a.entry_hash.bytes).take();
}
std::vector<uint8_t> state_sync_request_bytes(const StateSyncRequest& r) {
    return ByteWriter(78).tag("STATE_SYNC_REQUEST_DST").bytes(r.requester.bytes).u64(r.from_slot).take();
}
std::vector<uint8_t> qc_request_bytes(const QcRequest& r) {
    ByteWriter w(103);
    w.tag("QC_REQUEST_DST").bytes(r.requester.bytes).u64(r.slot);
    if (r.qc_id) {
        w.u8(1).bytes(r.qc_id->bytes);
    } else {
        w.u8(0);
    }
    return w.take();
}
std::vector<uint8_t> shreds_available_request_bytes(const ShredsAvailableRequest& r) {
    return ByteWriter(100)
        .tag("SHREDS_AVAILABLE_REQUEST_DST")
        .bytes(r.requester.bytes)
        .u64(r.from_slot)
        .u128v(r.nonce)
        .take();
}
std::vector<uint8_t> shreds_fetch_request_bytes(const ShredsFetchRequest& r) {
    return ByteWriter(132)
        .tag("SHREDS_FETCH_REQUEST_DST")
        .bytes(r.requester.bytes)
        .u64(r.slot)
        .bytes(r.producer.bytes)
        .u32(r.start_index)
        .take();
}
std::vector<uint8_t> shreds_behind_bytes(const ShredsBehindResponse& r) {
    return ByteWriter(154)
        .tag("SHREDS_BEHIND_RESPONSE_DST")
        .bytes(r.responder.bytes)
        .bytes(r.requester.bytes)
        .u64(r.from_slot)
        .u128v(r.nonce)
        .u64(r.tip_slot)
        .take();
}

// Each shred's length and bytes, hashed, so the signing bytes stay small.
Hash shreds_digest(const std::vector<std::vector<uint8_t>>& shreds) {
    Sha256 h;
    for (const auto& s : shreds) {
        h.update(ByteWriter(8).u64(s.size()).data());
        h.update(s);
    }
    return Hash{h.finalize()};
}

}  // namespace

Ping::Ping(const BlsPubkey& s, uint64_t n, const BlsSecretKey& secret) : sender(s), nonce(n) {
    signature = bls::sign(secret, ping_bytes(*this));
}
bool Ping::verify() const { return bls::verify(sender, signature, ping_bytes(*this)); }

Pong::Pong(const BlsPubkey& p, const BlsPubkey& r, uint64_t n, const BlsSecretKey& secret)
    : pinger(p), responder(r), nonce(n) {
    signature = bls::sign(secret, pong_bytes(*this));
}
bool Pong::verify() const { return bls::verify(responder, signature, pong_bytes(*this)); }

SignedEntryAnnouncement::SignedEntryAnnouncement(const EntryAnnouncement& a, const BlsSecretKey& secret)
    : entry_hash(a.entry_hash), producer(a.producer), slot(a.slot), entry_id(a.entry_id) {
    signature = bls::sign(secret, entry_bytes(*this));
}
bool SignedEntryAnnouncement::verify() const { return bls::verify(producer, signature, entry_bytes(*this)); }

bool StateSyncRequest::verify() const {
    return bls::verify(requester, signature, state_sync_request_bytes(*this));
}

StateSyncResponse::StateSyncResponse(std::vector<BlsPubkey> m, uint64_t to, const BlsPubkey& v, bool next,
                                     std::vector<QuorumCertificate> q, const BlsPubkey& r,
                                     const BlsSecretKey& secret)
    : members(std::move(m)), to_slot(to), vesk_id(v), has_next_view(next), qcs(std::move(q)), responder(r) {
    signature = bls::sign(secret, signing_bytes());
}
std::vector<uint8_t> StateSyncResponse::signing_bytes() const {
    // 144 fixed bytes: the tag, the four scalar fields and both counts.
    ByteWriter w(144 + 48 * members.size() + QuorumCertificate::BODY_LEN * qcs.size());
    w.tag("STATE_SYNC_RESPONSE_DST").bytes(responder.bytes).u64(to_slot).bytes(vesk_id.bytes).boolean(has_next_view);
    w.u64(members.size());
    for (const auto& k : members) w.bytes(k.bytes);
    w.u64(qcs.size());
    for (const auto& qc : qcs) w.bytes(qc.body_bytes());
    return w.take();
}
bool StateSyncResponse::verify() const { return bls::verify(responder, signature, signing_bytes()); }

QcRequest::QcRequest(const BlsPubkey& r, uint64_t s, std::optional<Hash> id, const BlsSecretKey& secret)
    : requester(r), slot(s), qc_id(id) {
    signature = bls::sign(secret, qc_request_bytes(*this));
}
bool QcRequest::verify() const { return bls::verify(requester, signature, qc_request_bytes(*this)); }

QcResponse::QcResponse(const BlsPubkey& r, const QuorumCertificate& q, const BlsSecretKey& secret)
    : responder(r), qc(q) {
    signature = bls::sign(secret, signing_bytes());
}
std::vector<uint8_t> QcResponse::signing_bytes() const {
    return ByteWriter(344).tag("QC_RESPONSE_DST").bytes(responder.bytes).bytes(qc.body_bytes()).take();
}
bool QcResponse::verify() const { return bls::verify(responder, signature, signing_bytes()); }

bool ShredsAvailableRequest::verify() const {
    return bls::verify(requester, signature, shreds_available_request_bytes(*this));
}

ShredsAvailableResponse::ShredsAvailableResponse(const BlsPubkey& r, uint64_t from, u128 n,
                                                 std::vector<ShredBlockRef> b, const BlsSecretKey& secret)
    : responder(r), from_slot(from), nonce(n), blocks(std::move(b)) {
    signature = bls::sign(secret, signing_bytes());
}
std::vector<uint8_t> ShredsAvailableResponse::signing_bytes() const {
    ByteWriter w(109 + 60 * blocks.size());
    w.tag("SHREDS_AVAILABLE_RESPONSE_DST").bytes(responder.bytes).u64(from_slot).u128v(nonce).u64(blocks.size());
    for (const auto& b : blocks) w.u64(b.slot).bytes(b.producer.bytes).u32(b.value);
    return w.take();
}
bool ShredsAvailableResponse::verify() const { return bls::verify(responder, signature, signing_bytes()); }

ShredsFetchRequest::ShredsFetchRequest(const BlsPubkey& r, uint64_t s, const BlsPubkey& p, uint32_t start,
                                       const BlsSecretKey& secret)
    : requester(r), slot(s), producer(p), start_index(start) {
    signature = bls::sign(secret, shreds_fetch_request_bytes(*this));
}
bool ShredsFetchRequest::verify() const {
    return bls::verify(requester, signature, shreds_fetch_request_bytes(*this));
}

ShredsFetchResponse::ShredsFetchResponse(const BlsPubkey& r, uint64_t s, const BlsPubkey& p, uint32_t start,
                                         std::optional<uint32_t> next, std::vector<std::vector<uint8_t>> sh,
                                         const BlsSecretKey& secret)
    : responder(r), slot(s), producer(p), start_index(start), next_index(next), shreds(std::move(sh)) {
    signature = bls::sign(secret, signing_bytes());
}
std::vector<uint8_t> ShredsFetchResponse::signing_bytes() const {
    ByteWriter w(178);
    w.tag("SHREDS_FETCH_RESPONSE_DST").bytes(responder.bytes).u64(slot).bytes(producer.bytes).u32(start_index);
    if (next_index) {
        w.u8(1).u32(*next_index);
    } else {
        w.u8(0);
    }
    w.u64(shreds.size()).bytes(shreds_digest(shreds).bytes);
    return w.take();
}
bool ShredsFetchResponse::verify() const { return bls::verify(responder, signature, signing_bytes()); }

ShredsBehindResponse::ShredsBehindResponse(const BlsPubkey& r, const BlsPubkey& q, uint64_t from, u128 n,
                                           uint64_t tip, const BlsSecretKey& secret)
    : responder(r), requester(q), from_slot(from), nonce(n), tip_slot(tip) {
    signature = bls::sign(secret, shreds_behind_bytes(*this));
}
bool ShredsBehindResponse::verify() const { return bls::verify(responder, signature, shreds_behind_bytes(*this)); }

std::string_view kind_name(MessageKind kind) {
    static constexpr std::string_view names[] = {
        "Ping",          "Pong",
        "EntryProposed", "BlockProposal",
        "BlockSignature", "Certificate",
        "StateSyncRequest", "StateSyncResponse",
        "QcRequest",     "QcResponse",
        "ShredsAvailableRequest", "ShredsAvailableResponse",
        "ShredsFetchRequest", "ShredsFetchResponse",
        "ShredsBehindResponse"};
    return names[static_cast<size_t>(kind)];
}

MessageKey ConsensusMessage::key() const {
    ByteWriter w(sizeof MessageKey::fields);
    std::visit(
        [&](const auto& p) {
            using T = std::decay_t<decltype(p)>;
            if constexpr (std::is_same_v<T, Ping>) {
                w.bytes(p.sender.bytes).u64(p.nonce);
            } else if constexpr (std::is_same_v<T, Pong>) {
                w.bytes(p.pinger.bytes).bytes(p.responder.bytes).u64(p.nonce);
            } else if constexpr (std::is_same_v<T, SignedEntryAnnouncement>) {
                w.bytes(p.producer.bytes).u64(p.slot).u64(p.entry_id);
            } else if constexpr (std::is_same_v<T, SignedBlockProposalMessage>) {
                auto b = p.proposal.signing_bytes();
                constexpr size_t tag = BlockProposalMessage::SIGNING_TAG.size();
                w.bytes(hashv({std::span<const uint8_t>(b.data() + tag, b.size() - tag)}).bytes);
            } else if constexpr (std::is_same_v<T, SignedQuorumMessage>) {
                w.u64(p.message.slot).bytes(p.message.vesk_id.bytes).bytes(p.pubkey.bytes);
            } else if constexpr (std::is_same_v<T, QuorumCertificate>) {
                w.u64(p.message.slot).u64(p.message.leader_view).bytes(p.message.vesk_id.bytes);
            } else if constexpr (std::is_same_v<T, StateSyncRequest>) {
                w.bytes(p.requester.bytes).u64(p.from_slot);
            } else if constexpr (std::is_same_v<T, StateSyncResponse>) {
                w.bytes(p.responder.bytes);
            } else if constexpr (std::is_same_v<T, QcRequest>) {
                w.bytes(p.requester.bytes).u64(p.slot);
            } else if constexpr (std::is_same_v<T, QcResponse>) {
                w.bytes(p.responder.bytes);
            } else if constexpr (std::is_same_v<T, ShredsAvailableRequest>) {
                w.bytes(p.requester.bytes).u64(p.from_slot);
            } else if constexpr (std::is_same_v<T, ShredsAvailableResponse>) {
                w.bytes(p.responder.bytes).u64(p.from_slot);
            } else if constexpr (std::is_same_v<T, ShredsFetchRequest>) {
                w.bytes(p.requester.bytes).u64(p.slot).bytes(p.producer.bytes).u64(p.start_index);
            } else if constexpr (std::is_same_v<T, ShredsFetchResponse>) {
                w.bytes(p.responder.bytes).u64(p.slot).bytes(p.producer.bytes).u64(p.start_index);
            } else if constexpr (std::is_same_v<T, ShredsBehindResponse>) {
                w.bytes(p.responder.bytes).u64(p.from_slot);
            } else {
                static_assert(sizeof(T) == 0, "every kind has a key");
            }
        },
        payload);
    MessageKey k;
    k.kind = kind();
    contract_check(w.size() <= k.fields.size(), "message key fields fit");
    std::copy(w.data().begin(), w.data().end(), k.fields.begin());
    k.len = static_cast<uint8_t>(w.size());
    return k;
}

void display(std::string& out, EvictionReason r) {
    static constexpr std::string_view names[] = {"Equivocation",    "Unspecified",           "ConsensusViolation",
                                                 "BlockIdMismatch", "TimestampNonMonotonic", "TimestampSkewed"};
    out += names[static_cast<size_t>(r)];
}
void debug(std::string& out, EvictionReason r) { display(out, r); }
void debug(std::string& out, MessageKind k) { out += kind_name(k); }

}  // namespace vesk

size_t std::hash<vesk::MessageKey>::operator()(const vesk::MessageKey& k) const noexcept {
    // FNV-1a over the kind and the used bytes.
    uint64_t h = 1469598103934665603ull ^ static_cast<uint8_t>(k.kind);
    h *= 1099511628211ull;
    for (size_t i = 0; i < k.len; ++i) {
        h ^= k.fields[i];
        h *= 1099511628211ull;
    }
    return static_cast<size_t>(h);
}
