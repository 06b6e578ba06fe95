// Tile-cache mirror: probing across collisions and the table's wrap, removal that keeps the
// rest of a cluster findable, the capacity rule, the bounded window that crafted hashes cannot
// stretch, and the viewer's advert and miss messages.
#include <gtest/gtest.h>
#include <stdint.h>
#include <vector>
#include "host/mirror.h"
#include "protocol/messages.h"

static uint64_t nth_hash(uint64_t i) { return (i + 1) * 0x9E3779B97F4A7C15ull; }   // distinct, never 0

TEST(Mirror, NothingHappensBeforeTheTableExists) {
    if (mirror_ready()) GTEST_SKIP() << "table already allocated by an earlier test";
    mirror_insert(42);
    EXPECT_EQ(mirror_lookup(42), 0);
    mirror_remove(42);
    EXPECT_EQ(mirror_count, 0u);
    uint8_t advert[8];
    put_u64(advert, 42);
    EXPECT_EQ(mirror_apply_advert(advert, 8), 1u);
    EXPECT_EQ(mirror_count, 0u);
}

TEST(Mirror, InsertLookupDuplicatesAndZero) {
    ASSERT_EQ(mirror_clear(), 1);
    uint64_t *table = mirror_slots;
    EXPECT_EQ(mirror_lookup(7), 0);
    mirror_insert(7);
    mirror_insert(7);
    EXPECT_EQ(mirror_count, 1u);
    EXPECT_EQ(mirror_lookup(7), 1);
    mirror_insert(0);
    EXPECT_EQ(mirror_count, 1u);
    EXPECT_EQ(mirror_lookup(0), 0);   // an empty slot is not a stored 0
    mirror_remove(0);                 // nor can it be removed
    mirror_remove(99);
    EXPECT_EQ(mirror_count, 1u);
    ASSERT_EQ(mirror_clear(), 1);
    EXPECT_EQ(mirror_slots, table);   // allocated once
    EXPECT_EQ(mirror_count, 0u);
    EXPECT_EQ(mirror_lookup(7), 0);
}

TEST(Mirror, CollidingHashesStayFindableAfterRemoval) {
    mirror_clear();
    const uint64_t a = 0x1234, b = a + MIRROR_SLOTS, c = a + 5ull * MIRROR_SLOTS;
    mirror_insert(a);
    mirror_insert(b);
    mirror_insert(c);
    EXPECT_EQ(mirror_slots[0x1234], a);
    EXPECT_EQ(mirror_slots[0x1235], b);   // neighbouring slots
    mirror_remove(a);
    EXPECT_EQ(mirror_count, 2u);
    EXPECT_EQ(mirror_lookup(a), 0);
    EXPECT_EQ(mirror_lookup(b), 1);
    EXPECT_EQ(mirror_lookup(c), 1);
    mirror_insert(a);   // back into the hole it left
    EXPECT_EQ(mirror_slots[0x1234], a);
    EXPECT_EQ(mirror_count, 3u);
    mirror_insert(b);   // still stored once
    EXPECT_EQ(mirror_count, 3u);
}

TEST(Mirror, ClusterWrapsPastTheLastSlot) {
    mirror_clear();
    const uint64_t last = MIRROR_SLOTS - 1;
    const uint64_t a = last, b = last + MIRROR_SLOTS, other = 0x100000;   // other starts at slot 0
    mirror_insert(a);
    mirror_insert(b);       // wraps to slot 0
    mirror_insert(other);   // slot 0 taken: slot 1
    EXPECT_EQ(mirror_slots[0], b);
    mirror_remove(a);
    EXPECT_EQ(mirror_lookup(b), 1);
    EXPECT_EQ(mirror_lookup(other), 1);
    EXPECT_EQ(mirror_count, 2u);
}

