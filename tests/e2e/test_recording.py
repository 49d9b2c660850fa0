"""What lands in the file: the sound played into the server, and a file that survives a kill."""

import math
import threading
import time
import unittest

from harness import (ServerTestCase, feed, read_wav, segments_with_tone, silence, stereo, tone,
                     tone_level, wait_for)


def recorded_seconds(path):
    """How much the file holds now, by its header, as any reader would see it."""
    try:
        return len(read_wav(path)[1]) / 16000
    except Exception:  # not created yet, or not readable yet
        return 0.0


def tone_seconds(path, hertz=440):
    try:
        return sum(end - start for start, end in segments_with_tone(read_wav(path)[1], hertz))
    except Exception:  # not created yet, or not readable yet
        return 0.0


class Recording(ServerTestCase):
    def test_tones_are_recorded_at_their_pitch_and_level_as_16_bit_mono_at_16_khz(self):
        output = self.path("tones.wav")
        tool = self.start_recording(["--output", output])
        self.server.play(tone(0.5, 440) + silence(0.3) + tone(0.5, 880, amplitude=0.25))
        self.assertEqual(tool.stop(), (0, "", ""))

        params, samples = read_wav(output)
        self.assertEqual(params, (1, 2, 16000))
        low, high = segments_with_tone(samples, 440), segments_with_tone(samples, 880, threshold=0.05)
        self.assertEqual(len(low), 1, low)
        self.assertEqual(len(high), 1, high)
        self.assertAlmostEqual(low[0][1] - low[0][0], 0.5, delta=0.05)
        self.assertAlmostEqual(high[0][0] - low[0][1], 0.3, delta=0.05)
        middle = lambda segment: samples[int(segment[0] * 16000) + 800:int(segment[1] * 16000) - 800]
        # Both channels carried the tone. PulseAudio's downmix averages them, keeping the level;
        # PipeWire's adds them at -3 dB each, keeping the power: the same tone is 3 dB louder.
        gain = math.sqrt(2) if self.server.kind == "pipewire" else 1.0
        self.assertAlmostEqual(tone_level(middle(low[0]), 440), 0.5 * gain, delta=0.03)
        self.assertAlmostEqual(tone_level(middle(high[0]), 880), 0.25 * gain, delta=0.02)
        self.assertLess(tone_level(middle(low[0]), 880), 0.01)

    def test_a_killed_recording_leaves_a_valid_file_with_everything_up_to_the_kill(self):
        output = self.path("killed.wav")
        tool = self.start_recording(["--output", output])
        player = self.server.player()
        self.addCleanup(_end, player)
        feeder = threading.Thread(target=feed, args=(player, stereo(tone(4, 440))))
        feeder.start()
        self.addCleanup(feeder.join)
        wait_for(lambda: tone_seconds(output) > 0.5, "half a second of the tone in the file")
        tool.process.kill()
        tool.finish()
        before_kill = recorded_seconds(output)
        params, samples = read_wav(output)
        self.assertEqual(params, (1, 2, 16000))
        self.assertEqual(before_kill, len(samples) / 16000)
        segments = segments_with_tone(samples, 440)
        self.assertEqual(len(segments), 1)
        self.assertAlmostEqual(segments[0][1], len(samples) / 16000, delta=0.03)


def _end(process):
    process.kill()
    process.wait()


class OnTheClock(ServerTestCase):
    """A sound lands in the file when it played, counted from the capture's start, and the file
    ends at the stop with what sounded until then. The output has never played when the recording
    starts, so the server delivers nothing at first: the file must not start where the server's
    audio does. The capture starts between the launch and the moment the server lists it; bounds
    are one-sided where a busy machine can only make a player late, never early."""

    def test_an_idle_output_is_recorded_on_the_clock_up_to_the_stop(self):
        # A new null output sleeps through its first two seconds, playing nothing at all: let that
        # pass, so that this is an output of a server that has been up for a while.
        time.sleep(3)
        output = self.path("clock.wav")
        launched = time.monotonic()
        tool = self.start_recording(["--output", output])
        listed = time.monotonic() - launched
        time.sleep(max(0.0, launched + 1.0 - time.monotonic()))
        first = self.server.player()
        first_played = time.monotonic() - launched
        first.communicate(stereo(tone(0.3, 440)))
        last = self.server.player()
        self.addCleanup(last.wait)
        self.addCleanup(last.kill)
        feeder = threading.Thread(target=feed, args=(last, stereo(tone(5, 660))))
        feeder.start()
        self.addCleanup(feeder.join)
        # The stop comes while the last tone sounds.
        wait_for(lambda: tone_seconds(output, 660) >= 0.5, "the last tone in the file")
        stopped = time.monotonic() - launched
        self.assertEqual(tool.stop(), (0, "", ""))
        ended = time.monotonic() - launched

        _, samples = read_wav(output)
        length = len(samples) / 16000
        # From the capture's start to the stop, taken when the tool handles it: at once, unless the
        # machine is very busy (or the tool built with a sanitizer that slows it down).
        self.assertLessEqual(length, ended + 0.02)
        self.assertGreaterEqual(length, stopped - listed - 0.02)
        first_tone = segments_with_tone(samples, 440)
        self.assertEqual(len(first_tone), 1, first_tone)
        # Found to the 20 ms window: a window the tone fills only in part already counts.
        window = 0.02
        self.assertGreaterEqual(first_tone[0][0], first_played - listed - 0.02 - window)
        self.assertLessEqual(first_tone[0][0], first_played + 0.3)
        # What sounded until the stop is in the file, but for the last few milliseconds.
        self.assertGreaterEqual(segments_with_tone(samples, 660)[-1][1], length - 0.06)

    def test_while_the_output_sleeps_the_file_keeps_up_with_the_clock_even_if_killed(self):
        # Nothing plays: the server sends nothing at all, yet the file grows as time passes.
        output = self.path("quiet.wav")
        launched = time.monotonic()
        tool = self.start_recording(["--output", output])
        wait_for(lambda: recorded_seconds(output) >= 2.0, "two seconds of silence in the file")
        killed = time.monotonic() - launched
        tool.process.kill()
        tool.finish()

        _, samples = read_wav(output)
        length = len(samples) / 16000
        self.assertLessEqual(length, killed + 0.02)
        self.assertGreaterEqual(length, killed - 1.5)
        self.assertEqual(max(abs(sample) for sample in samples), 0.0)


if __name__ == "__main__":
    unittest.main()
