// codec: greedy LZ4-block compressor with a fixed output for every input and a strict bounds-checked
// decompressor (the tile hash is in codec_hash.cpp). Wide loads and copies only where the byte-wise result is unchanged.
#include "protocol/codec.h"
#include <limits.h>
#include <string.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "codec: the wide loads below assume a little-endian host"
#endif

enum {
    CODEC_HASH_ENTRIES = 4096,  // positions remembered by the compressor (12-bit hash)
    CODEC_MIN_MATCH = 4,        // shortest match a sequence can carry
    CODEC_LAST_LITERALS = 5,    // a match never covers the last 5 input bytes
    CODEC_TAIL = 12,            // no match starts in the last 12 input bytes
    CODEC_MAX_DISTANCE = 65535  // farthest back a match may reach
};

static inline uint32_t codec_rd32(const uint8_t *p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}

static inline uint64_t codec_rd64(const uint8_t *p) {
    uint64_t v;
    memcpy(&v, p, 8);
    return v;
}

static inline uint32_t codec_hash4(uint32_t v) { return (v * 2654435761u) >> 20; }

// ---------------------------------------------------------------------------------------------
// Compressor

// Writes a length remainder as bytes 255 followed by one byte 0..254.
static inline uint8_t *codec_put_ext(uint8_t *op, size_t rest) {
    for (int k = 0; k < 4 && rest >= 255; k++) {
        *op++ = 255;
        rest -= 255;
    }
    if (rest >= 255) {
        size_t runs = rest / 255;
        memset(op, 255, runs);
        op += runs;
        rest -= runs * 255;
    }
    *op++ = (uint8_t)rest;
    return op;
}

// Copies a run of n bytes. Runs up to 256 bytes go in whole 32-byte chunks when both buffers have
// room for the overshoot (d_room, s_room: bytes available from d and s); others go to memcpy.
static inline void codec_copy_run(uint8_t *d, const uint8_t *s, size_t n, size_t d_room,
                                  size_t s_room) {
    if (n <= 256 && d_room >= n + 32 && s_room >= n + 32) {
        for (size_t i = 0; i < n; i += 32) memcpy(d + i, s + i, 32);
    } else if (n) {
        memcpy(d, s, n);
    }
}

// Writes the token's literal half and the literals [lit, lit + n); returns the new output end.
static inline uint8_t *codec_put_literals(uint8_t *op, uint8_t *dst_end, const uint8_t *lit,
                                          const uint8_t *src_end, size_t n) {
    uint8_t *token = op++;
    if (n < 15 && dst_end - op >= 16 && src_end - lit >= 16) {
        *token = (uint8_t)(n << 4);
        memcpy(op, lit, 16);
        return op + n;
    }
    if (n >= 15) {
        *token = 0xF0;
        op = codec_put_ext(op, n - 15);
    } else {
        *token = (uint8_t)(n << 4);
    }
    codec_copy_run(op, lit, n, (size_t)(dst_end - op), (size_t)(src_end - lit));
    return op + n;
}

// Number of equal bytes at a and b (b < a), stopping at limit (5 bytes before src_end).
// Most matches are short, so the first 8 bytes are tried alone before wider steps.
static inline size_t codec_match_len(const uint8_t *a, const uint8_t *b, const uint8_t *limit) {
    const uint8_t *start = a;
    if (a + 8 <= limit) {
        uint64_t x = codec_rd64(a) ^ codec_rd64(b);
        if (x) return (size_t)(__builtin_ctzll(x) >> 3);
        a += 8;
        b += 8;
    }
#if defined(__SSE2__)
    while (a + 32 <= limit) {
        __m128i e0 = _mm_cmpeq_epi8(_mm_loadu_si128((const __m128i *)a), _mm_loadu_si128((const __m128i *)b));
        __m128i e1 = _mm_cmpeq_epi8(_mm_loadu_si128((const __m128i *)(a + 16)),
                                    _mm_loadu_si128((const __m128i *)(b + 16)));
        if (_mm_movemask_epi8(_mm_and_si128(e0, e1)) != 0xFFFF) break;  // the 16-byte step finds it
        a += 32;
        b += 32;
    }
    while (a + 16 <= limit) {
        __m128i eq = _mm_cmpeq_epi8(_mm_loadu_si128((const __m128i *)a), _mm_loadu_si128((const __m128i *)b));
        unsigned diff = (unsigned)_mm_movemask_epi8(eq) ^ 0xFFFFu;
        if (diff) return (size_t)(a - start) + (size_t)__builtin_ctz(diff);
        a += 16;
        b += 16;
    }
#endif
    while (a + 8 <= limit) {
        uint64_t x = codec_rd64(a) ^ codec_rd64(b);
        if (x) return (size_t)(a - start) + (__builtin_ctzll(x) >> 3);
        a += 8;
        b += 8;
    }
    while (a < limit && *a == *b) {
        a++;
        b++;
    }
    return (size_t)(a - start);
}

