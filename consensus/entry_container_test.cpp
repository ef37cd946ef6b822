#include "consensus/entry_container.hpp"

#include <gtest/gtest.h>

#include "base/text.hpp"
#include "consensus/test_keys.hpp"

namespace vesk {
namespace {

// Events delivered so far on a producer's stream, as "H5" for a header and
// "E5.0" for an entry.
std::vector<std::string> drain(EntryContainer::StreamReceiver& stream) {
    std::vector<std::string> out;
    for (;;) {
        auto r = stream.try_recv();
        if (r.status != RecvStatus::Value) break;
        if (auto* h = std::get_if<ProducerStreamEvent::Header>(&r.value->value)) {
            out.push_back(format("H{}", h->header.slot));
        } else {
            auto& e = std::get<ProducerStreamEvent::Entry>(r.value->value).entry;
            out.push_back(format("E{}.{}", e.slot, e.index));
        }
    }
    return out;
}

class EntryContainerTest : public testing::Test {
protected:
    EntryContainerTest() {
        auto [c, announcements] = EntryContainer::make();
        container.emplace(std::move(c));
        auto first = announcements.try_recv();  // nothing until a producer appears
        EXPECT_EQ(first.status, RecvStatus::Timeout);
        container->add(entry(100, 0));  // opens the producer's stream at slot 100
        auto got = announcements.try_recv();
        EXPECT_EQ(got.status, RecvStatus::Value);
        stream.emplace(std::move(*got.value));
        drain_events();
    }

    EntryMessage entry(uint64_t slot, uint64_t index, std::vector<std::vector<uint8_t>> txs = {{1, 2}}) {
        EntryMessage e;
        e.transactions = std::move(txs);
        e.slot = slot;
        e.index = index;
        e.producer = producer;
        return e;
    }
    BlockProposalMessage header(uint64_t slot, uint64_t count) {
        BlockProposalMessage h;
        h.slot = slot;
        h.entry_count = count;
        h.vesk_id = producer;
        return h;
    }
    std::vector<std::string> drain_events() { return drain(*stream); }

