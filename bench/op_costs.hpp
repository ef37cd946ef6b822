#pragma once
// Pieces shared by the benchmarks that price a run against its
// signature-work floor.
#include <algorithm>
#include <chrono>
#include <utility>
#include <vector>

#include "consensus/bls.hpp"
#include "consensus/certificate.hpp"

namespace vesk::benchcost {

template <class F>
double seconds_per_call(F&& f, int calls) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; ++i) f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / calls;
}

// Every member's signature on m, in member index order; the first
// `vote_count` also as votes.
struct SignedByView {
    std::vector<std::pair<Hash, SignedQuorumMessage>> votes;
    std::vector<std::pair<size_t, BlsSignature>> sigs;
};

inline SignedByView sign_by_view(const std::vector<NodeIdentity>& ids, const QuorumView& view, const QuorumMessage& m,
                                 size_t vote_count) {
    SignedByView out;
    auto bytes = m.signing_bytes();
    for (size_t i = 0; i < view.len(); ++i) {
        auto& id = *std::find_if(ids.begin(), ids.end(), [&](auto& x) { return x.pubkey == view.keys[i]; });
        BlsSignature s = bls::sign(id.secret, bytes);
        out.sigs.emplace_back(i, s);
        if (out.votes.size() < vote_count) out.votes.emplace_back(view.view_id, SignedQuorumMessage{s, id.pubkey, m});
    }
    return out;
}

}  // namespace vesk::benchcost
