#!/usr/bin/env python3
"""A long recording against a private server (PulseAudio, or PipeWire with
TARN_TEST_SERVER=pipewire) with sound playing all along: prints the tool's memory, CPU time and
threads every half minute, then checks the file against the clock.

    [TARN_TEST_SERVER=pipewire] python3 bench/soak.py [--build build] [--minutes 10]
"""

import argparse
import os
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "e2e"))
from compare import Player, proc_figures  # noqa: E402
from harness import read_wav, sound_server  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "build"))
    parser.add_argument("--minutes", type=float, default=10.0)
    args = parser.parse_args()
    server = sound_server(sinks=("out",))
    try:
        player = Player(server)
        player.tones = [(0, float("inf"), 440)]
        time.sleep(3.0)  # past a new null output's first sleep
        output = os.path.join(server.folder, "soak.wav")
        tool = subprocess.Popen([os.path.join(args.build, "tarn-audio-tap"), "--output", output],
                                env=server.env, stderr=subprocess.PIPE)
        started = time.monotonic()
        print("%8s %10s %10s %12s %12s %8s" % ("minutes", "RSS KiB", "CPU s", "wakeups/s",
                                                "preempted/s", "threads"))
        last_wakeups, last_preempted, last_time = 0, 0, started
        while time.monotonic() - started < args.minutes * 60:
            time.sleep(30)
            wakeups, preempted, cpu, _ = proc_figures(tool.pid)
            with open("/proc/%d/status" % tool.pid) as status:
                fields = dict(line.split(":", 1) for line in status)
            now = time.monotonic()
            print("%8.1f %10s %10.2f %12.1f %12.1f %8s" % (
                (now - started) / 60, fields["VmRSS"].split()[0], cpu,
                (wakeups - last_wakeups) / (now - last_time),
                (preempted - last_preempted) / (now - last_time), fields["Threads"].strip()))
            last_wakeups, last_preempted, last_time = wakeups, preempted, now
        tool.send_signal(signal.SIGTERM)
        _, err = tool.communicate(timeout=30)
        elapsed = time.monotonic() - started
        length = len(read_wav(output)[1]) / 16000
        print("status %d, stderr %r" % (tool.returncode, err.decode()))
        print("file %.3f s for %.3f s of clock: %+.1f ms" % (length, elapsed,
                                                         (length - elapsed) * 1000))
        player.stop()
    finally:
        server.stop()


if __name__ == "__main__":
    main()
