#!/usr/bin/env python3
"""Many kits, one broker: N simulated kits at the serial line's rate, each with its own tap
publishing at QoS 1 to one local mosquitto, and one subscriber on zorvan/# at QoS 1. After the
run, every tag's seq must run from 1 without a gap. Prints what was lost and the CPU used.
Usage: bench/mqtt_fleet.py BUILD_BIN_DIR [KITS] [SECONDS]"""
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening_port(process):
    line = process.stdout.readline().decode()
    match = re.match(r"listening: .*:(\d+)$", line.strip())
    if not match:
        raise RuntimeError(f"no port from {process.args[0]}: {line!r}")
    return int(match.group(1))


def main():
    bindir = sys.argv[1]
    kits = int(sys.argv[2]) if len(sys.argv) > 2 else 20
    seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 60
    work = tempfile.mkdtemp()
    port = free_port()
    config = os.path.join(work, "mosquitto.conf")
    with open(config, "w") as f:
        f.write(f"listener {port} 127.0.0.1\nallow_anonymous true\npersistence false\n"
                "max_queued_messages 100000\n")
    broker = subprocess.Popen([shutil.which("mosquitto") or "/usr/sbin/mosquitto", "-c", config],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(0.5)
    out = open(os.path.join(work, "sub.out"), "wb")
    subscriber = subprocess.Popen(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(port), "-q", "1",
                                   "-t", "zorvan/#", "-v"], stdout=out)
    time.sleep(0.5)
    processes = []
    taps = []
    try:
        for k in range(kits):
            kit = subprocess.Popen([f"{bindir}/zorvan-kit", "--listen", "127.0.0.1:0", "--rate",
                                    "221"], stdout=subprocess.PIPE)
            processes.append(kit)
            tap = subprocess.Popen([f"{bindir}/zorvan-tap", "--kit",
                                    f"127.0.0.1:{listening_port(kit)}", "--listen", "127.0.0.1:0",
                                    "--quiet", "--mqtt", f"mqtt://127.0.0.1:{port}",
                                    "--mqtt-qos", "1", "--kit-name", f"kit{k}"],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            processes.append(tap)
            taps.append(tap)
        time.sleep(2)
        cpu = {p.pid: cpu_seconds(p.pid) for p in taps + [broker]}
        start = time.monotonic()
        time.sleep(seconds)
        elapsed = time.monotonic() - start
        tap_cpu = sum(cpu_seconds(p.pid) - cpu[p.pid] for p in taps) / elapsed
        broker_cpu = (cpu_seconds(broker.pid) - cpu[broker.pid]) / elapsed
    finally:
        for p in processes[::2]:
            p.terminate()
        time.sleep(2)
        for p in processes[1::2]:
            p.terminate()
        for p in processes:
            p.wait(timeout=30)
        time.sleep(2)
        subscriber.terminate()
        subscriber.wait(timeout=30)
        broker.terminate()
        broker.wait(timeout=30)
        out.close()
    seqs = {}
    duplicates = 0
    for line in open(os.path.join(work, "sub.out"), "rb"):
        topic, _, payload = line.partition(b" ")
        if not topic.endswith(b"/position"):
            continue
        seq = json.loads(payload)["seq"]
        seen = seqs.setdefault(topic, set())
        duplicates += seq in seen
        seen.add(seq)
    received = sum(len(s) for s in seqs.values())
    lost = sum(max(s) - len(s) for s in seqs.values())
    print(f"{kits} kits at 221 reports/s for {elapsed:.0f} s at QoS 1: {len(seqs)} tags, "
          f"{received} reports received, {lost} lost, {duplicates} duplicates; "
          f"taps {100 * tap_cpu / kits:.1f} % of a core each ({100 * tap_cpu:.0f} % together), "
          f"broker {100 * broker_cpu:.0f} %")
    shutil.rmtree(work)
    return 1 if lost or len(seqs) != kits else 0


if __name__ == "__main__":
    sys.exit(main())
