// test_cache: the viewer tile cache's replacement rules, tiles.bin loading and saving, and the
// advertisement the host receives.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <filesystem>
#include <string>
#include <vector>
#include "channel_pair.h"
#include "protocol/codec.h"
#include "viewer/cache.h"
#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#endif

namespace fs = std::filesystem;

static tile_cache cache;   // the cache under test

static std::vector<uint8_t> tile_of(uint8_t v) { return std::vector<uint8_t>(TILE_BYTES, v); }

static int slot_of(uint64_t hash) {
    for (int i = 0; i < CACHE_SLOTS; i++)
        if (cache.keys[i] == hash) return i;
    return -1;
}

struct CacheTest : ::testing::Test {
    std::string dir;
    void SetUp() override {
        dir = test_temp_dir("cache");
        ASSERT_EQ(cache_open(&cache, dir.c_str()), 1);
    }
    void TearDown() override {
        cache.path[0] = 0;   // nothing to save
        cache_close(&cache);
        fs::remove_all(dir);
    }
    std::string file() const { return dir + "/tiles.bin"; }
};

// Three keys of set 5 (slots 10 and 11).
static const uint64_t A = 5, B = 5 + 4096, C = 5 + 8192;

TEST_F(CacheTest, ThirdKeyOfASetReplacesTheLeastRecent) {
    cache_insert(&cache, A, tile_of(1).data());
    cache_insert(&cache, B, tile_of(2).data());
    EXPECT_EQ(slot_of(A), 10);
    EXPECT_EQ(slot_of(B), 11);
    cache_insert(&cache, C, tile_of(3).data());
    EXPECT_EQ(cache_lookup(&cache, A), nullptr);
    EXPECT_EQ(slot_of(C), 10);
    ASSERT_NE(cache_lookup(&cache, B), nullptr);
    EXPECT_EQ(cache_lookup(&cache, B)[100], 2);

    // A hit on the older key changes which one goes next.
    cache_clear(&cache);
    cache_insert(&cache, A, tile_of(1).data());
    cache_insert(&cache, B, tile_of(2).data());
    ASSERT_NE(cache_lookup(&cache, A), nullptr);
    cache_insert(&cache, C, tile_of(3).data());
    EXPECT_EQ(cache_lookup(&cache, B), nullptr);
    ASSERT_NE(cache_lookup(&cache, A), nullptr);
    EXPECT_EQ(cache_lookup(&cache, A)[0], 1);
    EXPECT_EQ(cache_lookup(&cache, C)[TILE_BYTES - 1], 3);
}

TEST_F(CacheTest, ReinsertingTheSecondSlotMakesItMostRecent) {
    cache_insert(&cache, A, tile_of(1).data());
    cache_insert(&cache, B, tile_of(2).data());
    cache_insert(&cache, B, tile_of(9).data());   // same key: slot 11 keeps the tile it names, uncopied
    EXPECT_EQ(slot_of(B), 11);
    EXPECT_EQ(cache.tiles[11 * TILE_BYTES + 7], 2);
    cache_insert(&cache, C, tile_of(3).data());
    EXPECT_EQ(slot_of(C), 10);
    EXPECT_EQ(slot_of(A), -1);
    EXPECT_EQ(cache_lookup(&cache, B)[7], 2);
}

