"""Shared pieces of the end-to-end tests: a private PulseAudio server, the tool run as a process,
sounds played into the server, and what the recorded file holds."""

import array
import math
import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest
import wave

BUILD_DIR = os.environ.get("TARN_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
TOOL = os.path.abspath(os.path.join(BUILD_DIR, "tarn-audio-tap"))
SCRIPTED_TOOL = os.path.abspath(os.path.join(BUILD_DIR, "tests", "tarn-audio-tap-scripted"))

# Generous: the suite must hold on a loaded two-core machine, and a wait ends as soon as its
# condition holds.
DEADLINE = 60.0


def wait_for(condition, what, deadline=DEADLINE, interval=0.02):
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(interval)
    raise AssertionError("timed out waiting for " + what)


class PulseServer:
    """A PulseAudio server of the test's own: private socket in a temporary folder, null outputs."""

    kind = "pulseaudio"

    def __init__(self, sinks=("out",), anonymous=True):
        self.folder = tempfile.mkdtemp(prefix="tarn-pulse-")
        os.chmod(self.folder, 0o755)
        self.socket = os.path.join(self.folder, "native")
        self.env = dict(os.environ, HOME=self.folder, XDG_RUNTIME_DIR=self.folder,
                        XDG_CONFIG_HOME=os.path.join(self.folder, "config"),
                        PULSE_SERVER="unix:" + self.socket)
        self.env.pop("PULSE_COOKIE", None)
        auth = "auth-anonymous=1" if anonymous else "auth-anonymous=0 auth-cookie-enabled=1"
        command = ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                   "--realtime=no", "--high-priority=no", "--log-target=stderr", "--log-level=error",
                   "-L", "module-native-protocol-unix socket=%s %s" % (self.socket, auth)]
        for sink in sinks:
            command += ["-L", "module-null-sink sink_name=%s rate=48000 channels=2" % sink]
        self.log = open(os.path.join(self.folder, "server.log"), "w")
        self.started = time.monotonic()
        self.process = subprocess.Popen(command, env=self.env, stdout=self.log, stderr=self.log,
                                        stdin=subprocess.DEVNULL)
        wait_for(lambda: self.process.poll() is not None or self.pactl_ok("info"), "the sound server")
        if self.process.poll() is not None:
            raise RuntimeError("pulseaudio did not start: " + open(self.log.name).read())

    def pactl_ok(self, *args):
        return subprocess.run(["pactl"] + list(args), env=self.env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode == 0

    def pactl(self, *args):
        return subprocess.run(["pactl"] + list(args), env=self.env, check=True,
                              capture_output=True, text=True).stdout

    def module_of(self, sink):
        """The index of the module that made an output device."""
        for line in self.pactl("list", "short", "sinks").splitlines():
            fields = line.split()
            if fields[1] == sink:
                owner = self.pactl("list", "sinks")
                block = owner.split("Name: " + sink, 1)[1]
                return block.split("Owner Module: ", 1)[1].split()[0]
        raise KeyError(sink)

    def record_streams(self):
        return [line for line in self.pactl("list", "short", "source-outputs").splitlines() if line]

    def records_for(self, pid):
        """Whether a process of that id has a record stream on the server."""
        return ('application.process.id = "%d"' % pid) in self.pactl("list", "source-outputs")

    def recorded_source(self, pid):
        """The name of the source a process of that id records, or None."""
        names = dict(line.split()[:2] for line in
                     self.pactl("list", "short", "sources").splitlines() if line)
        for block in self.pactl("list", "source-outputs").split("\n\n"):
            if ('application.process.id = "%d"' % pid) in block:
                return names.get(block.split("Source: ", 1)[1].split()[0])
        return None

    def player(self, sink="out", rate=48000):
        """A player of float stereo on an output, fed through its stdin, with a short buffer as a
        desktop application's would be."""
        return subprocess.Popen(["pacat", "--playback", "--raw", "--format=float32le",
                                 "--rate=%d" % rate, "--channels=2", "--device=" + sink,
                                 "--latency-msec=20"], stdin=subprocess.PIPE, env=self.env)

    def play(self, samples, sink="out", rate=48000):
        """Plays mono float samples on both channels of an output and waits until they are played."""
        player = self.player(sink, rate)
        player.communicate(stereo(samples))
        if player.returncode != 0:
            raise RuntimeError("pacat failed")

    def kill(self):
        """Ends the server abruptly, as a crash would."""
        self.process.send_signal(signal.SIGKILL)
        self.process.wait()

    def freeze(self, frozen=True):
        """Holds the server still, as a debugger or a swap storm does, or lets it go on."""
        self.process.send_signal(signal.SIGSTOP if frozen else signal.SIGCONT)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()
        shutil.rmtree(self.folder, ignore_errors=True)


class PipeWireServer(PulseServer):
    """PipeWire with its session manager and its PulseAudio-compatible server, in a private runtime
    folder on a D-Bus session bus of its own (the session manager does not start without one),
    with null outputs loaded through the PulseAudio-compatible server."""

    kind = "pipewire"
    SCRIPT = ("pipewire & sleep 0.3; wireplumber & exec pipewire-pulse")

    def __init__(self, sinks=("out",), anonymous=True):
        if not anonymous:
            raise unittest.SkipTest("PipeWire's PulseAudio server has no cookie authentication")
        self.folder = tempfile.mkdtemp(prefix="tarn-pipewire-")
        os.chmod(self.folder, 0o755)
        self.socket = os.path.join(self.folder, "pulse", "native")
        self.env = dict(os.environ, HOME=self.folder, XDG_RUNTIME_DIR=self.folder,
                        XDG_CONFIG_HOME=os.path.join(self.folder, "config"),
                        PULSE_SERVER="unix:" + self.socket)
        self.env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        self.log = open(os.path.join(self.folder, "server.log"), "w")
        self.started = time.monotonic()
        self.process = subprocess.Popen(["dbus-run-session", "--", "sh", "-c", self.SCRIPT],
                                        env=self.env, stdout=self.log, stderr=self.log,
                                        stdin=subprocess.DEVNULL, start_new_session=True)
        wait_for(lambda: self.process.poll() is not None or self.pactl_ok("info"), "PipeWire")
        if self.process.poll() is not None:
            raise RuntimeError("PipeWire did not start: " + open(self.log.name).read())
        for sink in sinks:
            self.pactl("load-module", "module-null-sink", "sink_name=" + sink,
                       "rate=48000", "channels=2")
        # A loaded output shows up a moment after the module, more so on a busy machine.
        wait_for(lambda: set(sinks) <= self.sink_names(), "the outputs")
        if sinks:
            wait_for(lambda: self.pactl_ok("set-default-sink", sinks[0]) and
                     ("Default Sink: " + sinks[0]) in self.pactl("info"), "the default")

    def sink_names(self):
        return {line.split()[1] for line in self.pactl("list", "short", "sinks").splitlines()
                if line}

    def kill(self):
        os.killpg(self.process.pid, signal.SIGKILL)
        self.process.wait()

    def freeze(self, frozen=True):
        os.killpg(self.process.pid, signal.SIGSTOP if frozen else signal.SIGCONT)

    def stop(self):
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGTERM)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait()
        self.log.close()
        shutil.rmtree(self.folder, ignore_errors=True)


