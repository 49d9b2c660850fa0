#!/usr/bin/env python3
"""tarn-audio-tap and parecord side by side, recording one private server in one run (PulseAudio, or
PipeWire with TARN_TEST_SERVER=pipewire).

For each recorder: how long after launch its file appears, where a tone played 1.0 s after launch
lands in the file (timeline error), how much of a tone that sounds until the stop is missing from
the file's end (tail loss), the file's length against the time from launch to stop, context
switches per second summed over all threads (the ones it asks for by sleeping, its wakeups, and the
ones other processes impose by preempting it), CPU time, peak memory, and how long the process
takes to end after SIGTERM.

Two scenes: "running", a player keeps the output busy all along (a desktop with sound on); "idle",
the output has never played when the recorders start. Then, for tarn-audio-tap alone (parecord
does not follow the default output): how long after the default output changes the capture runs on
the new output's monitor, over a series of changes between two busy outputs. First of all, steady
state: wakeups and CPU time per second with a low-latency player, a 40 ms player, a slow player
(2 s buffer), three low-latency players and nothing playing, parecord at 20 ms and at 125 ms
beside the tool, and another build of it with --baseline. Then what each recorder, alone, costs
the machine with the sound server's own CPU counted in (bench/machine_cost.py).

    [TARN_TEST_SERVER=pipewire] python3 bench/compare.py [--build build] [--seconds 10]
        [--steady-seconds 15] [--rounds 3] [--only-steady | --only-cost] [--baseline OTHER_BUILD]
"""

import argparse
import array
import math
import os
import signal
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "e2e"))
from harness import read_wav, segments_with_tone, sound_server  # noqa: E402
from machine_cost import COST_SCENES, print_cost, steady, task_figures  # noqa: E402

RATE = 48000
CHUNK = RATE // 100  # 10 ms


class Player:
    """Plays silence in real time into the output, and a tone between two moments."""

    def __init__(self, server, sink="out"):
        self.process = server.player(sink=sink)
        self.tones = []  # (start, end, hertz) in time.monotonic()
        self.running = True
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        next_time = time.monotonic()
        phase = 0
        while self.running:
            now = time.monotonic()
            hertz = next((h for s, e, h in self.tones if s <= now < e), None)
            data = array.array("f")
            for _ in range(CHUNK):
                value = 0.5 * math.sin(2 * math.pi * hertz * phase / RATE) if hertz else 0.0
                data.append(value)
                data.append(value)
                phase += 1
            try:
                self.process.stdin.write(data.tobytes())
                self.process.stdin.flush()
            except BrokenPipeError:
                return
            next_time += 0.01
            time.sleep(max(0.0, next_time - time.monotonic()))

    def stop(self):
        self.running = False
        self.thread.join()
        self.process.kill()
        self.process.wait()


def proc_figures(pid):
    wakeups, preempted, _ = task_figures(pid)
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    cpu = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    peak = 0
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmHWM"):
                peak = int(line.split()[1])
    return wakeups, preempted, cpu, peak


def watch_for_files(paths, since):
    """Seconds from `since` until each file exists, filled in by a thread polling every 2 ms."""
    found = {}

    def poll():
        deadline = since + 5.0
        while len(found) < len(paths) and time.monotonic() < deadline:
            for path in paths:
                if path not in found and os.path.exists(path):
                    found[path] = time.monotonic() - since
            time.sleep(0.002)

    threading.Thread(target=poll, daemon=True).start()
    return found


def scene(build, seconds, idle):
    server = sound_server(("out",))
    folder = server.folder
    try:
        player = None if idle else Player(server)
        # A new null output sleeps for its first two seconds whatever happens: let that pass, so
        # the scenes are those of a server that has been up for a while.
        time.sleep(3.0)
        recorders = {
            "tarn-audio-tap": [os.path.join(build, "tarn-audio-tap"), "--output",
                               os.path.join(folder, "tarn.wav")],
            "parecord 20 ms": ["parecord", "--latency-msec=20", "--rate=16000", "--channels=1",
                               "--format=s16le", "--device=out.monitor",
                               os.path.join(folder, "parecord20.wav")],
            "parecord default": ["parecord", "--rate=16000", "--channels=1", "--format=s16le",
                                 "--device=out.monitor", os.path.join(folder, "parecord.wav")],
        }
        processes = {}
        launched = time.monotonic()
        for name, command in recorders.items():
            processes[name] = subprocess.Popen(command, env=server.env, stderr=subprocess.DEVNULL)
        appeared = watch_for_files([command[-1] for command in recorders.values()], launched)
        first_tone = (launched + 1.0, launched + 1.3)
        last_tone_start = launched + seconds - 1.0
        stop_at = launched + seconds
        if player:
            player.tones = [(first_tone[0], first_tone[1], 440), (last_tone_start, stop_at + 5, 660)]
        else:
            time.sleep(max(0.0, first_tone[0] - time.monotonic()))
            idle_player = Player(server)
            idle_player.tones = [(first_tone[0], first_tone[1], 440),
                                 (last_tone_start, stop_at + 5, 660)]
            player = idle_player
        time.sleep(max(0.0, stop_at - time.monotonic() - 0.2))
        figures = {name: proc_figures(p.pid) for name, p in processes.items()}
        time.sleep(max(0.0, stop_at - time.monotonic()))
        stopped = time.monotonic()
        for process in processes.values():
            process.send_signal(signal.SIGTERM)
        ended = {}
        while len(ended) < len(processes):
            for name, process in processes.items():
                if name not in ended and process.poll() is not None:
                    ended[name] = time.monotonic() - stopped
            time.sleep(0.001)
        player.stop()

        rows = []
        elapsed = stopped - launched
        for name, command in recorders.items():
            wakeups, preempted, cpu, peak = figures[name]
            try:
                _, samples = read_wav(command[-1])
            except Exception:
                samples = []
            length = len(samples) / 16000
            first = segments_with_tone(samples, 440)
            last = segments_with_tone(samples, 660)
            # Where the first tone lands against where it was played.
            delay = (first[0][0] - 1.0) if first else float("nan")
            # The last tone sounds from a second before the stop until after it: what its stretch
            # in the file lacks, beyond the delay with which every tone lands, is lost at the end.
            tail_loss = (1.0 - (last[-1][1] - last[-1][0]) - delay) if last else float("nan")
            measured = stopped - 0.2 - launched
            rows.append((name, appeared.get(command[-1], float("nan")) * 1000, delay * 1000,
                         (elapsed - length) * 1000, tail_loss * 1000, wakeups / measured,
                         preempted / measured, cpu * 1000, peak / 1024,
                         ended[name] * 1000))
        return rows
    finally:
        server.stop()


