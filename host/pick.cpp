// pick: the choice between the two families of tile forms for a big pass, and its figures.
#include "host/pick.h"

#include <chrono>

#include "host/log.h"
#include "host/picture.h"

// Predicted time per tile of family average a at rate bytes per ms (0: no rate): the encoder's
// time or the link's, whichever is longer.
static double pick_time(const PickAverage *a, int32_t rate) {
    double link = rate > 0 ? a->bytes * 1e6 / rate : 0;
    return a->ns > link ? a->ns : link;
}

// A probe's span is over: its figures and the rate its acknowledgements gave say whether it won.
// A loss doubles the wait before the next one; a win brings it back to the shortest.
static void pick_judge(PickState *p, int best) {
    uint32_t wait = p->probe_wait ? p->probe_wait : PICK_PROBE_MS;
    if (best == 2) wait = wait * 2 > PICK_PROBE_MAX_MS ? PICK_PROBE_MAX_MS : wait * 2;
    else wait = PICK_PROBE_MS;
    p->probe_wait = wait;
    p->probing = 0;
}

// 1 when family 2's output is what limits the measured rate and a probe is due.
static int pick_probe_due(const PickState *p, int32_t rate, uint32_t now) {
    const PickAverage *f2 = &p->fam[1];
    double output = f2->bytes * 1e6 / f2->ns;   // bytes per ms family 2's encoder makes
    if (rate < PICK_PROBE_SHARE * output) return 0;
    uint32_t wait = p->probe_wait ? p->probe_wait : PICK_PROBE_MS;
    return !p->probed || now - p->probe_tick >= wait;
}

static int pick_decide(PickState *p, int32_t rate, uint32_t now) {
    uint32_t age = now - p->probe_tick;
    if (p->probing && (age < PICK_PROBE_SPAN_MS || (p->fam[0].ns <= 0 && age < PICK_PROBE_LONGEST_MS))) return 1;
    if (p->fam[1].ns <= 0 || rate <= 0) return 2;
    int best = 2;
    if (p->fam[0].ns > 0) {
        // Family 1 stays, or takes over from family 2 while family 2's encoder makes less than the
        // link carries (the link has room for family 1's bytes, and family 1 spares both ends
        // CPU), unless the other is clearly quicker.
        double t1 = pick_time(&p->fam[0], rate), t2 = pick_time(&p->fam[1], rate);
        int ones = p->last == 1 || rate >= p->fam[1].bytes * 1e6 / p->fam[1].ns;
        best = (ones ? t1 < t2 * PICK_KEEP : t1 * PICK_KEEP < t2) ? 1 : 2;
    }
    if (p->probing) pick_judge(p, best);
    if (best == 1 || !pick_probe_due(p, rate, now)) return best;
    p->probed = p->probing = 1;
    p->probe_tick = now;
    return 1;
}

int pick_family(PickState *p, int32_t rate, uint32_t now) {
    int f = p->force ? p->force : pick_decide(p, rate, now);
    if (f != p->last)
        host_log("tile forms: family %d (rate %ld bytes/ms; per tile %.0f/%.0f ns, %.0f/%.0f bytes)", f, (long)rate,
                 p->fam[0].ns, p->fam[1].ns, p->fam[0].bytes, p->fam[1].bytes);
    p->last = f;
    return f;
}

void pick_record(PickState *p, int family, int32_t tiles, int64_t ns, int64_t bytes) {
    if (tiles <= 0 || family < 1 || family > 2 || ns <= 0) return;
    PickAverage *a = &p->fam[family - 1];
    a->sum_tiles += tiles;
    a->sum_ns += ns;
    a->sum_bytes += bytes;
    if (a->sum_tiles < PICK_BIG_TILES) return;
    double c = (double)a->sum_ns / (double)a->sum_tiles, b = (double)a->sum_bytes / (double)a->sum_tiles;
    a->sum_tiles = a->sum_ns = a->sum_bytes = 0;
    if (a->ns <= 0) {
        a->ns = c;
        a->bytes = b;
        return;
    }
    a->ns += (c - a->ns) / 4;
    a->bytes += (b - a->bytes) / 4;
}

int32_t pick_delta_candidates(int fresh_only) {
    size_t tiles = (size_t)g_picture.cols * (size_t)g_picture.rows;
    int32_t n = 0;
    for (size_t i = 0; i < tiles; i++)
        n += g_picture.dirty[i] && (!fresh_only || g_picture.dirty[i] == 1) && !g_picture.force_raw[i];
    return n;
}

int64_t pick_clock_ns(void) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int pick_pass_family(PickState *p, int32_t candidates, int32_t rate, uint32_t now) {
    if (candidates >= PICK_BIG_TILES) return pick_family(p, rate, now);
    return candidates > 0 && p->cut ? p->last : 0;   // the rest of a change goes as it began
}

void pick_pass_end(PickState *p, int family, int left) {
    if (family) p->cut = left;
}
