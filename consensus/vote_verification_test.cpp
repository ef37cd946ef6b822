#include "consensus/vote_verification.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/random.hpp"
#include "base/text.hpp"
#include "consensus/bls.hpp"
#include "consensus/test_keys.hpp"

namespace vesk {

// Readable failure output.
static void PrintTo(const VerifiedVote& v, std::ostream* os) { *os << to_debug(v); }

namespace {

using Pair = std::pair<Hash, SignedQuorumMessage>;

Hash filled(uint8_t v) {
    Hash h;
    h.bytes.fill(v);
    return h;
}

const std::vector<NodeIdentity>& ids() {
    static const std::vector<NodeIdentity> v = testkeys::identities(70);
    return v;
}

// Statements 0 and 1 differ only in the cross-chain epoch, so a cache keyed
// on anything less than every field would mix them up.
QuorumMessage statement(int which) {
    QuorumMessage m;
    m.slot = which == 2 ? 8 : 7;
    m.parent_qc_id = filled(0x11);
    m.leader_view = 3;
    m.entries_hash = filled(0x22);
    m.vesk_id = ids()[0].pubkey;
    m.timestamp = 1'700'000'000'000;
    m.bank_hash = filled(0x44);
    m.crosschain = CrosschainCommitment{filled(0x55), which == 1 ? 10u : 9u};
    m.qc_id = QuorumMessage::compute_qc_id(m.slot, m.parent_qc_id, m.leader_view, m.entries_hash, m.vesk_id,
                                           m.timestamp, m.bank_hash, m.recovery, m.crosschain);
    return m;
}

const Hash VIEW_A = filled(0xa1);
const Hash VIEW_B = filled(0xb2);

BlsSignature sign_statement(uint32_t signer, const QuorumMessage& m) {
    return bls::sign(ids()[signer].secret, m.signing_bytes());
}

BlsSignature identity_signature() {
    BlsSignature s;
    s.bytes[0] = 0xc0;
    return s;
}

// Compressed points that lie on the curve but outside the prime-order subgroup.
BlsPubkey key_outside_subgroup() {
    for (uint8_t x = 1;; ++x) {
        BlsPubkey k;
        k.bytes[0] = 0x80;
        k.bytes[47] = x;
        blst_p1_affine p;
        if (blst_p1_uncompress(&p, k.bytes.data()) == BLST_SUCCESS && !blst_p1_affine_in_g1(&p)) return k;
    }
}
BlsSignature signature_outside_subgroup() {
    for (uint8_t x = 1;; ++x) {
        BlsSignature s;
        s.bytes[0] = 0x80;
        s.bytes[95] = x;
        blst_p2_affine p;
        if (blst_p2_uncompress(&p, s.bytes.data()) == BLST_SUCCESS && !blst_p2_affine_in_g2(&p)) return s;
    }
}

enum class Kind {
    Valid,
    OtherSigner,         // signature of another key over the same statement
    OtherStatement,      // own key, signature over another statement
    IdentityBoth,        // identity key and identity signature: the single check passes
    IdentityKey,         // identity key, a real signature
    IdentitySignature,   // real key, identity signature
    KeyUndecodable,      // 48 zero bytes: no compressed flag
    SignatureUndecodable,
    KeyOutsideSubgroup,
    SignatureOutsideSubgroup,
};

SignedQuorumMessage make_vote(Kind kind, uint32_t signer, const QuorumMessage& m) {
    SignedQuorumMessage v{sign_statement(signer, m), ids()[signer].pubkey, m};
    switch (kind) {
        case Kind::Valid: break;
        case Kind::OtherSigner: v.signature = sign_statement(signer + 1, m); break;
        case Kind::OtherStatement: v.signature = sign_statement(signer, statement(2)); break;
        case Kind::IdentityBoth:
            v.pubkey = BlsPubkey::identity();
            v.signature = identity_signature();
            break;
        case Kind::IdentityKey: v.pubkey = BlsPubkey::identity(); break;
        case Kind::IdentitySignature: v.signature = identity_signature(); break;
        case Kind::KeyUndecodable: v.pubkey = BlsPubkey{}; break;
        case Kind::SignatureUndecodable: v.signature = BlsSignature{}; break;
        case Kind::KeyOutsideSubgroup: v.pubkey = key_outside_subgroup(); break;
        case Kind::SignatureOutsideSubgroup: v.signature = signature_outside_subgroup(); break;
    }
    return v;
}

// The single check, with the identity refused on either side.
bool single_answer(const SignedQuorumMessage& v) {
    auto k = PubkeyAffine::decode(v.pubkey);
    auto s = SignatureAffine::decode(v.signature);
    return k && !k->is_identity() && s && !s->is_identity() && v.validate();
}

std::vector<VerifiedVote> single_answers(const std::vector<Pair>& votes) {
    std::vector<VerifiedVote> out;
    for (const auto& [view, vote] : votes) {
        if (single_answer(vote)) {
            out.push_back({VerifiedVote::Valid{view, vote}});
        } else {
            out.push_back({VerifiedVote::Invalid{vote.pubkey}});
        }
    }
    return out;
}

struct Shape {
    Kind kind = Kind::Valid;
    int statement = 0;
    bool other_view = false;
};

std::vector<Pair> build(const std::vector<Shape>& shapes) {
    std::vector<Pair> out;
    for (size_t i = 0; i < shapes.size(); ++i) {
        const Shape& s = shapes[i];
        out.emplace_back(s.other_view ? VIEW_B : VIEW_A,
                         make_vote(s.kind, static_cast<uint32_t>(i % 60), statement(s.statement)));
    }
    return out;
}

std::vector<Shape> valid(size_t n) {
    std::vector<Shape> v;
    v.resize(n);
    return v;
}
std::vector<Shape> with(std::vector<Shape> v, size_t at, Shape s) {
    v.at(at) = s;
    return v;
}

TEST(VoteSignatureVerifier, AnswersEqualSingleChecks) {
    // The two swapped signatures cancel out in an unweighted sum, so only
    // random coefficients keep that chunk from passing.
    std::vector<Pair> swapped = build(valid(4));
    std::swap(swapped[1].second.signature, swapped[2].second.signature);

    std::vector<Shape> mixed;
    const Kind kinds[] = {Kind::Valid,          Kind::OtherSigner,   Kind::Valid,
                          Kind::OtherStatement, Kind::IdentityBoth,  Kind::IdentityKey,
                          Kind::Valid,          Kind::IdentitySignature, Kind::KeyUndecodable,
                          Kind::SignatureUndecodable, Kind::KeyOutsideSubgroup, Kind::SignatureOutsideSubgroup};
    for (size_t i = 0; i < 27; ++i) {
        mixed.push_back(Shape{kinds[i % std::size(kinds)], static_cast<int>(i % 5 == 0), i % 7 == 3});
    }

    struct Case {
        const char* name;
        std::vector<Pair> votes;
    };
    const Case cases[] = {
        {"empty", {}},
        {"one vote", build(valid(1))},
        {"eight valid", build(valid(8))},
        {"nine valid", build(valid(9))},
        {"sixty-four valid", build(valid(64))},
        {"eight with a forgery at 5", build(with(valid(8), 5, {Kind::OtherSigner}))},
        {"nine with a forgery at 8", build(with(valid(9), 8, {Kind::OtherStatement}))},
        {"two statements differing in one field", build({{Kind::Valid, 0}, {Kind::Valid, 1}})},
        {"alternating statements", build({{Kind::Valid, 0}, {Kind::Valid, 1}, {Kind::Valid, 0}, {Kind::Valid, 1}})},
        {"two view ids", build({{Kind::Valid, 0, false}, {Kind::Valid, 0, true}})},
        {"identity key and signature", build(with(valid(8), 2, {Kind::IdentityBoth}))},
        {"identity key", build(with(valid(8), 0, {Kind::IdentityKey}))},
        {"identity signature", build(with(valid(8), 7, {Kind::IdentitySignature}))},
        {"lone identity key and signature", build({{Kind::IdentityBoth}})},
        {"undecodable key", build(with(valid(3), 1, {Kind::KeyUndecodable}))},
        {"undecodable signature", build(with(valid(3), 1, {Kind::SignatureUndecodable}))},
        {"key outside the subgroup", build(with(valid(3), 1, {Kind::KeyOutsideSubgroup}))},
        {"signature outside the subgroup", build(with(valid(3), 1, {Kind::SignatureOutsideSubgroup}))},
        {"swapped signatures", swapped},
        {"everything mixed over four chunks", build(mixed)},
    };
    VoteSignatureVerifier shared;  // caches carried from case to case
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto expected = single_answers(c.votes);
        VoteSignatureVerifier fresh;
        EXPECT_EQ(fresh.verify(c.votes), expected);
        EXPECT_EQ(shared.verify(c.votes), expected);
    }
}

TEST(VoteSignatureVerifier, IdentityPointsAreRefusedWhereTheSingleCheckPasses) {
    const auto v = make_vote(Kind::IdentityBoth, 0, statement(0));
    ASSERT_TRUE(v.validate());
    VoteSignatureVerifier verifier;
    const auto out = verifier.verify(std::vector<Pair>{{VIEW_A, v}, {VIEW_A, v}});
    ASSERT_EQ(out.size(), 2u);
    for (const auto& r : out) {
        ASSERT_FALSE(r.is_valid());
        EXPECT_EQ(r.invalid()->pubkey, BlsPubkey::identity());
    }
    EXPECT_FALSE(verifier.key(BlsPubkey::identity()));
}

TEST(VoteSignatureVerifier, RandomMixesEqualSingleChecks) {
    // Mostly valid votes on few statements, so that many chunks try the batch
    // and some of those fail it.
    const Kind pool[] = {Kind::Valid, Kind::Valid,          Kind::Valid,        Kind::Valid,
                         Kind::Valid, Kind::Valid,          Kind::Valid,        Kind::OtherSigner,
                         Kind::OtherStatement, Kind::IdentityBoth, Kind::IdentitySignature, Kind::KeyUndecodable};
    auto rng = ChaCha12Rng::from_seed_u64(0x766f746573);
    VoteSignatureVerifier verifier;
    for (int round = 0; round < 30; ++round) {
        std::vector<Shape> shapes(rng.next_u32() % 26);
        for (Shape& s : shapes) {
            s.kind = pool[rng.next_u32() % std::size(pool)];
            s.statement = rng.next_u32() % 8 == 0 ? 1 : 0;
            s.other_view = rng.next_u32() % 16 == 0;
        }
        const auto votes = build(shapes);
        SCOPED_TRACE(round);
        EXPECT_EQ(verifier.verify(votes), single_answers(votes));
    }
}

TEST(VoteSignatureVerifier, BatchEquationHoldsExactlyForValidChunks) {
    VoteSignatureVerifier verifier;
    const auto h = verifier.message(statement(0));
    auto decoded = [](const std::vector<Pair>& votes) {
        std::pair<std::vector<PubkeyAffine>, std::vector<SignatureAffine>> out;
        for (const auto& [view, vote] : votes) {
            out.first.push_back(*PubkeyAffine::decode(vote.pubkey));
            out.second.push_back(*SignatureAffine::decode(vote.signature));
        }
        return out;
    };
    for (size_t n = 2; n <= 8; ++n) {
        auto votes = build(valid(n));
        auto [keys, sigs] = decoded(votes);
        SCOPED_TRACE(n);
        EXPECT_TRUE(VoteSignatureVerifier::batch_equation(keys, sigs, h));

        auto swapped = sigs;
        std::swap(swapped.front(), swapped.back());
        EXPECT_FALSE(VoteSignatureVerifier::batch_equation(keys, swapped, h));

        // The same vote twice makes the sums meet a doubling.
        keys.back() = keys.front();
        sigs.back() = sigs.front();
        EXPECT_TRUE(VoteSignatureVerifier::batch_equation(keys, sigs, h));
    }
    auto votes = build(with(valid(8), 4, {Kind::Valid, 1}));
    auto [keys, sigs] = decoded(votes);
    EXPECT_FALSE(VoteSignatureVerifier::batch_equation(keys, sigs, h));
}

TEST(VoteSignatureVerifier, KeyCacheEmptiesWhenFullAndKeepsOnlyGoodKeys) {
    VoteSignatureVerifier verifier;
    for (uint32_t i = 0; i < 64; ++i) {
        auto k = verifier.key(ids()[i].pubkey);
        ASSERT_TRUE(k);
        EXPECT_TRUE(blst_p1_affine_is_equal(&k->point, &PubkeyAffine::decode(ids()[i].pubkey)->point));
    }
    EXPECT_EQ(verifier.key_cache.size(), 64u);

    // Keys that fail are never cached, so they do not trigger the emptying.
    EXPECT_FALSE(verifier.key(BlsPubkey::identity()));
    EXPECT_FALSE(verifier.key(BlsPubkey{}));
    EXPECT_FALSE(verifier.key(key_outside_subgroup()));
    EXPECT_TRUE(verifier.key(ids()[10].pubkey));
    EXPECT_EQ(verifier.key_cache.size(), 64u);

    EXPECT_TRUE(verifier.key(ids()[64].pubkey));
    ASSERT_EQ(verifier.key_cache.size(), 1u);
    EXPECT_TRUE(verifier.key_cache.contains(ids()[64].pubkey));
}

TEST(VoteSignatureVerifier, AnswersSurviveTheCacheEmptying) {
    // 66 votes from 66 distinct voters: the 65th empties the cache mid-run.
    std::vector<Pair> votes;
    for (uint32_t i = 0; i < 66; ++i) votes.emplace_back(VIEW_A, make_vote(Kind::Valid, i, statement(0)));
    votes[64].second.signature = sign_statement(64, statement(1));
    VoteSignatureVerifier verifier;
    EXPECT_EQ(verifier.verify(votes), single_answers(votes));
    EXPECT_EQ(verifier.key_cache.size(), 2u);
    EXPECT_EQ(verifier.verify(votes), single_answers(votes));
}

TEST(VoteSignatureVerifier, PreparesEachDistinctStatementOnce) {
    VoteSignatureVerifier verifier;
    EXPECT_FALSE(verifier.last_message);

    auto expect_lines_of = [&](const QuorumMessage& m) {
        blst_p2_affine h = bls::hash_to_g2(m.signing_bytes());
        MillerLines lines;
        blst_precompute_lines(lines.data(), &h);
        ASSERT_TRUE(verifier.prepared_message);
        EXPECT_EQ(std::memcmp(verifier.prepared_message->data(), lines.data(), sizeof lines), 0);
        EXPECT_EQ(verifier.last_message, m);
    };
    const auto* first = &verifier.message(statement(0));
    expect_lines_of(statement(0));
    EXPECT_EQ(&verifier.message(statement(0)), first);
    verifier.message(statement(1));
    expect_lines_of(statement(1));
}

}  // namespace
}  // namespace vesk