def following(build, moves):
    """Seconds from each change of default output to the capture on the new output's monitor, as
    seen by polling the server (which adds a few milliseconds of its own)."""
    server = sound_server(("speakers", "headphones"))
    players = [Player(server, sink) for sink in ("speakers", "headphones")]
    tool = None
    try:
        time.sleep(3.0)
        tool = subprocess.Popen([os.path.join(build, "tarn-audio-tap"), "--output",
                                 os.path.join(server.folder, "moves.wav")], env=server.env)
        while server.recorded_source(tool.pid) is None:
            time.sleep(0.01)
        delays = []
        for move in range(moves):
            target = ("headphones", "speakers")[move % 2]
            # At no fixed phase of the tool's reading pace.
            time.sleep(0.3 + 0.037 * move)
            changed = time.monotonic()
            server.pactl("set-default-sink", target)
            while server.recorded_source(tool.pid) != target + ".monitor":
                pass
            delays.append(time.monotonic() - changed)
        return delays
    finally:
        if tool:
            tool.terminate()
            tool.wait()
        for player in players:
            player.stop()
        server.stop()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "build"))
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--moves", type=int, default=20)
    parser.add_argument("--steady-seconds", type=float, default=15.0,
                        help="measured per scene, and per recorder in the cost table")
    parser.add_argument("--rounds", type=int, default=3,
                        help="measures of each recorder in the cost table, of which the median")
    parser.add_argument("--only-steady", action="store_true", help="the first table alone")
    parser.add_argument("--only-cost", action="store_true",
                        help="only the recorders one at a time, the server counted in")
    parser.add_argument("--baseline", help="another build folder, measured beside (steady state)")
    parser.add_argument("--scene", action="append", choices=[name for name, _ in COST_SCENES],
                        help="only this scene in the cost table (repeatable): more rounds of the "
                        "rows that move most, in the time of the whole table")
    args = parser.parse_args()
    baseline = args.baseline and os.path.abspath(args.baseline)
    if args.only_cost:
        print_cost(os.path.abspath(args.build), args.steady_seconds, baseline, args.rounds,
                   args.scene)
        return
    print("%s; steady state over %.0f s: wakeups per second / CPU ms per second, all threads" %
          (os.environ.get("TARN_TEST_SERVER", "pulseaudio"), args.steady_seconds))
    print("%-42s%22s%22s%22s" % ("scene", "tarn-audio-tap", "parecord 20 ms", "parecord 125 ms") +
          ("%22s" % "baseline" if args.baseline else ""))
    for row in steady(os.path.abspath(args.build), args.steady_seconds, baseline):
        print("%-42s" % row[0] + "".join("%14.1f /%5.2f" % figures for figures in row[1:]))
    if args.only_steady:
        return
    print()
    print_cost(os.path.abspath(args.build), args.steady_seconds, baseline, args.rounds, args.scene)
    header = ("recorder", "file ms", "timeline ms", "short by ms", "tail loss ms", "wakeups/s",
              "preempted/s", "CPU ms", "peak MiB", "exit ms")
    for idle in (False, True):
        print("\nscene: %s output, %.0f s" % ("idle" if idle else "running", args.seconds))
        print("%-18s" % header[0] + "".join("%13s" % h for h in header[1:]))
        for row in scene(os.path.abspath(args.build), args.seconds, idle):
            print("%-18s" % row[0] + "".join("%13.1f" % v for v in row[1:]))
    delays = sorted(following(os.path.abspath(args.build), args.moves))
    print("\nfollowing the default output, %d changes: median %.0f ms, slowest %.0f ms" %
          (len(delays), 1000 * delays[len(delays) // 2], 1000 * delays[-1]))


if __name__ == "__main__":
    main()
