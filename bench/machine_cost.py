"""What recording costs the machine in steady state, for bench/compare.py.

A recorder's own wakeups and CPU are only part of it: the server works for every capture it feeds
(a monitor rendered, streams copied, volume applied), and a recorder that asks for a short latency
makes the server wake as often. So the recorders are measured first side by side (their own
figures, in the same conditions), then each alone in turn on one server, with the server's
processes counted too: PulseAudio's daemon; PipeWire, WirePlumber and pipewire-pulse. The server's
cost of two recorders at once cannot be split between them, hence one at a time.
"""

import array
import math
import os
import statistics
import subprocess
import threading
import time

from harness import sound_server

RATE = 48000
SETTLE = 3.0  # start-up is not steady state; a new null output also sleeps for its first 2 s
SERVER_NAMES = ("pulseaudio", "pipewire", "wireplumber", "pipewire-pulse")


class SteadyPlayer:
    """A player with a buffer of its own length, fed in real time with silence or a steady tone,
    written `lead` seconds ahead of the clock (pacat takes from its pipe what the server asks)."""

    def __init__(self, server, latency_ms, hertz, lead=0.05):
        self.process = subprocess.Popen(
            ["pacat", "--playback", "--raw", "--format=float32le", "--rate=%d" % RATE,
             "--channels=2", "--device=out", "--latency-msec=%d" % latency_ms],
            stdin=subprocess.PIPE, env=server.env)
        second = array.array("f")
        for i in range(RATE):
            value = 0.25 * math.sin(2 * math.pi * hertz * i / RATE) if hertz else 0.0
            second.extend((value, value))
        self.second = second.tobytes()
        self.lead = lead
        self.running = True
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        started = time.monotonic()
        sent = 0
        while self.running:
            try:
                self.process.stdin.write(self.second[:len(self.second) // 10])
                self.process.stdin.flush()
            except (BrokenPipeError, ValueError):
                return
            sent += 0.1
            time.sleep(max(0.0, started + sent - self.lead - time.monotonic()))

    def stop(self):
        self.running = False
        self.process.kill()
        self.process.wait()
        self.thread.join()


def task_figures(pid):
    """Voluntary and involuntary context switches, and CPU nanoseconds, summed over all threads."""
    wakeups = preempted = cpu = 0
    for task in os.listdir("/proc/%d/task" % pid):
        with open("/proc/%d/task/%s/status" % (pid, task)) as status:
            for line in status:
                if line.startswith("voluntary_ctxt_switches"):
                    wakeups += int(line.split()[1])
                elif line.startswith("nonvoluntary_ctxt_switches"):
                    preempted += int(line.split()[1])
        with open("/proc/%d/task/%s/schedstat" % (pid, task)) as schedstat:
            cpu += int(schedstat.read().split()[0])
    return wakeups, preempted, cpu


def recorder_commands(build, folder, baseline=None):
    commands = {
        "tarn-audio-tap": [os.path.join(build, "tarn-audio-tap"), "--output",
                           os.path.join(folder, "tarn.wav")],
        "parecord 20 ms": ["parecord", "--latency-msec=20", "--rate=16000", "--channels=1",
                           "--format=s16le", "--device=out.monitor", os.path.join(folder, "p20.wav")],
        "parecord 125 ms": ["parecord", "--latency-msec=125", "--rate=16000", "--channels=1",
                            "--format=s16le", "--device=out.monitor",
                            os.path.join(folder, "p125.wav")],
    }
    if baseline:  # another build of the tool, measured in the same run
        commands["baseline"] = [os.path.join(baseline, "tarn-audio-tap"), "--output",
                                os.path.join(folder, "baseline.wav")]
    return commands


STEADY_SCENES = [  # name, each player's buffer in ms and tone (None: silence)
    ("a low-latency player (10 ms), tone", [(10, 440)]),
    ("three low-latency players (10 ms), tones", [(10, 440), (10, 550), (10, 660)]),
    ("a 40 ms player, tone", [(40, 440)]),
    ("a slow player (2000 ms), silence", [(2000, None)]),
    ("a slow player (2000 ms), tone", [(2000, 440)]),
    ("nothing playing", []),
]


def steady(build, seconds, baseline=None):
    """Wakeups and CPU per second in steady state, the recorders side by side on one server."""
    results = []
    for name, players in STEADY_SCENES:
        server = sound_server(("out",))
        playing = []
        processes = {}
        try:
            playing = [SteadyPlayer(server, latency, hertz) for latency, hertz in players]
            time.sleep(SETTLE)  # past the new output's first two seconds
            commands = recorder_commands(build, server.folder, baseline)
            for recorder, command in commands.items():
                processes[recorder] = subprocess.Popen(command, env=server.env,
                                                       stderr=subprocess.DEVNULL)
            time.sleep(SETTLE)
            figures = measure([process.pid for process in processes.values()], seconds)
            results.append([name] + [figures[processes[recorder].pid] for recorder in commands])
        finally:
            for process in processes.values():
                process.terminate()
                process.wait()
            for player in playing:
                player.stop()
            server.stop()
    return results


def server_processes(server):
    """{pid: name} of the sound server's processes. The harness starts the server in a session of
    its own: its processes are those of that session with a server's name (not the D-Bus daemon
    nor the shell that PipeWire's three are started from)."""
    found = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as stat:
                text = stat.read()
        except OSError:
            continue
        name = text[text.index("(") + 1:text.rindex(")")]
        session = int(text.rsplit(")", 1)[1].split()[3])
        if session == server.process.pid and name in SERVER_NAMES:
            found[int(entry)] = name
    return found


def measure(pids, seconds):
    """Wakeups per second and CPU ms per second over the next `seconds`, each pid summed in."""
    before = {pid: task_figures(pid) for pid in pids}
    time.sleep(seconds)
    after = {pid: task_figures(pid) for pid in pids}
    return {pid: ((after[pid][0] - before[pid][0]) / seconds,
                  (after[pid][2] - before[pid][2]) / 1e6 / seconds) for pid in pids}


COST_SCENES = [  # name, each player's buffer in ms and tone; every one at 100 % and 50 % volume
    ("nothing playing", []),
    ("a 10 ms player", [(10, 440)]),
    ("a 2 s player", [(2000, 440)]),
    ("three 10 ms players", [(10, 440), (10, 550), (10, 660)]),
]
COST_ROWS = ("no recorder", "tarn-audio-tap", "parecord 125 ms", "parecord 20 ms", "baseline")


def cost_scene(build, seconds, players, volume, baseline=None, rounds=1):
    """[(row, recorder wakeups/s or None, recorder CPU ms/s or None, server CPU ms/s)], and the
    server's processes, the recorders one at a time on one server. Each figure is the median of
    `rounds` measures, the rows taken in another order each round: what the server spends drifts
    over a minute by more than a recorder adds, and a fixed order would charge the drift to
    whichever row comes last."""
    server = sound_server(("out",))
    playing = []
    try:
        server.pactl("set-sink-volume", "out", "%d%%" % volume)
        # A 2 s player keeps its buffer full; a short one its pipe a little ahead of the clock.
        playing = [SteadyPlayer(server, latency, hertz, lead=max(0.05, latency / 1000 + 0.05))
                   for latency, hertz in players]
        time.sleep(SETTLE)
        names = server_processes(server)
        commands = recorder_commands(build, server.folder, baseline)
        order = [row for row in COST_ROWS if row == "no recorder" or row in commands]
        taken = {row: [] for row in order}
        for turn in range(rounds):
            for row in order[turn % len(order):] + order[:turn % len(order)]:
                taken[row].append(measure_row(row, commands, names, server, seconds))
        return [(row,) + tuple(None if taken[row][0][field] is None else
                               statistics.median([figures[field] for figures in taken[row]])
                               for field in range(3)) for row in order], names
    finally:
        for player in playing:
            player.stop()
        server.stop()


def measure_row(row, commands, names, server, seconds):
    """(recorder wakeups/s, recorder CPU ms/s, server CPU ms/s) of one row, once."""
    if row == "no recorder":
        figures = measure(list(names), seconds)
        return None, None, sum(cpu for _, cpu in figures.values())
    process = subprocess.Popen(commands[row], env=server.env, stderr=subprocess.DEVNULL)
    try:
        time.sleep(SETTLE)
        figures = measure([process.pid] + list(names), seconds)
        if process.poll() is not None:
            raise RuntimeError("%s ended during the measure" % row)
    finally:
        process.terminate()
        process.wait()
    wakeups, cpu = figures.pop(process.pid)
    return wakeups, cpu, sum(cpu for _, cpu in figures.values())


def print_cost(build, seconds, baseline=None, rounds=1, scenes=None):
    kind = os.environ.get("TARN_TEST_SERVER", "pulseaudio")
    print("%s; each recorder alone, %.0f s after %.0f s of start-up, the median of %d rounds: the "
          "recorder's wakeups and CPU per second (all threads), the server's CPU per second, and "
          "the two together" % (kind, seconds, SETTLE, rounds))
    print("%-40s%12s%12s%12s%12s" % ("scene / recorder", "wakeups/s", "CPU ms/s",
                                     "server ms/s", "total ms/s"))
    seen = None
    for name, players in COST_SCENES:
        if scenes and name not in scenes:
            continue
        for volume in (100, 50):
            rows, names = cost_scene(build, seconds, players, volume, baseline, rounds)
            if seen != sorted(names.values()):
                seen = sorted(names.values())
                print("(server processes: %s)" % ", ".join(seen))
            print("%s, volume %d %%" % (name, volume))
            for row, wakeups, cpu, server_cpu in rows:
                own = ("%12s%12s" % ("-", "-") if wakeups is None else
                       "%12.1f%12.2f" % (wakeups, cpu))
                print("  %-38s%s%12.2f%12.2f" % (row, own, server_cpu, (cpu or 0) + server_cpu),
                      flush=True)
