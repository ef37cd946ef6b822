#include "consensus/statemachine/types.hpp"

#include "base/random.hpp"

namespace vesk {

void InlineVoteVerifier::verify_queued() {
    if (queue.empty()) return;
    std::vector<std::pair<Hash, SignedQuorumMessage>> batch;
    batch.reserve(queue.size());
    for (auto& q : queue) batch.emplace_back(q.view_id, std::move(q.vote));
    queue.clear();
    for (auto& outcome : verifier.verify(batch)) ready.push_back(std::move(outcome));
}

std::optional<VerifiedVote> InlineVoteVerifier::pop_ready() {
    if (ready.empty()) return std::nullopt;
    VerifiedVote v = std::move(ready.front());
    ready.pop_front();
    return v;
}

u128 ShredCatchup::fresh_query_nonce() {
    u128 lo = thread_rng().next_u64();
    u128 hi = thread_rng().next_u64();
    return lo | (hi << 64);
}

}  // namespace vesk
