#pragma once
// The protocol's one message type and its signed payloads.
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/saturating.hpp"
#include "consensus/certificate.hpp"
#include "consensus/types.hpp"
#include "hash/hash.hpp"

namespace vesk {

struct Ping {
    BlsPubkey sender;
    uint64_t nonce = 0;
    BlsSignature signature;

    Ping() = default;
    Ping(const BlsPubkey& sender, uint64_t nonce, const BlsSecretKey& secret);
    bool verify() const;
    bool operator==(const Ping&) const = default;
};

struct Pong {
    BlsPubkey pinger;
    BlsPubkey responder;
    uint64_t nonce = 0;
    BlsSignature signature;

    Pong() = default;
    Pong(const BlsPubkey& pinger, const BlsPubkey& responder, uint64_t nonce, const BlsSecretKey& secret);
    bool verify() const;
    bool operator==(const Pong&) const = default;
};

struct EntryAnnouncement {
    Hash entry_hash;
    BlsPubkey producer;
    uint64_t slot = 0;
    uint64_t entry_id = 0;

    bool operator==(const EntryAnnouncement&) const = default;
};

// The signature covers the slot and the entry hash only; the entry hash binds
// the producer and the index.
struct SignedEntryAnnouncement {
    Hash entry_hash;
    BlsPubkey producer;
    uint64_t slot = 0;
    uint64_t entry_id = 0;
    BlsSignature signature;

    SignedEntryAnnouncement() = default;
    SignedEntryAnnouncement(const EntryAnnouncement& announcement, const BlsSecretKey& secret);
    EntryAnnouncement announcement() const { return {entry_hash, producer, slot, entry_id}; }
    bool verify() const;
    bool operator==(const SignedEntryAnnouncement&) const = default;
};

struct StateSyncRequest {
    BlsPubkey requester;
    uint64_t from_slot = 0;
    BlsSignature signature;

    bool verify() const;
    bool operator==(const StateSyncRequest&) const = default;
};

struct StateSyncResponse {
    std::vector<BlsPubkey> members;
    uint64_t to_slot = 0;
    BlsPubkey vesk_id;
    bool has_next_view = false;
    std::vector<QuorumCertificate> qcs;
    BlsPubkey responder;
    BlsSignature signature;

    StateSyncResponse() = default;
    StateSyncResponse(std::vector<BlsPubkey> members, uint64_t to_slot, const BlsPubkey& vesk_id, bool has_next_view,
                      std::vector<QuorumCertificate> qcs, const BlsPubkey& responder, const BlsSecretKey& secret);
    std::vector<uint8_t> signing_bytes() const;
    bool verify() const;
    bool operator==(const StateSyncResponse&) const = default;
};

struct QcRequest {
    BlsPubkey requester;
    uint64_t slot = 0;
    std::optional<Hash> qc_id;
    BlsSignature signature;

    QcRequest() = default;
    QcRequest(const BlsPubkey& requester, uint64_t slot, std::optional<Hash> qc_id, const BlsSecretKey& secret);
    bool verify() const;
    bool operator==(const QcRequest&) const = default;
};

struct QcResponse {
    BlsPubkey responder;
    QuorumCertificate qc;
    BlsSignature signature;

    QcResponse() = default;
    QcResponse(const BlsPubkey& responder, const QuorumCertificate& qc, const BlsSecretKey& secret);
    std::vector<uint8_t> signing_bytes() const;
    bool verify() const;
    bool operator==(const QcResponse&) const = default;
};

// One block a shred store holds; `value` is the store's own and is carried
// through catalogs uninterpreted.
struct ShredBlockRef {
    BlsPubkey producer;
    uint64_t slot = 0;
    uint32_t value = 0;

    bool operator==(const ShredBlockRef&) const = default;
};

struct ShredsAvailableRequest {
    BlsPubkey requester;
    uint64_t from_slot = 0;
    u128 nonce = 0;
    BlsSignature signature;

    bool verify() const;
    bool operator==(const ShredsAvailableRequest&) const = default;
};

struct ShredsAvailableResponse {
    BlsPubkey responder;
    uint64_t from_slot = 0;
    u128 nonce = 0;
    std::vector<ShredBlockRef> blocks;
    BlsSignature signature;

    ShredsAvailableResponse() = default;
    ShredsAvailableResponse(const BlsPubkey& responder, uint64_t from_slot, u128 nonce,
                            std::vector<ShredBlockRef> blocks, const BlsSecretKey& secret);
    std::vector<uint8_t> signing_bytes() const;
    bool verify() const;
    bool operator==(const ShredsAvailableResponse&) const = default;
};

struct ShredsFetchRequest {
    BlsPubkey requester;
    uint64_t slot = 0;
    BlsPubkey producer;
    uint32_t start_index = 0;
    BlsSignature signature;