    BlsPubkey producer = bls::pubkey_from_secret(testkeys::secret(1));
    std::optional<EntryContainer> container;
    std::optional<EntryContainer::StreamReceiver> stream;
};

using Events = std::vector<std::string>;

TEST_F(EntryContainerTest, FirstSlotSetsTheFloor) {
    EXPECT_EQ(container->add(entry(99, 0)), AddOutcome::Rejected);
    EXPECT_FALSE(container->finish_slot(header(99, 0)));
    EXPECT_EQ(container->add(entry(101, 0)), AddOutcome::Added);
}

TEST_F(EntryContainerTest, OutcomesOfAdd) {
    EXPECT_EQ(container->add(entry(100, 0)), AddOutcome::Duplicate);
    EXPECT_EQ(container->add(entry(100, 0, {{9}})), AddOutcome::Conflict);
    EXPECT_EQ(container->get(producer, 100)->at(0).transactions, (std::vector<std::vector<uint8_t>>{{1, 2}}));
    // Before the header any index is accepted; after it only those below the count.
    EXPECT_EQ(container->add(entry(100, 3)), AddOutcome::Added);
    EXPECT_TRUE(container->finish_slot(header(100, 5)));
    EXPECT_EQ(container->add(entry(100, 5)), AddOutcome::Rejected);
    EXPECT_FALSE(container->finish_slot(header(100, 9)));  // the first header wins
    EXPECT_EQ(container->add(entry(100, 4)), AddOutcome::Added);
}

TEST_F(EntryContainerTest, DeliversInOrderAndWaitsForGaps) {
    EXPECT_EQ(container->add(entry(100, 2)), AddOutcome::Added);
    EXPECT_TRUE(container->finish_slot(header(100, 3)));
    EXPECT_EQ(drain_events(), (Events{"H100", "E100.0"}));
    container->add(entry(100, 1));
    EXPECT_EQ(drain_events(), (Events{"E100.1", "E100.2"}));

    // A slot with no entries completes right after its header.
    EXPECT_TRUE(container->finish_slot(header(101, 0)));
    EXPECT_EQ(drain_events(), (Events{"H101"}));

    // Slot 102 never appears: complete slot 103 waits behind it.
    container->add(entry(103, 0));
    container->finish_slot(header(103, 1));
    EXPECT_EQ(drain_events(), Events{});
    container->remove(producer, 102);
    EXPECT_EQ(drain_events(), (Events{"H103", "E103.0"}));
}

TEST_F(EntryContainerTest, PruneMovesDeliveryOn) {
    container->finish_slot(header(100, 2));  // entry 1 never comes
    EXPECT_EQ(drain_events(), (Events{"H100", "E100.0"}));
    container->finish_slot(header(102, 1));
    container->add(entry(102, 0));
    container->prune_below(102);
    EXPECT_EQ(drain_events(), (Events{"H102", "E102.0"}));
    EXPECT_FALSE(container->get(producer, 100).has_value());
    EXPECT_EQ(container->add(entry(101, 0)), AddOutcome::Rejected);
}

TEST_F(EntryContainerTest, GetCreatesNothing) {
    BlsPubkey other = bls::pubkey_from_secret(testkeys::secret(2));
    EXPECT_FALSE(container->get(other, 100).has_value());
    EXPECT_FALSE(container->get(producer, 105).has_value());
    container->finish_slot(header(105, 0));
    auto only_header = container->get(producer, 105);
    ASSERT_TRUE(only_header.has_value());
    EXPECT_TRUE(only_header->empty());
    container->remove(other, 1);  // unknown producer: nothing happens
}

TEST(EntryContainerTopOfRange, NextSlotStaysAtTheLastSlot) {
    constexpr uint64_t MAX = UINT64_MAX;
    auto [container, announcements] = EntryContainer::make();
    std::vector<EntryContainer::StreamReceiver> streams;
    auto events = [&](size_t i) { return drain(streams[i]); };
    auto entry = [](const BlsPubkey& producer, uint64_t slot, uint64_t index) {
        return EntryMessage{{{1}}, slot, index, producer, false};
    };
    auto header = [](const BlsPubkey& producer, uint64_t slot, uint64_t count) {
        BlockProposalMessage h;
        h.slot = slot;
        h.entry_count = count;
        h.vesk_id = producer;
        return h;
    };
    const std::string last = format("{}", MAX);

    // One producer reaches the last slot from the one before it, another
    // starts there with a header and no entries.
    BlsPubkey a = bls::pubkey_from_secret(testkeys::secret(1));
    BlsPubkey b = bls::pubkey_from_secret(testkeys::secret(2));
    EXPECT_TRUE(container.finish_slot(header(a, MAX - 1, 1)));
    EXPECT_TRUE(container.finish_slot(header(b, MAX, 0)));
    for (int i = 0; i < 2; ++i) streams.push_back(std::move(*announcements.try_recv().value));
    EXPECT_EQ(container.add(entry(a, MAX - 1, 0)), AddOutcome::Added);
    EXPECT_EQ(container.add(entry(a, MAX, 0)), AddOutcome::Added);
    EXPECT_TRUE(container.finish_slot(header(a, MAX, 1)));
    EXPECT_EQ(events(0), (Events{format("H{}", MAX - 1), format("E{}.0", MAX - 1), "H" + last, "E" + last + ".0"}));
    EXPECT_EQ(events(1), (Events{"H" + last}));

    // Nothing wraps to slot 0, and the last slot is not delivered again.
    for (const BlsPubkey& p : {a, b}) {
        EXPECT_EQ(container.add(entry(p, 0, 0)), AddOutcome::Rejected);
        EXPECT_FALSE(container.finish_slot(header(p, 0, 0)));
        EXPECT_FALSE(container.finish_slot(header(p, MAX, 1)));
    }
    EXPECT_EQ(container.add(entry(a, MAX, 0)), AddOutcome::Duplicate);
    EXPECT_EQ(container.add(entry(b, MAX, 0)), AddOutcome::Rejected);
    container.prune_below(MAX);
    EXPECT_EQ(events(0), Events{});
    EXPECT_EQ(events(1), Events{});

    // Removing the last slot does not wrap either.
    container.remove(a, MAX);
    EXPECT_EQ(container.add(entry(a, 0, 0)), AddOutcome::Rejected);
    EXPECT_EQ(events(0), Events{});
}

TEST(EntryContainerNoListeners, StoresWithoutReceivers) {
    auto [container, announcements] = EntryContainer::make();
    { auto drop = std::move(announcements); }
    EntryMessage e;
    e.slot = 5;
    EXPECT_EQ(container.add(e), AddOutcome::Added);
    BlockProposalMessage h;
    h.slot = 5;
    h.entry_count = 2;  // slot stays open: entry 1 is missing
    EXPECT_TRUE(container.finish_slot(h));
    EXPECT_EQ(container.get(BlsPubkey{}, 5)->size(), 1u);
    EntryContainer copy = container;  // copies share one store
    EXPECT_EQ(copy.add(e), AddOutcome::Duplicate);
}

TEST(EntryHashes, CoverEveryField) {
    EntryMessage e;
    e.slot = 3;
    e.index = 1;
    e.transactions = {{1, 2, 3}};
    Hash base = e.hash();
    std::vector<void (*)(EntryMessage&)> changes = {
        [](EntryMessage& x) { x.flag = true; },
        [](EntryMessage& x) { x.producer.bytes[0] = 1; },
        [](EntryMessage& x) { x.slot++; },
        [](EntryMessage& x) { x.index++; },
        [](EntryMessage& x) { x.transactions = {{1, 2}, {3}}; },
    };
    for (size_t i = 0; i < changes.size(); ++i) {
        EntryMessage c = e;
        changes[i](c);
        EXPECT_NE(c.hash(), base) << i;
    }
    // The exact layout of an entry without transactions.
    EntryMessage empty;
    empty.slot = 2;
    std::vector<uint8_t> bytes = {'v', 'e', 's', 'k', '-', 'e', 'n', 't', 'r', 'y', '-', 'h', 'a', 's', 'h'};
    uint8_t tail[8 + 8 + 1 + 8] = {2};
    bytes.insert(bytes.end(), tail, tail + sizeof tail);
    bytes.insert(bytes.end(), empty.producer.bytes.begin(), empty.producer.bytes.end());
    EXPECT_EQ(empty.hash(), hashv({bytes}));

    Hash seed, h1, h2;
    h1.bytes[0] = 1;
    h2.bytes[0] = 2;
    std::vector<Hash> ab = {h1, h2}, ba = {h2, h1};
    EXPECT_NE(Block::compute_entries_hash(seed, ab), Block::compute_entries_hash(seed, ba));
    std::vector<uint8_t> prefix = {'v', 'e', 's', 'k', '-', 'e', 'n', 't', 'r', 'i', 'e', 's', '-', 'h', 'a', 's', 'h'};
    prefix.insert(prefix.end(), seed.bytes.begin(), seed.bytes.end());
    EXPECT_EQ(Block::compute_entries_hash(seed, {}), hashv({prefix}));
}

}  // namespace
}  // namespace vesk
