#!/usr/bin/env python3
"""Peak memory of tarn-audio-tap and parecord, recording side by side, over several runs.

Two scenes: the output idle (nothing plays), and a player sounding a tone all along. A single
figure moves by a tenth of a megabyte from run to run (which pages of the shared libraries get
touched), so compare averages.

    python3 bench/memory.py [--build build] [--runs 8]
"""

import argparse
import os
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "e2e"))
from harness import PulseServer, feed, stereo, tone  # noqa: E402


def peak_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmHWM"):
                return int(line.split()[1])
    return 0


def one_run(build, playing):
    server = PulseServer()
    player = None
    try:
        if playing:
            player = server.player()
            threading.Thread(target=feed, args=(player, stereo(tone(5, 440))), daemon=True).start()
        recorders = {
            "tarn-audio-tap": [os.path.join(build, "tarn-audio-tap"), "--output",
                               os.path.join(server.folder, "tarn.wav")],
            "parecord 20 ms": ["parecord", "--latency-msec=20", "--rate=16000", "--channels=1",
                               "--format=s16le", "--device=out.monitor",
                               os.path.join(server.folder, "parecord.wav")],
        }
        processes = {name: subprocess.Popen(command, env=server.env, stderr=subprocess.DEVNULL)
                     for name, command in recorders.items()}
        time.sleep(3.0)
        peaks = {name: peak_kib(process.pid) for name, process in processes.items()}
        for process in processes.values():
            process.terminate()
            process.wait()
        return peaks
    finally:
        if player:
            player.kill()
            player.wait()
        server.stop()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "build"))
    parser.add_argument("--runs", type=int, default=8)
    args = parser.parse_args()
    for scene, playing in (("idle output", False), ("a tone playing", True)):
        totals = {}
        for _ in range(args.runs):
            for name, peak in one_run(os.path.abspath(args.build), playing).items():
                totals.setdefault(name, []).append(peak)
        print(scene)
        for name, peaks in totals.items():
            print("  %-16s peak MiB: average %.2f, lowest %.2f, highest %.2f" % (
                name, sum(peaks) / len(peaks) / 1024, min(peaks) / 1024, max(peaks) / 1024))


if __name__ == "__main__":
    main()