// Writes the match part of a sequence: distance, then the length into the token's low half.
static inline uint8_t *codec_put_match(uint8_t *op, uint8_t *token, size_t dist, size_t len) {
    op[0] = (uint8_t)dist;
    op[1] = (uint8_t)(dist >> 8);
    op += 2;
    len -= CODEC_MIN_MATCH;
    if (len >= 15) {
        *token |= 15;
        return codec_put_ext(op, len - 15);
    }
    *token |= (uint8_t)len;
    return op;
}

// The scan's view of one input: its bounds and the position table.
struct codec_scan_state {
    const uint8_t *src;      // input start; table entries are offsets from it
    const uint8_t *src_end;  // input end
    const uint8_t *limit;    // matches end before the last 5 bytes
    size_t scan_end;         // no match starts at or after this offset
    uint32_t table[CODEC_HASH_ENTRIES];  // last offset seen for each 12-bit hash
};

// Tries positions from p on, entering each into the table, until one has a match. Four positions
// share one 8-byte load. Returns the matching position (its candidate in *cand), or scan_end.
static inline __attribute__((always_inline)) size_t
codec_search(codec_scan_state *st, size_t p, size_t *cand, int far) {
    const uint8_t *src = st->src;
    uint32_t *table = st->table;
    for (; p + 4 <= st->scan_end; p += 4) {
        uint64_t x = codec_rd64(src + p);
        for (int k = 0; k < 4; k++) {
            uint32_t v = (uint32_t)(x >> (8 * k)), h = codec_hash4(v);
            size_t c = table[h];  // always below p + k: the table only holds earlier positions
            table[h] = (uint32_t)(p + k);
            if ((!far || p + k - c <= CODEC_MAX_DISTANCE) && codec_rd32(src + c) == v) {
                *cand = c;
                return p + k;
            }
        }
    }
    for (; p < st->scan_end; p++) {
        uint32_t v = codec_rd32(src + p), h = codec_hash4(v);
        size_t c = table[h];
        table[h] = (uint32_t)p;
        if ((!far || p - c <= CODEC_MAX_DISTANCE) && codec_rd32(src + c) == v) {
            *cand = c;
            return p;
        }
    }
    return p;
}

// After a match ended at anchor: enters anchor - 2, then writes sequences without literals for as
// long as a match starts right at the anchor. Returns where the next search starts.
static inline __attribute__((always_inline)) size_t
codec_chain(codec_scan_state *st, uint8_t **op_io, size_t anchor, int far) {
    uint8_t *op = *op_io;
    const uint8_t *src = st->src;
    while (anchor < st->scan_end) {
        // Enter anchor - 2, then look anchor up.
        uint32_t v = codec_rd32(src + anchor), h = codec_hash4(v);
        st->table[codec_hash4(codec_rd32(src + anchor - 2))] = (uint32_t)(anchor - 2);
        size_t cand = st->table[h];
        st->table[h] = (uint32_t)anchor;
        if ((far && anchor - cand > CODEC_MAX_DISTANCE) || codec_rd32(src + cand) != v) break;
        size_t extra = codec_match_len(src + anchor + 4, src + cand + 4, st->limit);
        uint16_t dist = (uint16_t)(anchor - cand);
        op[0] = (uint8_t)(extra < 15 ? extra : 15);  // token: no literals
        memcpy(op + 1, &dist, 2);
        op = extra < 15 ? op + 3 : codec_put_ext(op + 3, extra - 15);
        anchor += CODEC_MIN_MATCH + extra;
    }
    *op_io = op;
    return anchor;
}

// The greedy scan: every position not inside a match is hashed and tried, in order. far says
// whether the input is long enough for a candidate to lie more than 65535 bytes back.
// Returns the output end; *anchor_out receives the start of the literals still unwritten.
static inline __attribute__((always_inline)) uint8_t *
codec_scan(const uint8_t *src, size_t n, uint8_t *op, uint8_t *dst_end, size_t *anchor_out, int far) {
    codec_scan_state st;
    st.src = src;
    st.src_end = src + n;
    st.limit = st.src_end - CODEC_LAST_LITERALS;
    st.scan_end = n - CODEC_TAIL;
    memset(st.table, 0, sizeof st.table);
    size_t anchor = 0, p = 1;
    for (;;) {
        size_t cand = 0;
        p = codec_search(&st, p, &cand, far);
        if (p >= st.scan_end) break;
        while (p > anchor && cand > 0 && src[p - 1] == src[cand - 1]) {
            p--;
            cand--;
        }
        size_t len = CODEC_MIN_MATCH + codec_match_len(src + p + 4, src + cand + 4, st.limit);
        uint8_t *token = op;
        op = codec_put_literals(op, dst_end, src + anchor, st.src_end, p - anchor);
        op = codec_put_match(op, token, p - cand, len);
        anchor = codec_chain(&st, &op, p + len, far);
        p = anchor + 1;  // the chain tried the anchor itself already
    }
    *anchor_out = anchor;
    return op;
}

