// test_apply: tiles gathered per record and applied on the viewer's pool leave the same picture,
// cache, counters and dirty rectangle as each tile applied on its own as it comes: every tile form
// of both codecs (stream pieces included), malformed tiles, wrong hashes, positions repeated within
// a record, and cache references and frame ends between the tiles.
#include <gtest/gtest.h>
#include <string.h>
#include <filesystem>
#include <string>
#include <vector>
#include "protocol/codec.h"
#include "protocol/codec2.h"
#include "viewer/cache.h"
#include "viewer/viewer.h"

typedef std::vector<uint8_t> bytes;
struct Message {
    uint8_t type;
    bytes payload;
};
typedef std::vector<Message> Record;

static uint8_t *fb_tile(int tx, int ty) { return g_viewer.fb + (size_t)ty * 64 * g_viewer.stride + (size_t)tx * 256; }

static void viewer_tile(int tx, int ty, uint8_t *out) {
    for (int r = 0; r < 64; r++) memcpy(out + r * 256, fb_tile(tx, ty) + r * g_viewer.stride, 256);
}

// New content for a tile: a few colours in bands, so that every codec form applies to it.
static void new_tile(uint8_t *t, uint32_t seed) {
    for (int i = 0; i < TILE_BYTES / 4; i++) {
        uint32_t v = ((uint32_t)(i / 64 + seed * 7) / 9 % 5) * 0x30507u + seed;
        memcpy(t + i * 4, &v, 4);
    }
}

// The next tile message for (tx, ty), made against what the viewer shows there now: kind picks the
// form or a fault.
static bytes make_tile(int tx, int ty, int kind, uint32_t seed, Codec2Enc *enc, Codec2Stream *st) {
    uint8_t old[TILE_BYTES], tile[TILE_BYTES], delta[TILE_BYTES], data[CODEC2_DATA_CAP + 64];
    memset(old, 0, sizeof old);
    if (tx < 16) viewer_tile(tx, ty, old);
    new_tile(tile, seed);
    for (int i = 0; i < TILE_BYTES; i++) delta[i] = old[i] ^ tile[i];
    uint8_t form = 0;
    int n = 0;
    if (kind == 0 || kind == 6) n = codec_compress(delta, TILE_BYTES, data, sizeof data);
    if (kind == 6) data[n / 2] ^= 0x5A, n = n * 3 / 4;   // malformed: ignored
    if (kind == 1 || kind == 7) form = 1, n = kind == 1 ? TILE_BYTES : 1000, memcpy(data, tile, TILE_BYTES);
    if (kind >= 2 && kind <= 5) form = (uint8_t)kind, n = codec2_encode_form(enc, form, tile, delta, data, sizeof data);
    if (n < 0) form = 1, n = TILE_BYTES, memcpy(data, tile, TILE_BYTES);   // the form does not apply
    if (form == TILE_FORM_CROP && seed % 2) n = codec2_stream_tile(st, data, n, &form);   // a piece of the stream
    if (kind == 8) form = TILE_FORM_GRADIENT, n = 40, memset(data, 0x77, 40);   // malformed second-codec data
    uint64_t hash = seed % 5 == 0 ? 0 : tile_hash(tile) + (seed % 7 == 0);   // none, or a wrong one now and then
    uint8_t head[HEADER_BYTES + TILE_HEADER_BYTES];
    TileHeader th = {(uint16_t)tx, (uint16_t)ty, form, hash};
    msg_pack_tile(head, &th, (uint32_t)n);
    bytes m(TILE_HEADER_BYTES + (n > 0 ? n : 0));   // sized once: g++ 12 misreads insert at the end of a short vector
    memcpy(m.data(), head + HEADER_BYTES, TILE_HEADER_BYTES);
    if (n > 0) memcpy(m.data() + TILE_HEADER_BYTES, data, (size_t)n);
    return m;
}

struct Outcome {
    bytes fb;
    std::vector<uint64_t> cache;   // each slot's key, its tile's hash and whether that was checked
    uint32_t rejects, hits, misses;
    int32_t dirty[4];
    int stream_failed;
};

static Outcome outcome(void) {
    Outcome o;
    o.fb.assign(g_viewer.fb, g_viewer.fb + g_viewer.stride * g_viewer.pad_height);
    for (size_t k = 0; k < CACHE_SLOTS; k++)
        if (g_viewer.cache.keys[k])
            o.cache.insert(o.cache.end(), {k, g_viewer.cache.keys[k], tile_hash(g_viewer.cache.tiles + k * TILE_BYTES),
                                           g_viewer.cache.unchecked[k]});
    o.rejects = g_viewer.cache_rejects.load();
    o.hits = g_viewer.cache_hits.load();
    o.misses = g_viewer.cache_misses.load();
    memset(o.dirty, 0, sizeof o.dirty);
    viewer_dirty_take(&o.dirty[0], &o.dirty[1], &o.dirty[2], &o.dirty[3]);
    o.stream_failed = g_viewer.stream_failed;
    return o;
}

static void session_start(void) {
    ASSERT_EQ(viewer_begin(1000, 200), 1);   // 16 x 4 tiles
    g_viewer.ch = nullptr;
    g_viewer.codec2 = 1;
    cache_clear(&g_viewer.cache);
}

