#pragma once
// Entries (batches of opaque transactions), the entries hash a proposal
// commits to, and the per-producer, per-slot store of entries and headers.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "base/channel.hpp"
#include "consensus/certificate.hpp"
#include "consensus/types.hpp"
#include "hash/hash.hpp"

namespace vesk {

struct Transaction {
    std::vector<uint8_t> bytes;
    Hash id;

    bool operator==(const Transaction&) const = default;
};

struct EntryMessage {
    std::vector<std::vector<uint8_t>> transactions;
    uint64_t slot = 0;
    uint64_t index = 0;
    BlsPubkey producer;
    bool flag = false;

    bool operator==(const EntryMessage&) const = default;
    Hash hash() const;
};

struct Block {
    std::vector<Hash> entry_hashes;
    uint64_t slot = 0;  // the block's height
    BlsPubkey vesk_id;  // its producer
    Hash parent_qc_id;  // block id of the block it extends

    bool operator==(const Block&) const = default;

    // Commitment to a slot's entries: the seed, then each entry hash in order.
    static Hash compute_entries_hash(const Hash& seed, std::span<const Hash> entry_hashes);
};

struct ProducerStreamEvent {
    struct Header {
        BlockProposalMessage header;
        bool operator==(const Header&) const = default;
    };
    struct Entry {
        EntryMessage entry;
        bool operator==(const Entry&) const = default;
    };
    std::variant<Header, Entry> value;

    bool operator==(const ProducerStreamEvent&) const = default;
};

enum class AddOutcome : uint8_t { Added, Duplicate, Conflict, Rejected };

using SlotEntriesMap = std::map<uint64_t, EntryMessage>;

// A handle to one store shared by all copies. Each producer's slots are
// delivered in order on its own stream: header first, then entries without
// gaps.
class EntryContainer {
public:
    using StreamReceiver = Receiver<ProducerStreamEvent>;

    // The container and the receiving end on which new producer streams are
    // announced.
    static std::pair<EntryContainer, Receiver<StreamReceiver>> make();

    AddOutcome add(EntryMessage entry);
    // Yes if the header became the slot's header; the first header wins.
    bool finish_slot(const BlockProposalMessage& header);
    std::optional<SlotEntriesMap> get(const BlsPubkey& producer, uint64_t slot) const;
    void remove(const BlsPubkey& producer, uint64_t slot);
    void prune_below(uint64_t floor);

private:
    struct SlotEntries {
        std::optional<BlockProposalMessage> header;
        SlotEntriesMap entries;
        bool header_sent = false;
    };
    struct ProducerStream {
        explicit ProducerStream(Sender<ProducerStreamEvent> sender) : event_sender(std::move(sender)) {}

        std::optional<uint64_t> next_slot;
        Sender<ProducerStreamEvent> event_sender;
        std::map<uint64_t, SlotEntries> slots;
        uint64_t cursor = 0;

        void drain();
    };
    struct Store {
        explicit Store(Sender<StreamReceiver> sender) : announcements(std::move(sender)) {}

        Sender<StreamReceiver> announcements;
        std::unordered_map<BlsPubkey, ProducerStream> streams;
        mutable std::mutex mutex;
    };

    explicit EntryContainer(std::shared_ptr<Store> store) : store_(std::move(store)) {}
    ProducerStream& ensure_stream(const BlsPubkey& producer);

    std::shared_ptr<Store> store_;
};

void debug(std::string& out, AddOutcome o);

}  // namespace vesk
