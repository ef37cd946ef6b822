#pragma once
// Signature checks of many votes at once, for the leader that collects them:
// up to eight votes on one statement share one randomised pairing equation,
// with an exact per-vote check whenever that equation fails.
#include <blst.h>

#include <array>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "consensus/bls.hpp"
#include "consensus/certificate.hpp"
#include "consensus/types.hpp"
#include "hash/hash.hpp"

namespace vesk {

// The answer for one queued vote.
struct VerifiedVote {
    // The input pair, unchanged.
    struct Valid {
        Hash view_id;
        SignedQuorumMessage vote;
        bool operator==(const Valid&) const = default;
    };
    // The voter's key.
    struct Invalid {
        BlsPubkey pubkey;
        bool operator==(const Invalid&) const = default;
    };

    std::variant<Valid, Invalid> value;

    bool operator==(const VerifiedVote&) const = default;
    bool is_valid() const { return std::holds_alternative<Valid>(value); }
    const Valid* valid() const { return std::get_if<Valid>(&value); }
    const Invalid* invalid() const { return std::get_if<Invalid>(&value); }
};

void debug(std::string& out, const VerifiedVote& v);

using bls::MillerLines;

// Owned by one state machine and used from its thread only.
class VoteSignatureVerifier {
public:
    static constexpr size_t KEY_CACHE_CAPACITY = 64;
    static constexpr size_t CHUNK = 8;

    // Decoded keys that passed, identity excluded; emptied wholesale when full.
    std::unordered_map<BlsPubkey, PubkeyAffine> key_cache;
    // The statement whose H(m) is prepared.
    std::optional<QuorumMessage> last_message;
    // Lines of H(last_message); none when H(m) is the identity.
    std::optional<MillerLines> prepared_message;

    // One answer per pair (view id, vote), in input order.
    std::vector<VerifiedVote> verify(std::span<const std::pair<Hash, SignedQuorumMessage>> votes);

    // The decoded key, or none when it does not decode or is the identity.
    std::optional<PubkeyAffine> key(const BlsPubkey& pubkey);
    // Lines of H(m) for the vote signing bytes of m; none for the identity.
    const std::optional<MillerLines>& message(const QuorumMessage& m);

    // The randomised equation over up to eight decoded (key, signature) pairs
    // that all sign the statement whose lines are h; fresh coefficients on
    // each call.
    static bool batch_equation(std::span<const PubkeyAffine> keys, std::span<const SignatureAffine> signatures,
                               const std::optional<MillerLines>& h);

private:
    struct PreparedVote {
        bool usable = false;
        PubkeyAffine key;
        SignatureAffine signature;
    };

    PreparedVote prepare(const SignedQuorumMessage& vote);
    bool batch_holds(std::span<const PreparedVote> chunk, const QuorumMessage& statement);
};

}  // namespace vesk