def sound_server(**options):
    """The server the suite runs against: TARN_TEST_SERVER=pipewire, or PulseAudio."""
    if os.environ.get("TARN_TEST_SERVER") == "pipewire":
        return PipeWireServer(**options)
    return PulseServer(**options)


def stereo(samples):
    data = array.array("f")
    for value in samples:
        data.append(value)
        data.append(value)
    return data.tobytes()


def feed(player, data):
    """Writes the data to a player's stdin and closes it; a player ended first is no error."""
    try:
        player.stdin.write(data)
        player.stdin.close()
    except (BrokenPipeError, ValueError):
        pass


def tone(seconds, hertz, amplitude=0.5, rate=48000):
    return [amplitude * math.sin(2 * math.pi * hertz * i / rate) for i in range(int(seconds * rate))]


def silence(seconds, rate=48000):
    return [0.0] * int(seconds * rate)


class Tool:
    """The tool run as a separate process, its output and status kept."""

    def __init__(self, args, env, binary=TOOL, cwd=None):
        self.process = subprocess.Popen([binary] + list(args), env=env, cwd=cwd,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)

    @staticmethod
    def binary_path():
        return TOOL

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


def run(args, env, binary=TOOL, cwd=None):
    return Tool(args, env, binary, cwd).finish()


def read_wav(path):
    with wave.open(path, "rb") as file:
        params = (file.getnchannels(), file.getsampwidth(), file.getframerate())
        samples = array.array("h", file.readframes(file.getnframes()))
    return params, [s / 32768.0 for s in samples]


def tone_level(samples, hertz, rate=16000):
    """The amplitude of the samples' component at the frequency (Goertzel)."""
    if not samples:
        return 0.0
    coefficient = 2 * math.cos(2 * math.pi * hertz / rate)
    previous = before = 0.0
    for value in samples:
        previous, before = value + coefficient * previous - before, previous
    power = previous * previous + before * before - coefficient * previous * before
    return 2 * math.sqrt(max(power, 0.0)) / len(samples)


def segments_with_tone(samples, hertz, window=0.02, rate=16000, threshold=0.1):
    """The [start, end) times, in seconds, of the stretches in which the tone sounds."""
    size = int(window * rate)
    found = []
    for start in range(0, len(samples) - size + 1, size):
        if tone_level(samples[start:start + size], hertz, rate) > threshold:
            time_ = start / rate
            if found and abs(found[-1][1] - time_) < 1e-9:
                found[-1][1] = time_ + window
            else:
                found.append([time_, time_ + window])
    return found


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

    def start_recording(self, args):
        tool = Tool(args, self.server.env)
        self.addCleanup(lambda: tool.alive() and tool.process.kill())
        wait_for(lambda: self.server.records_for(tool.process.pid) or not tool.alive(),
                 "the capture to start")
        return tool
