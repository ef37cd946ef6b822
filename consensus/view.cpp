#include "consensus/view.hpp"

#include <algorithm>

#include "base/bytes.hpp"
#include "base/diag.hpp"
#include "base/text.hpp"

namespace vesk {

namespace {
constexpr std::string_view TARGET = "vesk_consensus::view";
}

QuorumView::QuorumView(uint64_t start, uint64_t end,
                       std::span<const std::pair<BlsPubkey, uint64_t>> members)
    : start_slot(start), end_slot(end) {
    std::vector<std::pair<BlsPubkey, uint64_t>> sorted(members.begin(), members.end());
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) {
        if (a.second != b.second) return a.second > b.second;
        return a.first < b.first;
    });

    sorted_members.reserve(MAX_MEMBERS);
    stakes.reserve(MAX_MEMBERS);
    keys.reserve(MAX_MEMBERS);
    points.reserve(MAX_MEMBERS);
    for (const auto& member : sorted) {
        // Named copies rather than a structured binding: clang before 16
        // cannot capture a binding in the lambdas below.
        const BlsPubkey& key = member.first;
        const uint64_t stake = member.second;
        auto decoded = PubkeyAffine::decode(key);
        // The identity decodes, but with the identity signature it passes
        // for every message: a member holding it would let anyone certify
        // anything. It is no key, so it is left out like one.
        if (!decoded || decoded->is_identity()) {
            diag::error(TARGET, [&] {
                return format("Invalid voting pubkey {} with stake {}; excluding from quorum between slots {}..{}",
                              key, stake, start_slot, end_slot);
            });
            continue;
        }
        // Equal keys are adjacent only among equal stakes, so look them all up.
        if (std::find(keys.begin(), keys.end(), key) != keys.end()) {
            diag::error(TARGET, [&] {
                return format("Duplicate voting pubkey {} with stake {}; excluding from quorum between slots {}..{}",
                              key, stake, start_slot, end_slot);
            });
            continue;
        }
        auto index = static_cast<uint8_t>(keys.size());
        PubkeyProjective p;
        blst_p1_from_affine(&p.point, &decoded->point);
        stakes.push_back(stake);
        keys.push_back(key);
        points.push_back(p);
        sorted_members.emplace_back(key, index);
        total_stake = sat_add(total_stake, u128{stake});
        if (keys.size() == MAX_MEMBERS) break;
    }
    std::sort(sorted_members.begin(), sorted_members.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });

    ByteWriter w(12 + 16 + 56 * keys.size());
    w.tag("vesk-view-id").u64(start_slot).u64(end_slot);
    for (uint64_t s : stakes) w.u64(s);
    for (const BlsPubkey& k : keys) w.bytes(k.bytes);
    view_id = hashv({w.data()});
}

std::optional<uint8_t> QuorumView::find_pubkey_index(const BlsPubkey& key) const {
    auto it = std::lower_bound(sorted_members.begin(), sorted_members.end(), key,
                               [](const auto& entry, const BlsPubkey& k) { return entry.first < k; });
    if (it == sorted_members.end() || it->first != key) return std::nullopt;
    return it->second;
}

std::optional<uint64_t> QuorumView::get_stake_by_pubkey(const BlsPubkey& key) const {
    auto index = find_pubkey_index(key);
    if (!index) return std::nullopt;
    return stakes[*index];
}

bool QuorumView::reaches_two_thirds(u128 stake) const {
    return total_stake != 0 && sat_mul(u128{3}, stake) >= sat_mul(u128{2}, total_stake);
}

BlsPubkey QuorumView::aggregate_keys(uint64_t bitmap) const {
    blst_p1 sum{};
    bool any = false;
    for (size_t i = 0; i < points.size() && i < 64; ++i) {
        if ((bitmap >> i) & 1) {
            blst_p1_add_or_double(&sum, &sum, &points[i].point);
            any = true;
        }
    }
    if (!any) {
        diag::error(TARGET, [&] {
            return format("Error aggregating public keys with bitmap {} on quorum id {}", bitmap, view_id);
        });
        return BlsPubkey::identity();
    }
    return BlsPubkey::from_projective(PubkeyProjective{sum});
}

}  // namespace vesk
