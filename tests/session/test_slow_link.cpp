// A viewer on a slow link: its acknowledgements and misses reach the host several frames late, and
// it advertised tiles it no longer holds. Frame by frame in one thread (host encoder and receive
// handling, viewer core): after every frame end the viewer shows the host's copy wherever the host
// counts on it, and no tile is ever cached under a hash that is not its own.
#include "session_util.h"
#include <deque>
#include <filesystem>
#include <vector>
#include "../test_files.h"
#include "host/capture.h"
#include "host/encoder.h"
#include "host/flow.h"
#include "host/mirror.h"
#include "host/picture.h"
#include "host/receive.h"
#include "protocol/codec.h"
#include "viewer/cache.h"
#include "viewer/viewer.h"

namespace {

struct Reply {
    uint32_t due;                 // the pass at whose start the host reads it
    std::vector<uint8_t> bytes;   // header and payload
};

struct SlowLink {
    std::deque<Reply> to_host;    // the viewer's messages on their way
    uint32_t pass;                // passes run
    uint32_t delay;               // passes a viewer message takes to reach the host
    uint32_t frames_checked;
};
SlowLink L;

void link_deliver(void) {
    while (!L.to_host.empty() && L.to_host.front().due <= L.pass) {
        Reply r = L.to_host.front();
        L.to_host.pop_front();
        MessageHeader h = header_get(r.bytes.data());
        host_receive_dispatch(h.type, r.bytes.data() + HEADER_BYTES, h.length);
    }
}

// The viewer applies one frame message by message, as its receive thread does; replies set off.
void viewer_take(const uint8_t *data, size_t len) {
    for (size_t pos = 0; pos + HEADER_BYTES <= len;) {
        MessageHeader h = header_get(data + pos);
        viewer_dispatch(h.type, data + pos + HEADER_BYTES, h.length);
        if (g_viewer.reply_len)
            L.to_host.push_back({L.pass + L.delay, std::vector<uint8_t>(g_viewer.reply, g_viewer.reply + g_viewer.reply_len)});
        pos += HEADER_BYTES + h.length;
    }
}

// Tiles where the viewer differs from the host's copy although the host counts on them.
int trusted_tiles_differing(void) {
    uint32_t confirmed = flow.confirmed_frame.load();
    size_t stride = (size_t)g_picture.pad_width * 4;
    int bad = 0;
    for (int32_t ty = 0; ty < g_picture.rows; ty++)
        for (int32_t tx = 0; tx < g_picture.cols; tx++) {
            if (picture_tile_unsure((size_t)tx + (size_t)ty * g_picture.cols, confirmed)) continue;
            size_t off = (size_t)ty * TILE_EDGE * stride + (size_t)tx * TILE_EDGE * 4;
            for (int r = 0; r < TILE_EDGE; r++)
                if (memcmp(g_viewer.fb + off + r * stride, g_picture.sent + off + r * stride, TILE_EDGE * 4)) {
                    bad++;
                    break;
                }
        }
    return bad;
}

// Cached tiles whose pixels do not have the hash they are kept under.
int cached_under_wrong_hash(void) {
    int bad = 0;
    for (uint32_t slot = 0; slot < CACHE_SLOTS; slot++) {
        uint64_t k = g_cache.keys[slot];
        bad += k != 0 && tile_hash(g_cache.tiles + (size_t)slot * TILE_BYTES) != k;
    }
    return bad;
}

// One pass of the session loop without pacing (so frames pile up in flight); the viewer applies the
// frame at once. Returns 1 when a frame went out.
int slow_pass(void) {
    link_deliver();
    int sent = 0;
    if (synth_capture_pass() != CAPTURE_RECOVERED) {
        picture_lock();
        encode_frame();
        picture_unlock();
        sent = encode_pass_close();
        if (sent) {
            viewer_take(g_out.data, g_out.len);
            EXPECT_EQ(trusted_tiles_differing(), 0) << "frame " << frame_counter.load();
            L.frames_checked++;
        }
    }
    out_reset();
    L.pass++;
    return sent;
}

// Idle passes until every reply has arrived and the host has nothing left to send.
void settle(void) {
    for (int quiet = 0, i = 0; quiet < (int)L.delay + 2 && i < 500; i++) quiet = slow_pass() || !L.to_host.empty() ? 0 : quiet + 1;
}

long screen_differences(void) {
    long diff = 0;
    for (int32_t y = 0; y < g_synth.height; y++)
        diff += memcmp(g_viewer.fb + (size_t)y * g_viewer.stride, g_synth.pixels + (size_t)y * g_synth.width * 4,
                       (size_t)g_synth.width * 4) != 0;
    return diff;
}

void session_begin(uint32_t delay, const std::string &dir) {
    L.to_host.clear();
    L.pass = 0;
    L.delay = delay;
    L.frames_checked = 0;
    picture_lock();
    picture_reset();
    mirror_clear();
    picture_unlock();
    flow_reset(clock_tick());
    encoder_session_reset(1);
    host_receive_start(nullptr);
    out_reset();
    ASSERT_EQ(viewer_begin(g_synth.width, g_synth.height), 1);
    g_viewer.ch = nullptr;
    ASSERT_EQ(cache_open(dir.c_str()), 1);
    g_cache.path[0] = 0;   // never saved
}

}  // namespace

