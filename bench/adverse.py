#!/usr/bin/env python3
"""tarn-audio-tap under adverse conditions, each measured over several runs on a private
PulseAudio server with a player of silence keeping the output running:

- mute at the signal: of a tone that ended just before SIGUSR1, how much is missing from the file;
  of a tone played entirely between SIGUSR1 and SIGUSR2, how much is in it;
- a server frozen for three seconds (SIGSTOP, SIGCONT): the file's length against the run's, and
  where a tone played once the server has caught up lands against one played before the freeze;
- readers that stop reading: how long SIGTERM takes to end the tool when nobody reads its standard
  error (a one-page pipe) and its output is a FIFO whose reader stopped, and how long a stream
  failure takes to end it with status 2 when nobody reads standard error.

    python3 bench/adverse.py [--build build] [--runs 4]
"""

import argparse
import fcntl
import os
import signal
import statistics
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "e2e"))
from harness import (PulseServer, feed, read_wav, segments_with_tone, silence,  # noqa: E402
                     stereo, tone, wait_for)

F_SETPIPE_SZ = 1031


class Scene:
    """A fresh server with its output kept running, and the tool recording it."""

    def __init__(self, tool, output, stderr=subprocess.DEVNULL):
        self.server = PulseServer()
        self.keeper = self.server.player()
        threading.Thread(target=feed, args=(self.keeper, stereo(silence(60))), daemon=True).start()
        time.sleep(2.5)  # past a new null output's first two seconds
        self.output = os.path.join(self.server.folder, output)
        self.launched = time.monotonic()
        self.tool = subprocess.Popen([tool, "--output", self.output], env=self.server.env,
                                     stdout=subprocess.DEVNULL, stderr=stderr)
        wait_for(lambda: self.server.recorded_source(self.tool.pid), "the capture")
        self.listed = time.monotonic() - self.launched

    def stop(self):
        self.tool.send_signal(signal.SIGTERM)
        self.tool.wait(30)

    def close(self):
        if self.tool.poll() is None:
            self.tool.kill()
        self.keeper.kill()
        self.keeper.wait()
        self.server.stop()


def sounded(samples, hertz):
    return sum(end - start for start, end in segments_with_tone(samples, hertz))


def mute(tool):
    scene = Scene(tool, "mute.wav")
    try:
        scene.server.play(tone(0.5, 440))
        scene.tool.send_signal(signal.SIGUSR1)
        scene.server.play(tone(0.5, 660))
        scene.tool.send_signal(signal.SIGUSR2)
        scene.stop()
        samples = read_wav(scene.output)[1]
        return 1000 * (0.5 - sounded(samples, 440)), 1000 * sounded(samples, 660)
    finally:
        scene.close()


def freeze(tool):
    scene = Scene(tool, "frozen.wav")
    try:
        first = time.monotonic()
        scene.server.play(tone(0.3, 440))
        scene.server.process.send_signal(signal.SIGSTOP)
        time.sleep(3)
        scene.server.process.send_signal(signal.SIGCONT)
        time.sleep(4)  # the null output renders what it missed at about twice real time
        second = time.monotonic()
        scene.server.play(tone(0.3, 660))
        stopped = time.monotonic() - scene.launched
        scene.stop()
        samples = read_wav(scene.output)[1]
        spacing = segments_with_tone(samples, 660)[0][0] - segments_with_tone(samples, 440)[0][0]
        return 1000 * (len(samples) / 16000 - stopped), 1000 * (spacing - (second - first))
    finally:
        scene.close()


def unread(tool, failure):
    reader, writer = os.pipe()
    fcntl.fcntl(writer, F_SETPIPE_SZ, 4096)
    fifo = None
    if not failure:
        fifo = "/tmp/tarn-adverse-%d.wav" % os.getpid()
        os.mkfifo(fifo)
        fifo_reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    scene = Scene(tool, fifo or "missing/out.wav", stderr=writer)
    os.close(writer)
    try:
        scene.server.play(tone(3, 440))  # the FIFO (64 KiB, two seconds) and the pipe fill
        ended = time.monotonic()
        if failure:
            scene.server.kill()
        else:
            scene.tool.send_signal(signal.SIGTERM)
        status = scene.tool.wait(30)
        return 1000 * (time.monotonic() - ended), status
    finally:
        scene.close()
        os.close(reader)
        if fifo:
            os.close(fifo_reader)
            os.remove(fifo)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "build"))
    parser.add_argument("--runs", type=int, default=4)
    args = parser.parse_args()
    tool = os.path.abspath(os.path.join(args.build, "tarn-audio-tap"))
    for name, measure, labels in [
            ("mute at the signal", mute, ("ms lost before SIGUSR1", "ms kept while muted")),
            ("a server frozen for 3 s", freeze, ("file minus run, ms", "spacing error, ms")),
            ("SIGTERM, stderr and FIFO unread", lambda t: unread(t, False), ("ms to exit", "status")),
            ("server killed, stderr unread", lambda t: unread(t, True), ("ms to exit", "status"))]:
        results = [measure(tool) for _ in range(args.runs)]
        print("%s:" % name)
        for index, label in enumerate(labels):
            values = [result[index] for result in results]
            print("  %-24s %s (median %.0f)" % (label, " ".join("%.0f" % v for v in values),
                                                statistics.median(values)))


if __name__ == "__main__":
    main()
