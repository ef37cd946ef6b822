#include "consensus/entry_container.hpp"

#include <limits>

#include "base/bytes.hpp"
#include "base/saturating.hpp"
#include "base/text.hpp"
#include "hash/sha256.hpp"

namespace vesk {

Hash EntryMessage::hash() const {
    Sha256 h;
    ByteWriter head(40);
    head.tag("vesk-entry-hash").u64(slot).u64(index).boolean(flag).u64(transactions.size());
    h.update(head.data());
    for (const auto& tx : transactions) {
        ByteWriter len(8);
        len.u64(tx.size());
        h.update(len.data());
        h.update(tx);
    }
    h.update(producer.bytes);
    return Hash{h.finalize()};
}

Hash Block::compute_entries_hash(const Hash& seed, std::span<const Hash> entry_hashes) {
    Sha256 h;
    h.update(as_bytes("vesk-entries-hash"));
    h.update(seed.bytes);
    for (const Hash& e : entry_hashes) h.update(e.bytes);
    return Hash{h.finalize()};
}

std::pair<EntryContainer, Receiver<EntryContainer::StreamReceiver>> EntryContainer::make() {
    auto [tx, rx] = make_channel<StreamReceiver>();
    auto store = std::make_shared<Store>(std::move(tx));
    return {EntryContainer(std::move(store)), std::move(rx)};
}

EntryContainer::ProducerStream& EntryContainer::ensure_stream(const BlsPubkey& producer) {
    auto it = store_->streams.find(producer);
    if (it != store_->streams.end()) return it->second;
    auto [tx, rx] = make_channel<ProducerStreamEvent>();
    // Nobody may be listening for new streams; then the receiver just goes.
    store_->announcements.send(std::move(rx));
    return store_->streams.emplace(producer, ProducerStream(std::move(tx))).first->second;
}

void EntryContainer::ProducerStream::drain() {
    while (next_slot) {
        auto it = slots.find(*next_slot);
        if (it == slots.end() || !it->second.header) return;
        SlotEntries& slot = it->second;
        if (!slot.header_sent) {
            event_sender.send(ProducerStreamEvent{ProducerStreamEvent::Header{*slot.header}});
            slot.header_sent = true;
        }
        while (cursor < slot.header->entry_count) {
            auto e = slot.entries.find(cursor);
            if (e == slot.entries.end()) return;  // a gap waits for its entry
            event_sender.send(ProducerStreamEvent{ProducerStreamEvent::Entry{e->second}});
            ++cursor;
        }
        // The last slot of the range stays the next one, its cursor past its
        // entries: a wrap to slot 0 would deliver old slots again.
        if (*next_slot == std::numeric_limits<uint64_t>::max()) return;
        next_slot = *next_slot + 1;
        cursor = 0;
    }
}

AddOutcome EntryContainer::add(EntryMessage entry) {
    std::lock_guard lock(store_->mutex);
    ProducerStream& stream = ensure_stream(entry.producer);
    if (!stream.next_slot) stream.next_slot = entry.slot;
    if (entry.slot < *stream.next_slot) return AddOutcome::Rejected;
    SlotEntries& slot = stream.slots[entry.slot];
    if (slot.header && entry.index >= slot.header->entry_count) return AddOutcome::Rejected;
    auto existing = slot.entries.find(entry.index);
    if (existing == slot.entries.end()) {
        uint64_t index = entry.index;
        slot.entries.emplace(index, std::move(entry));
        stream.drain();
        return AddOutcome::Added;
    }
    return existing->second.hash() == entry.hash() ? AddOutcome::Duplicate : AddOutcome::Conflict;
}

bool EntryContainer::finish_slot(const BlockProposalMessage& header) {
    std::lock_guard lock(store_->mutex);
    ProducerStream& stream = ensure_stream(header.vesk_id);
    if (!stream.next_slot) stream.next_slot = header.slot;
    if (header.slot < *stream.next_slot) return false;
    SlotEntries& slot = stream.slots[header.slot];
    if (slot.header) return false;
    slot.header = header;
    stream.drain();
    return true;
}

std::optional<SlotEntriesMap> EntryContainer::get(const BlsPubkey& producer, uint64_t slot) const {
    std::lock_guard lock(store_->mutex);
    auto s = store_->streams.find(producer);
    if (s == store_->streams.end()) return std::nullopt;
    auto it = s->second.slots.find(slot);
    if (it == s->second.slots.end()) return std::nullopt;
    return it->second.entries;
}

void EntryContainer::remove(const BlsPubkey& producer, uint64_t slot) {
    std::lock_guard lock(store_->mutex);
    auto s = store_->streams.find(producer);
    if (s == store_->streams.end()) return;
    ProducerStream& stream = s->second;
    stream.slots.erase(slot);
    if (stream.next_slot == slot) {
        stream.next_slot = sat_add(slot, uint64_t{1});
        stream.cursor = 0;
        stream.drain();
    }
}

void EntryContainer::prune_below(uint64_t floor) {
    std::lock_guard lock(store_->mutex);
    for (auto& [producer, stream] : store_->streams) {
        stream.slots.erase(stream.slots.begin(), stream.slots.lower_bound(floor));
        if (stream.next_slot && *stream.next_slot < floor) {
            stream.next_slot = floor;
            stream.cursor = 0;
            stream.drain();
        }
    }
}

void debug(std::string& out, AddOutcome o) {
    static constexpr std::string_view names[] = {"Added", "Duplicate", "Conflict", "Rejected"};
    out += names[static_cast<size_t>(o)];
}

}  // namespace vesk
