#!/usr/bin/env python3
# x11vnc_bytes: replays bench_bandwidth's screens (written with --frames) on an X display and counts
# the bytes x11vnc sends for them to a minimal RFB viewer of our own, once with Tight and once with
# ZRLE (each with CopyRect), next to the bytes vo's host core sends for the same screens.
# Python 3 standard library only. Run through scripts/x11vnc_bytes.sh (it starts Xvfb and x11vnc).
import os
import select
import socket
import struct
import sys
import time
import zlib

WORKLOADS = ["terminal typing", "terminal scroll", "window drag over photo", "photo slideshow",
             "first full picture"]
ENCODINGS = [("tight", 7), ("zrle", 16)]
COPYRECT = 1


# ---- the screens: bench_bandwidth's frame files ----

def read_frames(path):
    """A list of changes: (moves [(sx, sy, dx, dy, w, h)], rects [(l, t, r, b, bgrx bytes)])."""
    out = []
    with open(path, "rb") as f:
        data = f.read()
    at = 0
    while at < len(data):
        nm, nr = struct.unpack_from("<II", data, at)
        at += 8
        moves = []
        for _ in range(nm):
            moves.append(struct.unpack_from("<6i", data, at))
            at += 24
        rects = []
        for _ in range(nr):
            l, t, r, b = struct.unpack_from("<4i", data, at)
            at += 16
            n = (r - l) * (b - t) * 4
            rects.append((l, t, r, b, data[at:at + n]))
            at += n
        out.append((moves, rects))
    return out


# ---- a bare X11 client that draws on the root window ----