// Inputs up to 64 KiB (every tile) cannot hold a candidate too far back; they skip that test.
static uint8_t *codec_scan_near(const uint8_t *src, size_t n, uint8_t *op, uint8_t *dst_end,
                                size_t *anchor_out) {
    return codec_scan(src, n, op, dst_end, anchor_out, 0);
}

static uint8_t *codec_scan_far(const uint8_t *src, size_t n, uint8_t *op, uint8_t *dst_end,
                               size_t *anchor_out) {
    return codec_scan(src, n, op, dst_end, anchor_out, 1);
}

int codec_compress(const uint8_t *src, size_t src_len, uint8_t *dst, size_t dst_cap) {
    // The result is an int, so inputs whose bound does not fit one are refused like a short buffer.
    if (src_len > (size_t)INT_MAX - INT_MAX / 255 - 16) return -1;
    if (dst_cap < codec_bound(src_len)) return -1;
    uint8_t *dst_end = dst + dst_cap, *op = dst;
    size_t anchor = 0;
    if (src_len > CODEC_TAIL && src_len <= CODEC_MAX_DISTANCE + 1)
        op = codec_scan_near(src, src_len, op, dst_end, &anchor);
    else if (src_len > CODEC_TAIL)
        op = codec_scan_far(src, src_len, op, dst_end, &anchor);
    op = codec_put_literals(op, dst_end, src + anchor, src + src_len, src_len - anchor);
    return (int)(op - dst);
}

// ---------------------------------------------------------------------------------------------
// Decompressor

// Adds extension bytes to *len: 255s, then one byte below 255. Fails (0) when the input runs out
// or the length passes max (the caller could not honour it anyway; this also stops overflow).
static inline int codec_get_ext(const uint8_t **ip, const uint8_t *src_end, size_t *len,
                                size_t max) {
    const uint8_t *p = *ip;
    size_t n = *len;
    while (src_end - p >= 8 && codec_rd64(p) == ~(uint64_t)0) {  // long runs of 255
        n += 8 * 255;
        p += 8;
        if (n > max) return 0;
    }
    for (;;) {
        if (p >= src_end) return 0;
        unsigned b = *p++;
        n += b;
        if (b != 255) break;
        if (n > max) return 0;
    }
    *ip = p;
    *len = n;
    return 1;
}

// Where chunked copying of len bytes must stop so that no chunk of size chunk, started below the
// returned offset, passes avail (the room left in the output).
static inline size_t codec_chunk_end(size_t len, size_t avail, size_t chunk) {
    if (avail < chunk) return 0;
    return len < avail - chunk + 1 ? len : avail - chunk + 1;
}

// Stores the 8-byte pattern pat from op + i on, 32 bytes a step while the step stays within avail.
static inline size_t codec_fill_pattern(uint8_t *op, uint64_t pat, size_t i, size_t len, size_t avail) {
    for (size_t end = codec_chunk_end(len, avail, 32); i < end; i += 32) {
        memcpy(op + i, &pat, 8);
        memcpy(op + i + 8, &pat, 8);
        memcpy(op + i + 16, &pat, 8);
        memcpy(op + i + 24, &pat, 8);
    }
    return i;
}

// Match copy with distance below 8. Bytes repeat with period dist, hence also with period far (a
// multiple of dist, at least 8) once the first far - dist bytes exist. Returns the bytes done;
// chunks never pass avail, the room left in the output.
static inline size_t codec_copy_short_dist(uint8_t *op, size_t dist, size_t len, size_t avail) {
    const uint8_t *m = op - dist;
    if (dist == 1 && len > 64) {
        memset(op, *m, len);
        return len;
    }
    uint64_t pat = 0;
    if (dist == 1) pat = m[0] * 0x0101010101010101ull;
    if (dist == 2) pat = (uint64_t)(m[0] | m[1] << 8) * 0x0001000100010001ull;
    if (dist == 4) pat = (uint64_t)codec_rd32(m) * 0x0000000100000001ull;
    if (dist == 1 || dist == 2 || dist == 4) return codec_fill_pattern(op, pat, 0, len, avail);
    size_t far = dist * ((8 + dist - 1) / dist), i = 0;
    for (; i < far - dist && i < len; i++) op[i] = m[i];
    for (size_t end = codec_chunk_end(len, avail, 8); i < end; i += 8) memcpy(op + i, op + i - far, 8);
    return i;
}