TEST(Apply, PooledRunsMatchTilesOneByOne) {
    std::string dir = (std::filesystem::temp_directory_path() / "vo-test-apply").string();
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    ASSERT_EQ(cache_open(&g_viewer.cache, dir.c_str()), 1);
    Codec2Enc enc = {};
    Codec2Stream st = {};
    codec2_stream_reset(&st);
    // The records, made against the viewer's picture as each tile is applied on its own.
    session_start();
    g_viewer.run.serial = 1;
    std::vector<Record> records;
    uint32_t seed = 1;
    for (int r = 0; r < 60; r++) {
        Record rec;
        int count = 1 + (r * 7) % 40;
        for (int k = 0; k < count; k++, seed++) {
            Message m = {MSG_TILE, {}};
            int kind = (int)(seed * 2654435761u >> 7) % 9;
            int tx = (int)(seed * 40503u >> 5) % (kind ? 16 : 17), ty = (int)(seed >> 2) % 4;   // tx 16: outside
            if (k % 13 == 12) m = {MSG_CACHE_REF, bytes(CACHE_REF_BYTES, 0)};
            if (m.type == MSG_CACHE_REF) {
                CacheRef ref = {(uint16_t)(tx % 16), (uint16_t)ty, seed % 3 ? g_viewer.cache.keys[seed % CACHE_SLOTS] : seed};
                uint8_t whole[HEADER_BYTES + CACHE_REF_BYTES];
                msg_pack_cache_ref(whole, &ref);
                memcpy(m.payload.data(), whole + HEADER_BYTES, CACHE_REF_BYTES);
            } else {
                m.payload = make_tile(tx, ty, kind, seed, &enc, &st);
            }
            if (k == 20 && m.payload[4] != TILE_FORM_STREAM) m.payload.resize(5);   // too short for a tile header
            viewer_dispatch(m.type, m.payload.data(), (uint32_t)m.payload.size());
            rec.push_back(m);
        }
        if (r % 4 == 3) {
            rec.push_back({MSG_FRAME_END, bytes(8, 0)});
            viewer_dispatch(MSG_FRAME_END, rec.back().payload.data(), 8);
        }
        records.push_back(rec);
    }
    // Tiles of one cache set in one record (each must take its own slot); then a reference that
    // reads the set before a tile of the same record evicts from it, one to that tile, and one to a
    // tile evicted earlier in its record.
    uint32_t same[3], found = 0;
    uint64_t set = 0;
    for (uint32_t sd = 1000001; found < 3; sd++) {
        uint8_t t[TILE_BYTES];
        new_tile(t, sd);
        if (sd % 5 == 0 || sd % 7 == 0 || (found && tile_hash(t) % CACHE_SETS != set)) continue;
        set = tile_hash(t) % CACHE_SETS;
        same[found++] = sd;
    }
    auto add = [&](Record &rec, Message m) {
        rec.push_back(m);
        viewer_dispatch(m.type, rec.back().payload.data(), (uint32_t)rec.back().payload.size());
    };
    auto ref_to = [&](uint16_t tx, uint32_t sd) {
        uint8_t t[TILE_BYTES], whole[HEADER_BYTES + CACHE_REF_BYTES];
        new_tile(t, sd);
        CacheRef ref = {tx, 3, tile_hash(t)};
        msg_pack_cache_ref(whole, &ref);
        return Message{MSG_CACHE_REF, bytes(whole + HEADER_BYTES, whole + sizeof whole)};
    };
    Record pair, evict;
    add(pair, {MSG_TILE, make_tile(0, 3, 0, same[0], &enc, &st)});
    add(pair, {MSG_TILE, make_tile(1, 3, 0, same[1], &enc, &st)});
    add(evict, ref_to(5, same[0]));
    add(evict, {MSG_TILE, make_tile(2, 3, 0, same[2], &enc, &st)});
    add(evict, ref_to(6, same[2]));
    Record again;   // the first tile evicts the one the reference then misses
    add(again, {MSG_TILE, make_tile(3, 3, 0, same[1], &enc, &st)});
    add(again, ref_to(7, same[0]));
    records.push_back(pair);
    records.push_back(evict);
    records.push_back(again);
    Outcome serial = outcome();
    EXPECT_GT(serial.hits, 0u);
    EXPECT_EQ(serial.stream_failed, 0);
    // The same records as the receive thread takes them, on more helpers than the machine has cores.
    session_start();
    g_viewer.run.serial = 0;
    g_viewer.run.pool_min = 1;   // every run on the pool, however short
    ASSERT_EQ(workers_pool_start(&g_viewer.run.pool, 3), 3);
    g_viewer.cache_rejects.store(0);
    for (const Record &rec : records)
        for (size_t k = 0; k < rec.size(); k++)
            viewer_feed(rec[k].type, rec[k].payload.data(), (uint32_t)rec[k].payload.size(), k + 1 < rec.size());
    Outcome pooled = outcome();
    EXPECT_TRUE(serial.fb == pooled.fb);
    EXPECT_TRUE(serial.cache == pooled.cache);
    EXPECT_EQ(serial.rejects, pooled.rejects);
    EXPECT_EQ(serial.hits, pooled.hits);
    EXPECT_EQ(serial.misses, pooled.misses);
    EXPECT_EQ(0, memcmp(serial.dirty, pooled.dirty, sizeof serial.dirty));
    EXPECT_EQ(pooled.stream_failed, 0);
    workers_pool_stop(&g_viewer.run.pool);
    g_viewer.run.pool_min = 0;
    g_viewer.cache.path[0] = 0;   // nothing saved
    cache_close(&g_viewer.cache);
    viewer_end();
    codec2_enc_free(&enc);
    codec2_stream_free(&st);
    std::filesystem::remove_all(dir);
}