class X11:
    def __init__(self, display):
        self.s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.s.connect("/tmp/.X11-unix/X%d" % display)
        self.s.sendall(struct.pack("<BxHHHHxx", 0x6C, 11, 0, 0, 0))   # no authorisation (Xvfb -ac)
        head = self.recv(8)
        if head[0] != 1:
            raise SystemExit("X server refused the connection")
        body = self.recv(struct.unpack_from("<H", head, 6)[0] * 4)
        rid_base, rid_mask = struct.unpack_from("<II", body, 4)
        vendor_len, self.max_req = struct.unpack_from("<HH", body, 16)
        screens, formats = body[20], body[21]
        at = 32 + (vendor_len + 3) // 4 * 4 + formats * 8
        self.root = struct.unpack_from("<I", body, at)[0]
        self.gc = rid_base | 1
        # CreateGC on the root, graphics exposures off (CopyArea then sends no events).
        self.s.sendall(struct.pack("<BxHIII I", 55, 5, self.gc, self.root, 0x10000, 0))
        del screens, rid_mask

    def recv(self, n):
        buf = b""
        while len(buf) < n:
            chunk = self.s.recv(n - len(buf))
            if not chunk:
                raise SystemExit("X server closed the connection")
            buf += chunk
        return buf

    def put(self, l, t, r, b, px):
        w = r - l
        rows = max(1, (self.max_req * 4 - 24) // (w * 4))
        for y in range(t, b, rows):
            h = min(rows, b - y)
            part = px[(y - t) * w * 4:(y - t + h) * w * 4]
            self.s.sendall(struct.pack("<BBHIIHHhhBBxx", 72, 2, 6 + len(part) // 4, self.root, self.gc,
                                       w, h, l, y, 0, 24) + part)

    def copy(self, sx, sy, dx, dy, w, h):
        self.s.sendall(struct.pack("<BxHIIIhhhhHH", 62, 7, self.root, self.root, self.gc, sx, sy, dx, dy, w, h))

    def sync(self):
        self.s.sendall(struct.pack("<BxH", 43, 1))   # GetInputFocus: its reply follows everything before
        while True:
            ev = self.recv(32)
            if ev[0] == 1:
                return
            if ev[0] == 0:
                raise SystemExit("X error %d on request %d" % (ev[1], ev[10]))

    def show(self, change):
        moves, rects = change
        for sx, sy, dx, dy, w, h in moves:
            self.copy(sx, sy, dx, dy, w, h)
        for l, t, r, b, px in rects:
            self.put(l, t, r, b, px)
        self.sync()


# ---- a minimal RFB viewer that counts what it receives ----

class Rfb:
    def __init__(self, port, encoding):
        self.s = socket.create_connection(("127.0.0.1", port))
        self.buf = b""
        self.bytes = 0
        self.recv(12)   # the server's version
        self.s.sendall(b"RFB 003.008\n")
        types = self.recv(self.recv(1)[0])
        if 1 not in types:
            raise SystemExit("x11vnc asks for a password; run it with -nopw")
        self.s.sendall(b"\x01")
        if struct.unpack(">I", self.recv(4))[0] != 0:
            raise SystemExit("RFB security failed")
        self.s.sendall(b"\x01")   # shared
        self.w, self.h = struct.unpack(">HH", self.recv(4))
        self.recv(16)
        self.recv(struct.unpack(">I", self.recv(4))[0])
        # 32 bits per pixel, depth 24, little-endian, true colour, red at bit 16: what viewers ask for.
        self.s.sendall(struct.pack(">BxxxBBBBHHHBBBxxx", 0, 32, 24, 0, 1, 255, 255, 255, 16, 8, 0))
        self.s.sendall(struct.pack(">BxHii", 2, 2, encoding, COPYRECT))
        self.bytes = 0
        self.pending = False

    def recv(self, n):
        while len(self.buf) < n:
            chunk = self.s.recv(1 << 20)
            if not chunk:
                raise SystemExit("x11vnc closed the connection")
            self.bytes += len(chunk)
            self.buf += chunk
        out, self.buf = self.buf[:n], self.buf[n:]
        return out

    def request(self, incremental=1):
        self.s.sendall(struct.pack(">BBHHHH", 3, incremental, 0, 0, self.w, self.h))
        self.pending = True

    def compact(self):
        n, shift = 0, 0
        for _ in range(3):
            b = self.recv(1)[0]
            n |= (b & 0x7F) << shift
            shift += 7
            if not b & 0x80:
                break
        return n

    def tight(self, w, h):
        ctl = self.recv(1)[0] >> 4
        if ctl == 8:   # fill
            self.recv(3)
            return
        if ctl == 9:   # JPEG (never asked for)
            self.recv(self.compact())
            return
        filt, size = 0, w * h * 3
        if ctl & 4:
            filt = self.recv(1)[0]
        if filt == 1:
            n = self.recv(1)[0] + 1
            self.recv(n * 3)
            size = (w + 7) // 8 * h if n == 2 else w * h
        self.recv(size if size < 12 else self.compact())

    def update(self):
        """Reads one server message; True when it was a framebuffer update."""
        kind = self.recv(1)[0]
        if kind == 0:
            rects = struct.unpack(">xH", self.recv(3))[0]
            for _ in range(rects):
                x, y, w, h, enc = struct.unpack(">HHHHi", self.recv(12))
                if enc == 0:
                    self.recv(w * h * 4)
                elif enc == COPYRECT:
                    self.recv(4)
                elif enc == 16:
                    self.recv(struct.unpack(">I", self.recv(4))[0])
                elif enc == 7:
                    self.tight(w, h)
                else:
                    raise SystemExit("unexpected encoding %d" % enc)
            self.pending = False
            return True
        if kind == 1:
            _, n = struct.unpack(">xHH", self.recv(5))
            self.recv(n * 6)
        elif kind == 3:
            self.recv(3)
            self.recv(struct.unpack(">I", self.recv(4))[0])
        elif kind != 2:
            raise SystemExit("unexpected server message %d" % kind)
        return False

    def settle(self, first_wait, quiet):
        """Takes updates until none came for `quiet` seconds (waiting up to first_wait for the first)."""
        got, deadline = False, time.time() + first_wait
        while True:
            if not self.pending:
                self.request()
            wait = (deadline if not got else last + quiet) - time.time()
            if wait <= 0:
                return got
            if self.buf or select.select([self.s], [], [], wait)[0]:
                if self.update():
                    got, last = True, time.time()


def measure(x, port, frames, encoding, counted_from):
    """Bytes x11vnc sends for the changes from index counted_from on (each settled before the next)."""
    x.show(frames[0])
    v = Rfb(port, encoding)
    v.request(0)
    v.settle(5.0, 0.5)
    for i in range(1, counted_from):
        x.show(frames[i])
        v.settle(2.0, 0.3)
    start = v.bytes - len(v.buf) if counted_from else 0
    for change in frames[max(counted_from, 1):]:
        x.show(change)
        v.settle(2.0, 0.3)
    total = v.bytes - len(v.buf) - start
    v.s.close()
    return total


def vo_bytes(path):
    """codec2, version-1 and our reference's bytes per workload from bench_bandwidth's output."""
    got = {}
    for line in open(path):
        for name in WORKLOADS:
            if line.strip().startswith(name):
                cols = line.split()[len(name.split()):]
                got[name] = [float(c) for c in cols[:4]]
    return got


def main():
    display, port, frames_dir, bench_out = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
    x = X11(display)
    vo = vo_bytes(bench_out)
    print("bytes per workload: x11vnc (Tight, ZRLE; counted on the TCP connection) beside vo's host core")
    print("  %-24s %11s %11s %11s %11s %9s" % ("workload", "x11vnc-tight", "x11vnc-zrle", "vo-v1", "vo-codec2",
                                               "c2/x11vnc"))
    for k, name in enumerate(WORKLOADS):
        frames = read_frames(os.path.join(frames_dir, "%d.frames" % k))
        counted = 0 if name == "first full picture" else 2   # first picture and opening step not counted
        if counted == 0:
            frames = frames[:1]
        sizes = [measure(x, port, frames, enc, counted) for _, enc in ENCODINGS]
        v1, c2 = vo.get(name, [0, 0])[:2]
        best = min(sizes)
        print("  %-24s %11d %11d %11.0f %11.0f %9.3f" % (name, sizes[0], sizes[1], v1, c2, c2 / best if best else 0))
        sys.stdout.flush()


if __name__ == "__main__":
    main()