// A viewer may advertise hashes that all share one start slot. The table keeps only a window's
// worth of them, so no later advert, lookup or miss has to walk a long cluster.
TEST(Mirror, HashesCraftedForOneStartSlotFillOnlyItsWindow) {
    mirror_clear();
    std::vector<uint8_t> p(8192 * 8);
    for (int round = 0; round < 4; round++) {
        for (size_t i = 0; i < 8192; i++) put_u64(&p[i * 8], 0x4242 + ((uint64_t)round * 8192 + i + 1) * MIRROR_SLOTS);
        EXPECT_EQ(mirror_apply_advert(p.data(), p.size()), 8192u);
    }
    EXPECT_EQ(mirror_count, MIRROR_PROBE_MAX);
    for (uint32_t k = 0; k < MIRROR_PROBE_MAX; k++) EXPECT_NE(mirror_slots[(0x4242 + k) & (MIRROR_SLOTS - 1)], 0u);
    EXPECT_EQ(mirror_slots[0x4242 + MIRROR_PROBE_MAX], 0u);
    // Misses empty their slots; a tile with another start slot nearby still gets in.
    uint8_t miss[12] = {0};
    uint16_t tx, ty;
    for (uint64_t i = 1; i <= 8; i++) {
        put_u64(miss + 4, 0x4242 + i * MIRROR_SLOTS);
        mirror_apply_miss(miss, 12, &tx, &ty);
    }
    EXPECT_EQ(mirror_count, MIRROR_PROBE_MAX - 8);
    mirror_insert(0x4250);
    EXPECT_EQ(mirror_lookup(0x4250), 1);
    EXPECT_EQ(mirror_lookup(0x4242 + 9 * MIRROR_SLOTS), 1);
    EXPECT_EQ(mirror_lookup(0x4242 + 1 * MIRROR_SLOTS), 0);
}

TEST(Mirror, CapacityStopsAt393217) {
    mirror_clear();
    for (uint64_t i = 0; i < MIRROR_LIMIT + 100; i++) mirror_insert(nth_hash(i));
    EXPECT_EQ(mirror_count, MIRROR_LIMIT + 1);
    EXPECT_EQ(mirror_lookup(nth_hash(MIRROR_LIMIT)), 1);
    EXPECT_EQ(mirror_lookup(nth_hash(MIRROR_LIMIT + 1)), 0);
    // Removing from a full table keeps every other hash; then there is room for one more.
    mirror_remove(nth_hash(10));
    EXPECT_EQ(mirror_count, MIRROR_LIMIT);
    for (uint64_t i = 0; i <= MIRROR_LIMIT; i += 997) {
        if (i != 10) {
            ASSERT_EQ(mirror_lookup(nth_hash(i)), 1) << i;
        }
    }
    mirror_insert(nth_hash(MIRROR_LIMIT + 1));
    EXPECT_EQ(mirror_lookup(nth_hash(MIRROR_LIMIT + 1)), 1);
    EXPECT_EQ(mirror_count, MIRROR_LIMIT + 1);
}

TEST(Mirror, AdvertInsertsWholeHashesOnly) {
    mirror_clear();
    std::vector<uint8_t> p(8192 * 8);
    for (size_t i = 0; i < 8192; i++) put_u64(&p[i * 8], nth_hash(i));
    EXPECT_EQ(mirror_apply_advert(p.data(), p.size()), 8192u);
    EXPECT_EQ(mirror_count, 8192u);
    EXPECT_EQ(mirror_apply_advert(p.data(), p.size()), 8192u);   // repeated: stored once
    EXPECT_EQ(mirror_count, 8192u);

    mirror_clear();
    uint8_t twelve[12] = {0};
    put_u64(twelve, 0xABCDEF);
    twelve[8] = 0x55;
    EXPECT_EQ(mirror_apply_advert(twelve, 12), 1u);
    EXPECT_EQ(mirror_count, 1u);
    EXPECT_EQ(mirror_apply_advert(twelve, 0), 0u);
    EXPECT_EQ(mirror_apply_advert(twelve, 7), 0u);
    uint8_t zero[8] = {0};
    EXPECT_EQ(mirror_apply_advert(zero, 8), 1u);   // a 0 hash from the viewer stores nothing
    EXPECT_EQ(mirror_count, 1u);
}

TEST(Mirror, MissRemovesTheHashAndNamesTheTile) {
    mirror_clear();
    mirror_insert(0x77);
    uint8_t miss[12];
    put_u16(miss, 3);
    put_u16(miss + 2, 65535);
    put_u64(miss + 4, 0x77);
    uint16_t tx = 0, ty = 0;
    EXPECT_EQ(mirror_apply_miss(miss, 11, &tx, &ty), 0);   // short: ignored
    EXPECT_EQ(mirror_lookup(0x77), 1);
    EXPECT_EQ(mirror_apply_miss(miss, 12, &tx, &ty), 1);
    EXPECT_EQ(tx, 3);
    EXPECT_EQ(ty, 65535);
    EXPECT_EQ(mirror_lookup(0x77), 0);
    EXPECT_EQ(mirror_count, 0u);
    // A miss for a hash that is not held, or for hash 0, changes nothing but still names the tile.
    put_u64(miss + 4, 0);
    EXPECT_EQ(mirror_apply_miss(miss, 12, &tx, &ty), 1);
    EXPECT_EQ(mirror_count, 0u);
}