// Tiles taken on the host's word are hashed when first needed: a lookup serves one that has its
// key's hash and drops one that has not; a save drops such a tile before the file can hold it.
TEST_F(CacheTest, UncheckedTilesAreHashedWhenFirstNeeded) {
    std::vector<uint8_t> good = tile_of(7), bad = tile_of(8), other = tile_of(9);
    const uint64_t h = tile_hash(good.data()), liar = h + CACHE_SETS, later = tile_hash(other.data()) + 1;
    cache_insert_rows(&cache, h, good.data(), TILE_EDGE * 4, 0);
    cache_insert_rows(&cache, liar, bad.data(), TILE_EDGE * 4, 0);
    cache_insert_rows(&cache, h, bad.data(), TILE_EDGE * 4, 0);   // unchecked still: the newer word is kept
    EXPECT_EQ(cache_lookup(&cache, h), nullptr);
    EXPECT_EQ(cache.rejected, 1u);
    cache_insert_rows(&cache, h, good.data(), TILE_EDGE * 4, 0);
    ASSERT_NE(cache_lookup(&cache, h), nullptr);
    cache_insert_rows(&cache, h, bad.data(), TILE_EDGE * 4, 0);   // checked: the tile stays
    EXPECT_EQ(cache_lookup(&cache, h)[0], 7);
    EXPECT_EQ(cache_lookup(&cache, liar), nullptr);
    EXPECT_EQ(cache.rejected, 2u);
    cache_insert_rows(&cache, later, other.data(), TILE_EDGE * 4, 0);
    ASSERT_EQ(cache_save(&cache), 1);
    EXPECT_EQ(cache.rejected, 3u);
    ASSERT_EQ(cache_load_file(&cache, file().c_str()), 1);
    EXPECT_EQ(cache_resident(&cache), 1u);
    EXPECT_EQ(cache_lookup(&cache, h)[0], 7);
}

TEST_F(CacheTest, HashZeroAndDisabledCacheStoreNothing) {
    cache.dirty = 0;
    cache_insert(&cache, 0, tile_of(1).data());
    EXPECT_EQ(cache_resident(&cache), 0u);
    EXPECT_EQ(cache_lookup(&cache, 0), nullptr);
    EXPECT_EQ(cache.dirty, 0);
    cache.enabled = 0;
    cache_insert(&cache, A, tile_of(1).data());
    EXPECT_EQ(cache_resident(&cache), 0u);
    cache.enabled = 1;
}

TEST_F(CacheTest, NothingInsertedWritesNothing) {
    EXPECT_EQ(cache_save(&cache), 1);
    EXPECT_FALSE(fs::exists(file()));
    cache_insert(&cache, A, tile_of(1).data());
    ASSERT_EQ(cache_save(&cache), 1);
    ASSERT_TRUE(fs::exists(file()));
    fs::remove(file());
    EXPECT_EQ(cache_save(&cache), 1);   // clean since the last save
    EXPECT_FALSE(fs::exists(file()));
}

static std::vector<uint8_t> file_header(uint32_t magic, uint32_t slots, uint32_t tile) {
    std::vector<uint8_t> h(CACHE_FILE_HEADER, 0);
    put_u32(h.data(), magic);
    put_u32(h.data() + 4, slots);
    put_u32(h.data() + 8, tile);
    return h;
}

// Header, then keys 1..n in their home slots (key k in slot 2k, k < 4096), then tile_bytes tile bytes.
static std::vector<uint8_t> image(std::vector<uint8_t> head, uint32_t n, size_t tile_bytes) {
    std::vector<uint8_t> b = head;
    b.resize(CACHE_FILE_HEADER + CACHE_SLOTS * 8 + tile_bytes, 0);
    for (uint32_t k = 1; k <= n; k++) put_u64(b.data() + CACHE_FILE_HEADER + 8 * (2 * k), k);
    return b;
}

