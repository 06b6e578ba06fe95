// pick: under the second codec, which family of tile forms a big pass uses. Family 2 (the second
// codec's forms) sends about a third of the bytes but costs the encoder several times the time of
// family 1 (the version-1 forms, LZ4 delta or raw pixels). The pass takes the family whose time
// per tile is smaller: the longer of what the encoder spends on a tile and what its bytes take at
// the link's delivery rate, from moving averages of earlier big passes of each family.
// While family 2 keeps the encoder busy, the measured rate is the encoder's output rather than the
// link's; when the link kept up with it, a big pass now and then tries family 1 (a probe), whose
// acknowledgements measure the link for real. The family in use keeps its place unless the other is
// predicted clearly quicker: the rate is measured through the flow's pacing, which holds back the
// link in either family and makes close predictions swing; family 1 also keeps it, or takes it back,
// while family 2's encoder makes less than the link carries (family 1 then costs the link nothing
// it would use, and both ends less CPU). Small passes take family 2, but for the rest of a change the
// flow cut into frames.
// One record per session (in EncoderState); all zero is the fresh state.
#pragma once
#include <stdint.h>

#define PICK_BIG_TILES 64           // a big pass: at least this many tiles that may go as deltas
#define PICK_PROBE_MS 5000          // family 1 is tried at most once per this many ms
#define PICK_PROBE_MAX_MS 40000     // and, after probes that lost, doubling up to this
#define PICK_PROBE_SPAN_MS 250      // a probe: the big passes of this many ms take family 1,
#define PICK_PROBE_LONGEST_MS 1000  // or of up to this many until family 1 has figures
#define PICK_PROBE_SHARE 0.6        // probe when the rate reaches this share of family 2's output
#define PICK_KEEP 1.25              // the family in use stays unless the other is this much quicker

struct PickAverage {
    double ns;      // encoder wall time per tile (0: not measured yet)
    double bytes;   // bytes per tile
    // Big passes not yet folded in: a change the flow cuts into small frames still teaches.
    int64_t sum_tiles, sum_ns, sum_bytes;
};

struct PickState {
    PickAverage fam[2];        // family 1, family 2
    int probed;                // 1 once a probe began this session
    int probing;               // 1 from a probe's start until the decision after its span judges it
    uint32_t probe_tick;       // when the latest probe began
    uint32_t probe_wait;       // ms between probes (0: PICK_PROBE_MS)
    int last;                  // family of the latest big pass (0: none yet)
    int force;                 // 1 or 2: every big pass takes that family (tests); 0: choose
    int cut;                   // the latest big pass left changed tiles for the passes after it
};

// The family for a pass of `candidates` delta candidates (pick_delta_candidates) at tick now: 1 or 2
// for a big pass, and for the rest of a big change the flow cut into frames the family its first
// frame took; 0 for a small pass (the second codec's forms).
int pick_pass_family(PickState *p, int32_t candidates, int32_t rate, uint32_t now);
// After a pass of `family` (pick_pass_family's answer): whether it left changed tiles behind.
void pick_pass_end(PickState *p, int family, int left);
// The family (1 or 2) for a big pass at tick now; rate is the delivery rate in bytes per ms (0:
// not measured). Family 2 until both the rate and family 2's figures are known.
int pick_family(PickState *p, int32_t rate, uint32_t now);
// A big pass of `family` emitted `tiles` delta tile messages of `bytes` bytes in all, in ns of tile
// work. Passes are summed until they make PICK_BIG_TILES tiles, then folded into the averages.
void pick_record(PickState *p, int family, int32_t tiles, int64_t ns, int64_t bytes);
// Tiles the coming pass may send as deltas: dirty (only those the latest capture marked when
// fresh_only) and not forgotten. A bound read from the picture before any comparison.
int32_t pick_delta_candidates(int fresh_only);
int64_t pick_clock_ns(void);   // a monotonic clock for the pass's tile work
