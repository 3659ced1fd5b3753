#!/usr/bin/env python3
"""Feeds a running viewer frames over loopback TCP at the serial line's rate and measures,
from outside, the CPU time it spends per report (from /proc). Prints one line per case."""
import argparse
import math
import os
import random
import socket
import struct
import sys
import time

LINE_RATE = 115200 / 10 / 52
TICKS = os.sysconf("SC_CLK_TCK")
ANCHORS = [(0, 0, 200), (600, 0, 200), (600, 500, 200), (0, 500, 200)]


def frame(tag, anchors, ranges, tag_id=1):
    out = b"78" + struct.pack(">Bhhh", tag_id, *tag)
    for k in range(4):
        out += struct.pack(">BH", k, min(max(ranges[k], 0), 0xFFFF))
    for x, y, z in anchors:
        out += struct.pack(">Bhhh", 0, x, y, z)
    return out + b"\0'("


def walk(i):
    a = i * 2 * math.pi / 400
    tag = (int(300 + 150 * math.cos(a)), int(250 + 150 * math.sin(a)), 120)
    ranges = [int(round(math.dist(tag, anchor))) for anchor in ANCHORS]
    return frame(tag, ANCHORS, ranges)


def jump(rng):
    """A frame as a noisy kit may send: the tag anywhere about the room, ranges of 1 to 7 m."""
    tag = (rng.randrange(-100, 700), rng.randrange(-100, 600), 120)
    return frame(tag, ANCHORS, [rng.randrange(100, 701) for _ in range(4)])


def grow(case):
    if case == "grown":
        return frame((300, 250, 120), ANCHORS, [65535, 0, 0, 0])
    corners = [(-32768, 32767, 0), (32767, 32767, 0), (-32768, -32768, 0), (32767, -32768, 0)]
    return frame((0, 0, 0), corners, [65535] * 4)


def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--pid", type=int, required=True, help="the viewer's process id")
    parser.add_argument("--case", choices=["smallest", "grown", "extreme"], default="smallest")
    parser.add_argument("--frames", choices=["smooth", "jumping"], default="smooth")
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--port-file", required=True, help="where to write the port to type")
    args = parser.parse_args()

    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(1)
    with open(args.port_file, "w") as f:
        f.write(f"{server.getsockname()[1]}\n")
    server.settimeout(30)
    peer, _ = server.accept()
    peer.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    if args.case != "smallest":
        peer.sendall(grow(args.case))
    rng = random.Random(7)
    interval = 1 / LINE_RATE
    # One second to settle, then the measured run.
    frames = int((1 + args.seconds) * LINE_RATE)
    settle = int(LINE_RATE)
    start = time.monotonic()
    late = 0
    for i in range(frames):
        due = start + i * interval
        wait = due - time.monotonic()
        if wait > 0:
            time.sleep(wait)
        elif wait < -interval:
            late += 1
        if i == settle:
            cpu_before, t_before = cpu_seconds(args.pid), time.monotonic()
        peer.sendall(walk(i) if args.frames == "smooth" else jump(rng))
    time.sleep(0.1)
    cpu = cpu_seconds(args.pid) - cpu_before
    elapsed = time.monotonic() - t_before
    reports = frames - settle
    if late:
        print(f"warning: the sender fell behind {late} times", file=sys.stderr)
    print(f"{cpu * 1000 / reports:.3f} {100 * cpu / elapsed:.1f}")
    peer.close()


if __name__ == "__main__":
    sys.exit(main())