TEST_F(CacheTest, ForeignOrDamagedImagesLeaveTheCacheEmpty) {
    const size_t all = (size_t)CACHE_SLOTS * TILE_BYTES;
    std::vector<uint8_t> good = image(file_header(CACHE_MAGIC, 8192, 16384), 3, all);
    EXPECT_EQ(cache_load_buffer(&cache, good.data(), good.size()), 1);
    EXPECT_EQ(cache_resident(&cache), 3u);
    EXPECT_EQ(slot_of(2), 4);

    // A header mismatch is refused before any key or tile is read.
    struct { std::vector<uint8_t> b; const char *what; } bad[] = {
        {image(file_header(CACHE_MAGIC, 4096, 16384), 3, 0), "other slot count"},
        {image(file_header(CACHE_MAGIC, 8192, 4096), 3, 0), "other tile size"},
        {image(file_header(0x31434F56, 8192, 16384), 3, 0), "other magic"},
        {image(file_header(CACHE_MAGIC, 8192, 16384), 3, 1000), "truncated tiles"},
        {std::vector<uint8_t>(good.begin(), good.begin() + 16 + 8 * 100), "truncated keys"},
        {std::vector<uint8_t>(good.begin(), good.begin() + 15), "short header"},
    };
    for (auto &c : bad) {
        cache_insert(&cache, A, tile_of(1).data());
        EXPECT_EQ(cache_load_buffer(&cache, c.b.data(), c.b.size()), 0) << c.what;
        EXPECT_EQ(cache_resident(&cache), 0u) << c.what;
    }
    ASSERT_EQ(cache_load_buffer(&cache, good.data(), good.size()), 1);
    EXPECT_EQ(cache_load_buffer(&cache, good.data(), good.size() - 1), 0);   // last tile one byte short
    EXPECT_EQ(cache_resident(&cache), 0u);
}

TEST_F(CacheTest, KeysOutsideTheirSetAreDropped) {
    std::vector<uint8_t> b = image(file_header(CACHE_MAGIC, 8192, 16384), 2, (size_t)CACHE_SLOTS * TILE_BYTES);
    put_u64(b.data() + CACHE_FILE_HEADER + 8 * 7, 77);   // 77 belongs to set 77, not set 3
    put_u64(b.data() + CACHE_FILE_HEADER + 8 * 5, 2);    // slot 5 repeats key 2 of slot 4
    ASSERT_EQ(cache_load_buffer(&cache, b.data(), b.size()), 1);
    EXPECT_EQ(cache_resident(&cache), 2u);
    EXPECT_EQ(slot_of(77), -1);
}

