#include "consensus/certificate.hpp"

#include <cstring>
#include <vector>

#include "base/bytes.hpp"
#include "base/contract.hpp"
#include "base/diag.hpp"
#include "base/saturating.hpp"
#include "base/text.hpp"
#include "consensus/bls.hpp"

namespace vesk {

namespace {

template <size_t N>
std::array<uint8_t, N> to_array(const std::vector<uint8_t>& v) {
    contract_check(v.size() == N, "fixed-size byte layout");
    std::array<uint8_t, N> a;
    std::memcpy(a.data(), v.data(), N);
    return a;
}

}  // namespace

std::array<uint8_t, QuorumMessage::BYTES_LEN> QuorumMessage::to_bytes() const {
    ByteWriter w(BYTES_LEN);
    w.u64(slot).bytes(parent_qc_id.bytes).u64(leader_view).bytes(entries_hash.bytes).bytes(vesk_id.bytes);
    w.i64(timestamp).bytes(bank_hash.bytes).bytes(qc_id.bytes).boolean(recovery);
    w.bytes(crosschain.root.bytes).u64(crosschain.epoch);
    return to_array<BYTES_LEN>(w.data());
}

std::array<uint8_t, QuorumMessage::SIGNING_LEN> QuorumMessage::signing_bytes() const {
    std::array<uint8_t, SIGNING_LEN> out;
    std::memcpy(out.data(), SIGNING_TAG.data(), SIGNING_TAG.size());
    auto body = to_bytes();
    std::memcpy(out.data() + SIGNING_TAG.size(), body.data(), body.size());
    return out;
}

Hash QuorumMessage::compute_qc_id(uint64_t slot, const Hash& parent_qc_id, uint64_t leader_view,
                                  const Hash& entries_hash, const BlsPubkey& vesk_id, int64_t timestamp,
                                  const Hash& bank_hash, bool recovery,
                                  const CrosschainCommitment& crosschain) {
    ByteWriter w(219);
    w.tag("vesk-qc-id").u64(slot).bytes(parent_qc_id.bytes).u64(leader_view).bytes(entries_hash.bytes);
    w.bytes(vesk_id.bytes).i64(timestamp).bytes(bank_hash.bytes).boolean(recovery);
    w.bytes(crosschain.root.bytes).u64(crosschain.epoch);
    return hashv({w.data()});
}

bool SignedQuorumMessage::validate() const {
    return bls::verify(pubkey, signature, message.signing_bytes());
}

std::array<uint8_t, BlockProposalMessage::SIGNING_LEN> BlockProposalMessage::signing_bytes() const {
    ByteWriter w(SIGNING_LEN);
    w.tag(SIGNING_TAG).u64(slot).bytes(parent_qc_id.bytes).u64(leader_view).bytes(entries_hash.bytes);
    w.u64(entry_count).bytes(proof_hash.bytes).bytes(vesk_id.bytes).i64(timestamp).boolean(recovery);
    return to_array<SIGNING_LEN>(w.data());
}

BlsSignature BlockProposalMessage::sign(const BlsSecretKey& secret) const {
    return bls::sign(secret, signing_bytes());
}

QuorumMessage BlockProposalMessage::to_quorum_message(const Hash& bank_hash,
                                                      const CrosschainCommitment& crosschain) const {
    QuorumMessage m;
    m.slot = slot;
    m.parent_qc_id = parent_qc_id;
    m.leader_view = leader_view;
    m.entries_hash = entries_hash;
    m.vesk_id = vesk_id;
    m.timestamp = timestamp;
    m.bank_hash = bank_hash;
    m.recovery = recovery;
    m.crosschain = crosschain;
    m.qc_id = QuorumMessage::compute_qc_id(slot, parent_qc_id, leader_view, entries_hash, vesk_id, timestamp,
                                           bank_hash, recovery, crosschain);
    return m;
}

bool SignedBlockProposalMessage::validate() const {
    return bls::verify(pubkey, signature, proposal.signing_bytes());
}

QuorumCertificate::QuorumCertificate(const Hash& view_id, const QuorumMessage& msg,
                                     std::span<const std::pair<size_t, BlsSignature>> signatures)
    : quorum_view_id(view_id), message(msg) {
    std::vector<BlsSignature> sigs;
    sigs.reserve(signatures.size());
    for (const auto& [index, sig] : signatures) {
        if (index > 63) continue;
        sigs.push_back(sig);
        bitmap |= uint64_t{1} << index;
    }
    if (auto agg = bls::aggregate_signatures(sigs)) {
        aggregated_signature = *agg;
    } else {
        diag::error("vesk_consensus::certificate", [&] {
            return format("Invalid BLS signature when building QC for quorum message ID {}", message.qc_id);
        });
    }
}

std::array<uint8_t, QuorumCertificate::BODY_LEN> QuorumCertificate::body_bytes() const {
    ByteWriter w(BODY_LEN);
    w.bytes(quorum_view_id.bytes).bytes(message.to_bytes()).u64(bitmap);
    return to_array<BODY_LEN>(w.data());
}

bool QuorumCertificate::verify(const QuorumView& view) const {
    if (quorum_view_id != view.view_id) return false;
    u128 signed_stake = 0;
    for (size_t i = 0; i < view.len() && i < 64; ++i) {
        if ((bitmap >> i) & 1) signed_stake = sat_add(signed_stake, u128{view.stakes[i]});
    }
    if (!view.reaches_two_thirds(signed_stake)) return false;
    return bls::verify_aggregate(view.aggregate_keys(bitmap), aggregated_signature, message.signing_bytes());
}

void debug(std::string& out, const CrosschainCommitment& c) {
    DebugStruct(out, "CrosschainCommitment").field("root", c.root).field("epoch", c.epoch).finish();
}

void debug(std::string& out, const QuorumMessage& m) {
    DebugStruct(out, "QuorumMessage")
        .field("slot", m.slot)
        .field("parent_qc_id", m.parent_qc_id)
        .field("leader_view", m.leader_view)
        .field("entries_hash", m.entries_hash)
        .field("vesk_id", m.vesk_id)
        .field("timestamp", m.timestamp)
        .field("bank_hash", m.bank_hash)
        .field("qc_id", m.qc_id)
        .field("recovery", m.recovery)
        .field("crosschain", m.crosschain)
        .finish();
}

void debug(std::string& out, const SignedQuorumMessage& v) {
    DebugStruct(out, "SignedQuorumMessage")
        .field("signature", v.signature)
        .field("pubkey", v.pubkey)
        .field("message", v.message)
        .finish();
}

void debug(std::string& out, const BlockProposalMessage& p) {
    DebugStruct(out, "BlockProposalMessage")
        .field("slot", p.slot)
        .field("parent_qc_id", p.parent_qc_id)
        .field("leader_view", p.leader_view)
        .field("entries_hash", p.entries_hash)
        .field("entry_count", p.entry_count)
        .field("proof_hash", p.proof_hash)
        .field("vesk_id", p.vesk_id)
        .field("timestamp", p.timestamp)
        .field("recovery", p.recovery)
        .finish();
}

void debug(std::string& out, const SignedBlockProposalMessage& p) {
    DebugStruct(out, "SignedBlockProposalMessage")
        .field("signature", p.signature)
        .field("pubkey", p.pubkey)
        .field("proposal", p.proposal)
        .finish();
}

void debug(std::string& out, const QuorumCertificate& c) {
    DebugStruct(out, "QuorumCertificate")
        .field("quorum_view_id", c.quorum_view_id)
        .field("aggregated_signature", c.aggregated_signature)
        .field("message", c.message)
        .field("bitmap", c.bitmap)
        .finish();
}

}  // namespace vesk
