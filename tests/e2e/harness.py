"""Shared pieces of the end-to-end tests: a private sound server, the tool as a process, sounds
played into the server and what the recorded file holds."""

import array
import ctypes
import fcntl
import json
import math
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest
import wave

BUILD_DIR = os.environ.get("TARN_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
TOOL = os.path.abspath(os.path.join(BUILD_DIR, "tarn-audio-tap"))

F_SETPIPE_SZ = 1031

# Generous: the suite must hold on a loaded two-core machine, and a wait ends as soon as its
# condition holds.
DEADLINE = 60.0


def wait_for(condition, what, deadline=DEADLINE):
    end = time.monotonic() + deadline
    while not condition():
        if time.monotonic() > end:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.02)


class PulseServer:
    """A PulseAudio server of the test's own, in a process group of its own: private socket in a
    temporary folder, null outputs."""

    kind, SOCKET = "pulseaudio", "native"

    def __init__(self, sinks=("out",)):
        self.folder = tempfile.mkdtemp(prefix="tarn-%s-" % self.kind)
        os.chmod(self.folder, 0o755)
        self.socket = os.path.join(self.folder, self.SOCKET)
        self.env = dict(os.environ, HOME=self.folder, XDG_RUNTIME_DIR=self.folder,
                        XDG_CONFIG_HOME=os.path.join(self.folder, "config"),
                        PULSE_SERVER="unix:" + self.socket)
        for name in ("PULSE_COOKIE", "DBUS_SESSION_BUS_ADDRESS"):
            self.env.pop(name, None)
        self.log = open(os.path.join(self.folder, "server.log"), "w")
        self.started = time.monotonic()
        self.process = subprocess.Popen(self.command(sinks), env=self.env, stdout=self.log,
                                        stderr=self.log, start_new_session=True)
        wait_for(lambda: self.process.poll() is not None or self.pactl_ok("info"), "the server")
        if self.process.poll() is not None:
            raise RuntimeError(self.kind + " did not start: " + open(self.log.name).read())

    def command(self, sinks):
        command = ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                   "--realtime=no", "--high-priority=no", "--log-target=stderr", "--log-level=error",
                   "-L", "module-native-protocol-unix auth-anonymous=1 socket=" + self.socket]
        for sink in sinks:
            command += ["-L", "module-null-sink sink_name=%s rate=48000 channels=2" % sink]
        return command

    def pactl_ok(self, *args):
        return subprocess.run(["pactl"] + list(args), env=self.env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode == 0

    def pactl(self, *args):
        return subprocess.run(["pactl"] + list(args), env=self.env, check=True,
                              capture_output=True, text=True).stdout

    def module_of(self, sink):
        """The index of the module that made an output device."""
        return next(line.split()[0] for line in self.pactl("list", "short", "modules").splitlines()
                    if "sink_name=%s " % sink in line + " ")

    def configured_latency(self, sink):
        """The latency, in seconds, that an output's clients let it render ahead."""
        blocks = self.pactl("list", "sinks").split("\n\n")
        block = next(b for b in blocks if "\tName: %s\n" % sink in b)
        return int(block.split("configured ", 1)[1].split()[0]) / 1e6

    def captures(self, pid):
        """What the server lists of the record streams of a process of that id."""
        return [block for block in self.pactl("list", "source-outputs").split("\n\n")
                if ('application.process.id = "%d"' % pid) in block]

    def recorded_source(self, pid):
        """The name of the source a process of that id records, or None."""
        names = dict(line.split()[:2] for line in self.pactl("list", "short", "sources").splitlines())
        for block in self.captures(pid):
            return names.get(block.split("Source: ", 1)[1].split()[0])

    def player(self, sink="out", stdin=subprocess.PIPE, latency_msec=20):
        """A player of float stereo fed through its stdin, with a desktop application's short buffer
        unless asked for another. Its pipe holds a few seconds of sound: a test process short of time
        on a busy machine would otherwise leave it dry, and the hole it then plays is no fault of the
        recording. (The server holds only the buffer: a 20 ms player stopped for 80 ms played a hole
        into its own sound, and everything after it that much later, which the file has as played.)"""
        player = subprocess.Popen(["pacat", "--playback", "--raw", "--format=float32le",
                                   "--rate=48000", "--channels=2", "--device=" + sink,
                                   "--latency-msec=%d" % latency_msec], stdin=stdin, env=self.env)
        if stdin == subprocess.PIPE:
            fcntl.fcntl(player.stdin, F_SETPIPE_SZ, 1 << 20)
        return player

    def play(self, samples, sink="out"):
        """Plays mono float samples on both channels of an output and waits until they are played;
        from a file, which a test process short of time on a busy machine cannot leave dry."""
        with tempfile.TemporaryFile() as sound:
            sound.write(stereo(samples))
            sound.seek(0)
            self.player(sink, stdin=sound).wait()

    def kill(self):
        """Ends the server abruptly, as a crash would."""
        os.killpg(self.process.pid, signal.SIGKILL)
        self.process.wait()

    def freeze(self, frozen=True):
        """Holds the server still, as a debugger or a swap storm does, or lets it go on."""
        os.killpg(self.process.pid, signal.SIGSTOP if frozen else signal.SIGCONT)

    def stop(self):
        if self.process.poll() is None:
            self.kill()
        self.log.close()
        shutil.rmtree(self.folder, ignore_errors=True)


class PipeWireServer(PulseServer):
    """PipeWire, its session manager and its PulseAudio server, on a D-Bus session bus of its own
    (the session manager does not start without one); null outputs loaded through the latter."""

    kind, SOCKET = "pipewire", os.path.join("pulse", "native")

    def __init__(self, sinks=("out",)):
        super().__init__(sinks)
        for sink in sinks:
            self.pactl("load-module", "module-null-sink", "sink_name=%s rate=48000 channels=2" % sink)
        # A loaded output shows up a moment after the module, more so on a busy machine.
        wait_for(lambda: set(sinks) <= set(self.pactl("list", "short", "sinks").split()) and
                 (not sinks or self.pactl_ok("set-default-sink", sinks[0]) and
                  "Default Sink: %s\n" % sinks[0] in self.pactl("info")), "the outputs")

    def command(self, sinks):
        return ["dbus-run-session", "--", "sh", "-c",
                "pipewire & sleep 0.3; wireplumber & exec pipewire-pulse"]


libpulse = ctypes.CDLL("libpulse.so.0")
for name in ("pa_threaded_mainloop_new", "pa_threaded_mainloop_get_api", "pa_context_new",
             "pa_stream_new", "pa_stream_cork"):
    getattr(libpulse, name).restype = ctypes.c_void_p


def node_latency(server, application):
    """The latency, in seconds, that the stream node of `application` asks of PipeWire's graph."""
    dump = subprocess.run(["pw-dump"], env=server.env, capture_output=True, text=True).stdout
    for node in json.loads(dump or "[]"):
        props = (node.get("info") or {}).get("props") or {}
        if props.get("application.name") == application and "node.latency" in props:
            frames, rate = map(int, props["node.latency"].split("/"))
            return frames / rate
    return 0


class PausablePlayer:
    """A player that pauses as media players do, its stream corked (pacat cannot): mono float
    samples on both channels, played at once, after whatever it still has."""

    def __init__(self, server, sink="out"):
        pa, pointer = libpulse, ctypes.c_void_p
        self.loop = pointer(pa.pa_threaded_mainloop_new())
        self.context = pointer(pa.pa_context_new(pointer(pa.pa_threaded_mainloop_get_api(self.loop)),
                                                 b"pausable"))
        pa.pa_context_connect(self.context, server.env["PULSE_SERVER"].encode(), 0, None)
        pa.pa_threaded_mainloop_start(self.loop)
        wait_for(lambda: self.locked(pa.pa_context_get_state, self.context) == 4, "a connection")
        sample_format = (ctypes.c_uint32 * 3)(5, 48000, 2)  # float32le, rate, channels (padded)
        # A 20 ms target, the latency adjusted to it, as pacat's above.
        attr = (ctypes.c_uint32 * 5)(0xFFFFFFFF, 48 * 8 * 20, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF)
        adjust_latency = 0x2000
        self.stream = pointer(self.locked(pa.pa_stream_new, self.context, b"pausable",
                                          sample_format, None))
        self.locked(pa.pa_stream_connect_playback, self.stream, sink.encode(), attr,
                    adjust_latency, None, None)
        wait_for(lambda: self.locked(pa.pa_stream_get_state, self.stream) == 2, "a stream")

    def locked(self, function, *args):
        libpulse.pa_threaded_mainloop_lock(self.loop)
        try:
            return function(*args)
        finally:
            libpulse.pa_threaded_mainloop_unlock(self.loop)

    def play(self, samples):
        data = stereo(samples)
        self.locked(libpulse.pa_stream_write, self.stream, data, len(data), None, ctypes.c_int64(0), 0)

    def pause(self, paused=True):
        operation = ctypes.c_void_p(self.locked(libpulse.pa_stream_cork, self.stream, int(paused),
                                                None, None))
        self.locked(libpulse.pa_operation_unref, operation)

    def close(self):
        libpulse.pa_threaded_mainloop_stop(self.loop)
        libpulse.pa_context_disconnect(self.context)
        libpulse.pa_threaded_mainloop_free(self.loop)


def sound_server(sinks):
    """The server the suite runs against: TARN_TEST_SERVER=pipewire, or PulseAudio."""
    pipewire = os.environ.get("TARN_TEST_SERVER") == "pipewire"
    return (PipeWireServer if pipewire else PulseServer)(sinks)


def stereo(samples):
    return array.array("f", [value for value in samples for _ in (0, 1)]).tobytes()


def feed(player, data):
    """Writes the data to a player's stdin and closes it; a player ended first is no error."""
    try:
        player.stdin.write(data)
    except (BrokenPipeError, ValueError):
        pass
    try:
        player.stdin.close()
    except BrokenPipeError:
        pass


def tone(seconds, hertz, amplitude=0.5, rate=48000):
    return [amplitude * math.sin(2 * math.pi * hertz * i / rate) for i in range(int(seconds * rate))]


def silence(seconds, rate=48000):
    return [0.0] * int(seconds * rate)


class Tool:
    """The tool as a separate process (as another user, with no groups, if given one)."""

    def __init__(self, args, env, binary=TOOL, cwd=None, user=None):
        command = [binary] + list(args)
        if user:
            command = ["setpriv", "--reuid=%d" % user.pw_uid, "--regid=%d" % user.pw_gid,
                       "--clear-groups"] + command
        self.process = subprocess.Popen(command, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def signal(self, number):
        self.process.send_signal(number)

    def finish(self, timeout=DEADLINE):
        out, err = self.process.communicate(timeout=timeout)
        return self.process.returncode, out.decode(), err.decode()

    def stop(self):
        self.signal(signal.SIGTERM)
        return self.finish()

    def alive(self):
        return self.process.poll() is None


def run(args, env, **options):
    return Tool(args, env, **options).finish()


def read_wav(path):
    with wave.open(path, "rb") as file:
        params = (file.getnchannels(), file.getsampwidth(), file.getframerate())
        samples = array.array("h", file.readframes(file.getnframes()))
    return params, [s / 32768.0 for s in samples]


def tone_level(samples, hertz, rate=16000):
    """The amplitude of the samples' component at the frequency (Goertzel)."""
    coefficient = 2 * math.cos(2 * math.pi * hertz / rate)
    previous = before = 0.0
    for value in samples:
        previous, before = value + coefficient * previous - before, previous
    power = previous * previous + before * before - coefficient * previous * before
    return 2 * math.sqrt(max(power, 0.0)) / len(samples)


def segments_with_tone(samples, hertz, window=0.02, rate=16000, threshold=0.1, bridged=0):
    """The [start, end) times, in seconds, of the stretches in which the tone sounds; those apart
    by `bridged` windows at most taken as one."""
    size, found = int(window * rate), []
    for start in range(0, len(samples) - size + 1, size):
        if tone_level(samples[start:start + size], hertz, rate) > threshold:
            if found and found[-1][1] >= start - bridged * size:
                found[-1][1] = start + size
            else:
                found.append([start, start + size])
    return [[start / rate, end / rate] for start, end in found]


def recorded_samples(path):
    """What the file holds now by its header, as any reader sees it."""
    try:
        return read_wav(path)[1]
    except Exception:  # not there, or not readable yet
        return []


def recorded_seconds(path, hertz=None):
    """How much the file holds now by its header (or of it the tone)."""
    samples = recorded_samples(path)
    return sum(e - s for s, e in segments_with_tone(samples, hertz)) if hertz else len(samples) / 16000


class ServerTestCase(unittest.TestCase):
    """Each test gets a fresh sound server and a scratch folder."""

    sinks = ("out",)

    def setUp(self):
        self.server = sound_server(sinks=self.sinks)
        self.addCleanup(self.server.stop)
        self.folder = tempfile.mkdtemp(prefix="tarn-e2e-")
        self.addCleanup(shutil.rmtree, self.folder, True)

    def path(self, name):
        return os.path.join(self.folder, name)

    def start_recording(self, output, **options):
        tool = Tool(["--output", output], self.server.env, **options)
        self.addCleanup(lambda: tool.alive() and (tool.process.kill(), tool.finish()))
        wait_for(lambda: self.server.recorded_source(tool.process.pid) or not tool.alive(),
                 "the capture to start")
        return tool

    def recorded(self, path):
        """The samples of a complete 16-bit mono 16 kHz file, its 80-byte header declaring them all."""
        params, samples = read_wav(path)
        self.assertEqual((params, os.path.getsize(path) - 2 * len(samples)), ((1, 2, 16000), 80))
        return samples

    def record(self, output, samples=tone(0.3, 440), **options):
        tool = self.start_recording(output, **options)
        self.server.play(samples)
        return tool.stop()

    def keep_output_running(self, latency_msec=20):
        """A player of digital silence: a running output starts a new player's sound at once. A new
        null output sleeps through its first two seconds whatever plays."""
        self.play_in_background(silence(60), latency_msec=latency_msec)
        time.sleep(max(0.0, self.server.started + 2.5 - time.monotonic()))

    def play_in_background(self, samples, sink="out", latency_msec=20):
        player = self.server.player(sink, latency_msec=latency_msec)
        feeder = threading.Thread(target=feed, args=(player, stereo(samples)))
        feeder.start()
        self.addCleanup(feeder.join)
        self.addCleanup(player.wait)
        self.addCleanup(player.kill)