TEST_F(CacheTest, AForeignFileOnDiskIsIgnoredAndReportsNoTiles) {
    std::vector<uint8_t> b = image(file_header(CACHE_MAGIC, 4096, 16384), 3, 0);
    FILE *f = fopen(file().c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(b.data(), 1, b.size(), f);
    fclose(f);
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(cache_start(&cache, nullptr, dir.c_str()), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "tile cache: 0 tiles resident from earlier sessions\n");
}

// Keys 1..5000 sit in sets 1..4095 and 0..904, so all of them stay resident.
static uint64_t key_n(uint32_t i) { return (uint64_t)i + 1; }

static void read_advert(channel *host, std::vector<uint64_t> *keys, uint32_t *count) {
    uint8_t head[HEADER_BYTES];
    ASSERT_EQ(channel_recv(host, head, sizeof head), 1);
    MessageHeader h = header_get(head);
    ASSERT_EQ(h.type, MSG_CACHE_ADVERT);
    std::vector<uint8_t> p(h.length);
    ASSERT_EQ(channel_recv(host, p.data(), p.size()), 1);
    *count = h.length / 8;
    for (uint32_t i = 0; i < *count; i++) keys->push_back(get_u64(p.data() + 8 * i));
}

// The big-file case: one save of 5000 tiles, read back by the next session and advertised.
TEST_F(CacheTest, SavedTilesComeBackAndAreAdvertisedInTwoMessages) {
    for (uint32_t i = 0; i < 5000; i++) cache_insert(&cache, key_n(i), tile_of((uint8_t)i).data());
    ASSERT_EQ(cache_save(&cache), 1);
    EXPECT_EQ(cache.dirty, 0);
    EXPECT_EQ(fs::file_size(file()), 134283280u);
    EXPECT_FALSE(fs::exists(file() + ".tmp"));
    FILE *f = fopen(file().c_str(), "rb");
    uint8_t head[16];
    ASSERT_EQ(fread(head, 1, 16, f), 16u);
    fclose(f);
    const uint8_t want[16] = {0x31, 0x43, 0x4F, 0x56, 0, 0x20, 0, 0, 0, 0x40, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(memcmp(head, want, 16), 0);

    channel_pair pair;
    ASSERT_EQ(pair_open(&pair), 1);
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(cache_start(&cache, &pair.viewer, dir.c_str()), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "tile cache: 5000 tiles resident from earlier sessions\n");
    EXPECT_EQ(cache_lookup(&cache, key_n(4321))[9], (uint8_t)4321);

    std::vector<uint64_t> keys;
    uint32_t first = 0, second = 0;
    read_advert(&pair.host, &keys, &first);
    read_advert(&pair.host, &keys, &second);
    EXPECT_EQ(first, 4096u);
    EXPECT_EQ(second, 904u);
    ASSERT_EQ(keys.size(), 5000u);
    for (size_t i = 1; i < keys.size(); i++) {   // slot order
        EXPECT_LT(slot_of(keys[i - 1]), slot_of(keys[i]));
        if (::testing::Test::HasFailure()) break;
    }
    pair_close(&pair);
}

static uint64_t first_key_on_disk(const std::string &path) {
    FILE *f = fopen(path.c_str(), "rb");
    uint8_t b[24] = {0};
    size_t n = f ? fread(b, 1, sizeof b, f) : 0;
    if (f) fclose(f);
    return n == sizeof b ? get_u64(b + 16) : 0;
}

// A save that cannot complete keeps the previous file, drops the temporary one and stays dirty.
TEST_F(CacheTest, FailedSaveKeepsThePreviousFile) {
    cache_insert(&cache, CACHE_SETS, tile_of(1).data());   // slot 0
    ASSERT_EQ(cache_save(&cache), 1);
    ASSERT_EQ(first_key_on_disk(file()), (uint64_t)CACHE_SETS);
    cache_insert(&cache, 2 * CACHE_SETS, tile_of(2).data());   // also set 0: slot 1

    fs::create_directory(file() + ".tmp");   // the temporary file cannot be created
    EXPECT_EQ(cache_save(&cache), 0);
    EXPECT_EQ(cache.dirty, 1);
    fs::remove(file() + ".tmp");
    EXPECT_EQ(fs::file_size(file()), 134283280u);

#ifndef _WIN32
    // The disk fills up in the middle of the tiles.
    signal(SIGXFSZ, SIG_IGN);
    rlimit old, lim;
    getrlimit(RLIMIT_FSIZE, &old);
    lim = old;
    lim.rlim_cur = 5 << 20;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
    int r = cache_save(&cache);
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(cache.dirty, 1);
    EXPECT_FALSE(fs::exists(file() + ".tmp"));
    EXPECT_EQ(fs::file_size(file()), 134283280u);
    EXPECT_EQ(first_key_on_disk(file()), (uint64_t)CACHE_SETS);
#endif
    ASSERT_EQ(cache_save(&cache), 1);   // the next attempt writes it
    EXPECT_EQ(cache.dirty, 0);
}

#ifndef _WIN32
// Without a folder given, the cache lives in the app data folder ($VO_DATA_DIR here).
TEST(CacheFolder, UsesTheAppDataFolder) {
    std::string d = test_temp_dir("appdata");
    std::string sub = d + "/vo";
    setenv("VO_DATA_DIR", sub.c_str(), 1);
    ASSERT_EQ(cache_open(&cache, nullptr), 1);
    EXPECT_EQ(std::string(cache.path), sub + "/tiles.bin");
    EXPECT_TRUE(fs::is_directory(sub));
    cache.path[0] = 0;
    cache_close(&cache);
    EXPECT_EQ(cache.enabled, 0);
    EXPECT_EQ(cache_lookup(&cache, A), nullptr);
    fs::remove_all(d);
}
#endif