// Copies a match of len bytes from dist back (both checked by the caller). Whole chunks are used
// as long as they end within avail, the room left in the output; the rest goes byte by byte.
static inline void codec_copy_match(uint8_t *op, size_t dist, size_t len, size_t avail) {
    const uint8_t *m = op - dist;
    size_t i = 0;
    if (dist >= 256 && len >= 256) {  // long and far: pieces of up to dist bytes never overlap
        for (; i < len; i += dist) memcpy(op + i, m + i, len - i < dist ? len - i : dist);
        return;
    }
    if (dist >= 32) {
        for (size_t end = codec_chunk_end(len, avail, 32); i < end; i += 32) memcpy(op + i, m + i, 32);
    } else if (dist >= 16) {
        for (size_t end = codec_chunk_end(len, avail, 16); i < end; i += 16) memcpy(op + i, m + i, 16);
    } else if (dist >= 8) {
        for (size_t end = codec_chunk_end(len, avail, 8); i < end; i += 8) memcpy(op + i, m + i, 8);
    } else {
        i = codec_copy_short_dist(op, dist, len, avail);
    }
    for (; i < len; i++) op[i] = m[i];
}

// A match of at most 18 bytes with at least 32 bytes of room: fixed wide stores where the
// distance allows them.
static inline void codec_short_match(uint8_t *op, size_t dist, size_t len) {
    const uint8_t *m = op - dist;
    uint64_t pat;
    if (dist >= 8) {  // steps of 8 never overlap what they read
        memcpy(op, m, 8);
        memcpy(op + 8, m + 8, 8);
        memcpy(op + 16, m + 16, 8);
        return;
    }
    if (dist == 4) {
        pat = (uint64_t)codec_rd32(m) * 0x0000000100000001ull;
    } else if (dist == 2) {
        pat = (uint64_t)(m[0] | m[1] << 8) * 0x0001000100010001ull;
    } else if (dist == 1) {
        pat = m[0] * 0x0101010101010101ull;
    } else {
        for (size_t i = 0; i < len; i++) op[i] = m[i];
        return;
    }
    memcpy(op, &pat, 8);
    memcpy(op + 8, &pat, 8);
    memcpy(op + 16, &pat, 8);
}

// Literal part of a sequence whose length needs the full checks. Returns 1 when a match part
// follows, 0 at the normal end of the stream, -1 for a malformed stream.
static inline int codec_long_literals(const uint8_t **ip, const uint8_t *src_end, uint8_t **op,
                                      uint8_t *dst_end, size_t lit) {
    const uint8_t *p = *ip;
    if (lit == 15 && p < src_end && *p != 255) {
        lit += *p++;  // the usual single extension byte
    } else if (lit == 15 && !codec_get_ext(&p, src_end, &lit, (size_t)(src_end - p))) {
        return -1;
    }
    size_t s_room = (size_t)(src_end - p), d_room = (size_t)(dst_end - *op);
    if (lit > s_room || lit > d_room) return -1;
    if (lit <= 512 && d_room >= lit + 32 && s_room >= lit + 32) {
        uint8_t *d = *op;
        size_t i = 0;
        do {
            memcpy(d + i, p + i, 32);
            i += 32;
        } while (i < lit);
    } else if (lit) {
        memcpy(*op, p, lit);
    }
    *op += lit;
    *ip = p + lit;
    if (*ip == src_end) return 0;
    return src_end - *ip < 2 ? -1 : 1;
}

int codec_decompress(const uint8_t *src, size_t src_len, uint8_t *dst, size_t dst_cap) {
    if (src_len == 0) return 0;
    if (dst_cap > (size_t)INT_MAX) dst_cap = (size_t)INT_MAX;  // the count must fit the result
    const uint8_t *ip = src, *src_end = src + src_len;
    uint8_t *op = dst, *dst_end = dst + dst_cap;
    for (;;) {
        unsigned token = *ip++;
        size_t lit = token >> 4;
        if (lit < 15 && src_end - ip >= 32 && dst_end - op >= 16) {
            memcpy(op, ip, 16);  // at most 14 literals; the distance certainly follows
            op += lit;
            ip += lit;
        } else {
            int more = codec_long_literals(&ip, src_end, &op, dst_end, lit);
            if (more <= 0) return more ? -1 : (int)(op - dst);
        }
        size_t dist = (size_t)ip[0] | (size_t)ip[1] << 8;
        ip += 2;
        if (dist == 0 || dist > (size_t)(op - dst)) return -1;
        size_t len = (token & 15) + CODEC_MIN_MATCH, room = (size_t)(dst_end - op);
        if (len < 19 && room >= 32) {
            codec_short_match(op, dist, len);
        } else {
            if (len == 19 && !codec_get_ext(&ip, src_end, &len, room)) return -1;
            if (len > room) return -1;
            codec_copy_match(op, dist, len, room);
        }
        op += len;
        if (ip == src_end) return (int)(op - dst);
    }
}
