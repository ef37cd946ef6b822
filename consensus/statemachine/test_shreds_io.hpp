#pragma once
// An in-memory shred store for tests. Blocks are kept in the order they were
// added and served in chunks of a fixed size; ingested shreds are kept in
// arrival order. Locked, since a store may be shared between threads.
#include <algorithm>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "consensus/statemachine/types.hpp"

namespace vesk::testsupport {

using Shred = std::vector<uint8_t>;

// `count` distinct shreds of one block: {slot, tag, index}.
inline std::vector<Shred> make_shreds(uint64_t slot, uint8_t tag, size_t count) {
    std::vector<Shred> out;
    for (size_t i = 0; i < count; ++i) {
        out.push_back({static_cast<uint8_t>(slot), tag, static_cast<uint8_t>(i)});
    }
    return out;
}

class MemoryShredsIo : public ShredsIo {
public:
    explicit MemoryShredsIo(size_t chunk = 3) : chunk_(chunk) {}

    void add_block(const BlsPubkey& producer, uint64_t slot, std::vector<Shred> shreds, uint32_t value = 0) {
        std::lock_guard lock(mu_);
        blocks_.push_back({ShredBlockRef{producer, slot, value}, std::move(shreds)});
    }
    // A careless store lists every block it holds, whatever the range.
    void set_ignore_range(bool ignore) {
        std::lock_guard lock(mu_);
        ignore_range_ = ignore;
    }

    std::vector<ShredBlockRef> list_blocks(uint64_t first_slot, uint64_t last_slot) override {
        std::lock_guard lock(mu_);
        std::vector<ShredBlockRef> out;
        for (const Block& b : blocks_) {
            if (ignore_range_ || (b.ref.slot >= first_slot && b.ref.slot <= last_slot)) out.push_back(b.ref);
        }
        return out;
    }

    Fetched fetch_shreds(uint64_t slot, const BlsPubkey& producer, uint32_t start_index) override {
        std::lock_guard lock(mu_);
        Fetched out;
        auto it = std::find_if(blocks_.begin(), blocks_.end(),
                               [&](const Block& b) { return b.ref.slot == slot && b.ref.producer == producer; });
        if (it == blocks_.end() || start_index >= it->shreds.size()) return out;
        size_t end = std::min(it->shreds.size(), size_t{start_index} + chunk_);
        out.shreds.assign(it->shreds.begin() + start_index, it->shreds.begin() + static_cast<ptrdiff_t>(end));
        if (end < it->shreds.size()) out.next_index = static_cast<uint32_t>(end);
        return out;
    }

    void ingest_shreds(std::vector<Shred> shreds) override {
        std::lock_guard lock(mu_);
        ++ingest_calls_;
        for (Shred& s : shreds) ingested_.push_back(std::move(s));
    }

    std::vector<Shred> ingested() const {
        std::lock_guard lock(mu_);
        return ingested_;
    }
    size_t ingest_calls() const {
        std::lock_guard lock(mu_);
        return ingest_calls_;
    }

private:
    struct Block {
        ShredBlockRef ref;
        std::vector<Shred> shreds;
    };
    mutable std::mutex mu_;
    size_t chunk_;
    bool ignore_range_ = false;
    std::vector<Block> blocks_;
    std::vector<Shred> ingested_;
    size_t ingest_calls_ = 0;
};

}  // namespace vesk::testsupport