TEST(SlowLink, LateMissesAndAcknowledgementsNeverCorruptPictureOrCache) {
    ASSERT_TRUE(synth_open(1000, 700));   // edge tiles reach into the margin
    g_synth.wait_ms = g_synth.gdi_pause_ms = 0;
    picture_lock_create();
    ASSERT_TRUE(synth_capture_init_dxgi());
    std::string dir = test_temp_dir("slowlink");
    const int workloads[] = {SYNTH_TYPING, SYNTH_SCROLL, SYNTH_DRAG, SYNTH_VIDEO, SYNTH_FULL, SYNTH_TYPING};

    // An earlier session: everything the workloads show, which the viewer will claim to hold.
    session_begin(0, dir);
    std::vector<uint8_t> advert;
    for (int w : workloads) {
        synth_set_workload(w);
        for (int i = 0; i < 20; i++) slow_pass();
    }
    synth_set_workload(SYNTH_IDLE);
    settle();
    for (uint32_t slot = 0; slot < CACHE_SLOTS; slot++)
        if (g_cache.keys[slot]) {
            advert.resize(advert.size() + 8);
            put_u64(&advert[advert.size() - 8], g_cache.keys[slot]);
        }
    ASSERT_GT(advert.size(), 8u * 1000);
    cache_close();
    synth_open(1000, 700);   // the same screen from the start
    synth_capture_init_dxgi();

    for (uint32_t delay : {3u, 9u}) {
        session_begin(delay, dir);
        // The advert reaches the host at once; the viewer's cache is empty all the same.
        for (size_t at = 0; at < advert.size(); at += 8 * MAX_ADVERT_HASHES) {
            size_t n = std::min(advert.size() - at, (size_t)8 * MAX_ADVERT_HASHES);
            host_receive_dispatch(MSG_CACHE_ADVERT, &advert[at], (uint32_t)n);
        }
        for (int w : workloads) {
            synth_set_workload(w);
            for (int i = 0; i < 30; i++) {
                if (i % 11 == 10) cache_clear();   // evictions, as a cache too small for the workload has
                slow_pass();
            }
            synth_set_workload(SYNTH_IDLE);
            settle();
            EXPECT_EQ(screen_differences(), 0) << "delay " << delay << ", workload " << w;
            EXPECT_EQ(cached_under_wrong_hash(), 0);
        }
        EXPECT_GT(g_viewer.cache_misses.load(), 10u);
        EXPECT_GT(g_viewer.cache_hits.load(), 10u);
        EXPECT_EQ(g_viewer.cache_rejects.load(), 0u) << "the host sent a tile against content the viewer lacked";
        EXPECT_GT(L.frames_checked, 150u);
        cache_close();
        viewer_end();
    }
    std::filesystem::remove_all(dir);
    synth_close();
}
