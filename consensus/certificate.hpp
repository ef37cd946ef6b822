#pragma once
// Votes, block proposals and quorum certificates, with their byte layouts.
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "consensus/types.hpp"
#include "consensus/view.hpp"
#include "hash/hash.hpp"

namespace vesk {

struct CrosschainCommitment {
    Hash root;
    uint64_t epoch = 0;

    bool operator==(const CrosschainCommitment&) const = default;
};

// What a vote signs and a certificate certifies.
struct QuorumMessage {
    static constexpr size_t BYTES_LEN = 241;
    static constexpr size_t SIGNING_LEN = 256;
    static constexpr std::string_view SIGNING_TAG = "QUORUM_CERT_DST";

    uint64_t slot = 0;
    Hash parent_qc_id;
    uint64_t leader_view = 0;
    Hash entries_hash;
    BlsPubkey vesk_id;
    int64_t timestamp = 0;
    Hash bank_hash;
    Hash qc_id;
    bool recovery = false;
    CrosschainCommitment crosschain;

    bool operator==(const QuorumMessage&) const = default;

    std::array<uint8_t, BYTES_LEN> to_bytes() const;
    // "QUORUM_CERT_DST" followed by to_bytes.
    std::array<uint8_t, SIGNING_LEN> signing_bytes() const;

    static Hash compute_qc_id(uint64_t slot, const Hash& parent_qc_id, uint64_t leader_view,
                              const Hash& entries_hash, const BlsPubkey& vesk_id, int64_t timestamp,
                              const Hash& bank_hash, bool recovery, const CrosschainCommitment& crosschain);
};

// One validator's vote.
struct SignedQuorumMessage {
    BlsSignature signature;
    BlsPubkey pubkey;
    QuorumMessage message;

    bool operator==(const SignedQuorumMessage&) const = default;
    bool validate() const;
};

struct BlockProposalMessage {
    static constexpr size_t SIGNING_LEN = 195;
    static constexpr std::string_view SIGNING_TAG = "BLOCK_PROPOSAL_DST";

    uint64_t slot = 0;
    Hash parent_qc_id;
    uint64_t leader_view = 0;
    Hash entries_hash;
    uint64_t entry_count = 0;
    Hash proof_hash;
    BlsPubkey vesk_id;
    int64_t timestamp = 0;
    bool recovery = false;

    bool operator==(const BlockProposalMessage&) const = default;

    std::array<uint8_t, SIGNING_LEN> signing_bytes() const;
    BlsSignature sign(const BlsSecretKey& secret) const;
    QuorumMessage to_quorum_message(const Hash& bank_hash, const CrosschainCommitment& crosschain) const;
};

struct SignedBlockProposalMessage {
    BlsSignature signature;
    BlsPubkey pubkey;
    BlockProposalMessage proposal;

    bool operator==(const SignedBlockProposalMessage&) const = default;
    bool validate() const;
};

struct QuorumCertificate {
    Hash quorum_view_id;
    BlsSignature aggregated_signature;
    QuorumMessage message;
    uint64_t bitmap = 0;

    QuorumCertificate() = default;
    // Aggregates the signatures of the listed member indexes; indexes above
    // 63 are skipped. A failed aggregation leaves an all-zero signature.
    QuorumCertificate(const Hash& view_id, const QuorumMessage& message,
                      std::span<const std::pair<size_t, BlsSignature>> signatures);

    bool operator==(const QuorumCertificate&) const = default;

    uint64_t slot() const { return message.slot; }
    const Hash& id() const { return message.qc_id; }
    static constexpr size_t BODY_LEN = 281;
    // View id, statement bytes and bitmap: how a certificate appears inside
    // other signed bytes (without its aggregated signature).
    std::array<uint8_t, BODY_LEN> body_bytes() const;

    // View id, two thirds of the stake (inclusive) and the aggregate signature.
    bool verify(const QuorumView& view) const;
};

void debug(std::string& out, const CrosschainCommitment& c);
void debug(std::string& out, const QuorumMessage& m);
void debug(std::string& out, const SignedQuorumMessage& v);
void debug(std::string& out, const BlockProposalMessage& p);
void debug(std::string& out, const SignedBlockProposalMessage& p);
void debug(std::string& out, const QuorumCertificate& c);

}  // namespace vesk