    ShredsFetchRequest() = default;
    ShredsFetchRequest(const BlsPubkey& requester, uint64_t slot, const BlsPubkey& producer, uint32_t start_index,
                       const BlsSecretKey& secret);
    bool verify() const;
    bool operator==(const ShredsFetchRequest&) const = default;
};

struct ShredsFetchResponse {
    BlsPubkey responder;
    uint64_t slot = 0;
    BlsPubkey producer;
    uint32_t start_index = 0;
    std::optional<uint32_t> next_index;
    std::vector<std::vector<uint8_t>> shreds;
    BlsSignature signature;

    ShredsFetchResponse() = default;
    ShredsFetchResponse(const BlsPubkey& responder, uint64_t slot, const BlsPubkey& producer, uint32_t start_index,
                        std::optional<uint32_t> next_index, std::vector<std::vector<uint8_t>> shreds,
                        const BlsSecretKey& secret);
    std::vector<uint8_t> signing_bytes() const;
    bool verify() const;
    bool operator==(const ShredsFetchResponse&) const = default;
};

struct ShredsBehindResponse {
    BlsPubkey responder;
    BlsPubkey requester;
    uint64_t from_slot = 0;
    u128 nonce = 0;
    uint64_t tip_slot = 0;
    BlsSignature signature;

    ShredsBehindResponse() = default;
    ShredsBehindResponse(const BlsPubkey& responder, const BlsPubkey& requester, uint64_t from_slot, u128 nonce,
                         uint64_t tip_slot, const BlsSecretKey& secret);
    bool verify() const;
    bool operator==(const ShredsBehindResponse&) const = default;
};

// Kind numbers follow the declaration order of the message kinds.
enum class MessageKind : uint8_t {
    Ping,
    Pong,
    EntryProposed,
    BlockProposal,
    BlockSignature,
    Certificate,
    StateSyncRequest,
    StateSyncResponse,
    QcRequest,
    QcResponse,
    ShredsAvailableRequest,
    ShredsAvailableResponse,
    ShredsFetchRequest,
    ShredsFetchResponse,
    ShredsBehindResponse,
};

std::string_view kind_name(MessageKind kind);

// A message's kind and identifying fields; signatures never take part, so
// two differently signed copies of one message have the same key.
struct MessageKey {
    MessageKind kind = MessageKind::Ping;
    uint8_t len = 0;
    std::array<uint8_t, 112> fields{};

    bool operator==(const MessageKey& o) const {
        return kind == o.kind && len == o.len && std::equal(fields.begin(), fields.begin() + len, o.fields.begin());
    }
};

struct ConsensusMessage {
    using Payload = std::variant<Ping, Pong, SignedEntryAnnouncement, SignedBlockProposalMessage, SignedQuorumMessage,
                                 QuorumCertificate, StateSyncRequest, StateSyncResponse, QcRequest, QcResponse,
                                 ShredsAvailableRequest, ShredsAvailableResponse, ShredsFetchRequest,
                                 ShredsFetchResponse, ShredsBehindResponse>;
    Payload payload;

    template <class T>
        requires std::is_constructible_v<Payload, T&&>
    ConsensusMessage(T&& p) : payload(std::forward<T>(p)) {}

    MessageKind kind() const { return static_cast<MessageKind>(payload.index()); }
    std::string_view kind_name() const { return vesk::kind_name(kind()); }
    MessageKey key() const;

    template <class T>
    const T* get_if() const {
        return std::get_if<T>(&payload);
    }
    bool operator==(const ConsensusMessage&) const = default;
};

struct Broadcast {
    ConsensusMessage message;
    bool operator==(const Broadcast&) const = default;
};
struct Unicast {
    BlsPubkey recipient;
    ConsensusMessage message;
    bool operator==(const Unicast&) const = default;
};
using ConsensusMessageEnvelope = std::variant<Broadcast, Unicast>;

enum class EvictionReason : uint8_t {
    Equivocation,
    Unspecified,
    ConsensusViolation,
    BlockIdMismatch,
    TimestampNonMonotonic,
    TimestampSkewed,
};

void display(std::string& out, EvictionReason r);
void debug(std::string& out, EvictionReason r);
void debug(std::string& out, MessageKind k);

}  // namespace vesk

template <>
struct std::hash<vesk::MessageKey> {
    size_t operator()(const vesk::MessageKey& k) const noexcept;
};
