"""Adverse conditions: mute at the signal, a frozen server, readers that stop reading."""

import fcntl
import os
import signal
import subprocess
import threading
import time
import unittest

from harness import (ServerTestCase, Tool, feed, read_wav, segments_with_tone, silence, stereo,
                     tone, wait_for)

F_SETPIPE_SZ = 1031
# However slow the machine, the tool gives up on a reader within a second: a stop that takes this
# long is waiting on one.
HANG = 5


def tone_seconds(samples, hertz):
    return sum(end - start for start, end in segments_with_tone(samples, hertz))


class Adverse(ServerTestCase):
    def keep_output_running(self):
        """A player of digital silence: a running output starts a new player's sound at once."""
        keeper = self.server.player()
        feeder = threading.Thread(target=feed, args=(keeper, stereo(silence(60))))
        feeder.start()
        self.addCleanup(feeder.join)
        self.addCleanup(keeper.wait)
        self.addCleanup(keeper.kill)
        # A new null output sleeps through its first two seconds whatever plays.
        time.sleep(max(0.0, self.server.started + 2.5 - time.monotonic()))

    def test_mute_applies_to_what_sounds_after_the_signal(self):
        self.keep_output_running()
        output = self.path("muted.wav")
        tool = self.start_recording(["--output", output])
        self.server.play(tone(0.5, 440))  # ends just before the mute
        tool.signal(signal.SIGUSR1)
        self.server.play(tone(0.5, 660))  # entirely while muted
        tool.signal(signal.SIGUSR2)
        self.server.play(tone(0.3, 880))
        self.assertEqual(tool.stop(), (0, "", ""))
        _, samples = read_wav(output)
        # A window the tone fills in part counts whole: 20 ms either way beside the 30 allowed.
        self.assertGreaterEqual(tone_seconds(samples, 440), 0.5 - 0.03 - 0.02)
        self.assertLessEqual(tone_seconds(samples, 660), 0.03 + 0.02)
        self.assertGreaterEqual(tone_seconds(samples, 880), 0.25)

    def test_a_frozen_server_neither_stretches_the_file_nor_shifts_what_follows(self):
        if self.server.kind == "pipewire":
            self.skipTest("PipeWire's graph, frozen as a whole, renders off the clock for seconds "
                          "after it thaws: parecord's file is as far off")
        self.keep_output_running()
        output = self.path("frozen.wav")
        launched = time.monotonic()
        tool = self.start_recording(["--output", output])
        listed = time.monotonic() - launched
        first = self.server.player()
        first_played = time.monotonic()
        first.communicate(stereo(tone(0.3, 440)))
        self.server.freeze()
        time.sleep(3)  # the stall itself
        self.server.freeze(False)
        # PulseAudio's null output renders the stretch it missed at about twice real time, and
        # mixes what plays meanwhile into that stretch: the next sound waits until it has caught up.
        time.sleep(4)
        second = self.server.player()
        second_played = time.monotonic()
        second.communicate(stereo(tone(0.3, 660)))
        stopped = time.monotonic() - launched
        self.assertEqual(tool.stop(), (0, "", ""))
        ended = time.monotonic() - launched
        _, samples = read_wav(output)
        length = len(samples) / 16000
        self.assertLessEqual(length, ended + 0.08)
        self.assertGreaterEqual(length, stopped - listed - 0.08)
        before, after = segments_with_tone(samples, 440), segments_with_tone(samples, 660)
        self.assertEqual((len(before), len(after)), (1, 1), (before, after))
        self.assertAlmostEqual(after[0][0] - before[0][0], second_played - first_played, delta=0.1)

    def test_a_standard_error_nobody_reads_holds_neither_a_stop_nor_a_failure(self):
        # A write error for every buffer, into a one-page pipe that nobody reads until the end.
        output = self.path("missing/out.wav")
        for end, status in (("SIGTERM", 0), ("server gone", 2)):
            with self.subTest(end):
                reader, writer = os.pipe()
                fcntl.fcntl(writer, F_SETPIPE_SZ, 4096)
                process = subprocess.Popen([Tool.binary_path(), "--output", output],
                                           env=self.server.env, stdin=subprocess.DEVNULL,
                                           stdout=subprocess.PIPE, stderr=writer)
                os.close(writer)
                self.addCleanup(lambda: process.poll() is None and process.kill())
                self.server.play(tone(1.5, 440))
                if status == 0:
                    process.send_signal(signal.SIGTERM)
                else:
                    self.server.kill()
                self.assertEqual(process.wait(HANG), status)
                self.assertEqual(process.communicate(), (b"", None))
                with os.fdopen(reader) as lines:
                    lines = lines.read().splitlines()
                last = "stream stopped with error: Connection terminated"
                self.assertTrue(lines and set(lines) - {last} == {
                    'write error: cannot create "%s": No such file or directory' % output}, lines)

    def test_a_fifo_whose_reader_stops_reading_fails_buffers_and_never_holds_the_stop(self):
        fifo = self.path("live.wav")
        os.mkfifo(fifo)
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        self.addCleanup(os.close, reader)
        errors = open(self.path("stderr"), "w+")
        self.addCleanup(errors.close)
        self.keep_output_running()
        process = subprocess.Popen([Tool.binary_path(), "--output", fifo], env=self.server.env,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=errors)
        self.addCleanup(lambda: process.poll() is None and process.kill())
        # A live reader gets the stream: a WAV header, then the audio.
        wait_for(lambda: os.read(reader, 1 << 20).startswith(b"RIFF"), "the header", interval=0.2)
        # The reader stops: the FIFO fills (64 KiB, two seconds of audio) and buffers fail.
        line = 'write error: cannot write to "%s": its reader is not reading\n' % fifo
        wait_for(lambda: errors.seek(0) == 0 and line in errors.read(), "a buffer to fail")
        process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(HANG), 0)
        self.assertEqual(process.communicate()[0], b"")
        errors.seek(0)
        self.assertEqual(set(errors.read().splitlines(True)), {line})


if __name__ == "__main__":
    unittest.main()
