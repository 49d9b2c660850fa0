"""A capture that the sound server ends: one line, status 2, and the recording complete on disk."""

import os
import threading
import time
import unittest

from harness import (ServerTestCase, feed, read_wav, segments_with_tone, silence, stereo, tone,
                     wait_for)


class StreamFailure(ServerTestCase):
    def record_tone_then(self, end_capture, line):
        output = self.path("failed.wav")
        tool = self.start_recording(["--output", output])
        self.server.play(tone(0.5, 440))
        # The whole tone has reached the file (PipeWire delivers a little later than PulseAudio).
        wait_for(lambda: os.path.exists(output) and
                 sum(e - s for s, e in segments_with_tone(read_wav(output)[1], 440)) >= 0.48,
                 "the tone in the file")
        end_capture()
        self.assertEqual(tool.finish(), (2, "", line))
        params, samples = read_wav(output)
        self.assertEqual(params, (1, 2, 16000))
        segments = segments_with_tone(samples, 440)
        self.assertEqual(len(segments), 1)
        self.assertAlmostEqual(segments[0][1] - segments[0][0], 0.5, delta=0.05)

    def test_the_server_going_away(self):
        self.record_tone_then(self.server.kill, "stream stopped with error: Connection terminated\n")

    def test_the_last_output_device_going_away(self):
        if self.server.kind == "pipewire":
            self.skipTest("PipeWire stands a dummy output in for the last device: the capture "
                          "follows it (see FollowingTheDefaultOutput)")
        self.record_tone_then(lambda: self.server.pactl("unload-module", "module-null-sink"),
                              "stream stopped with error: Entity killed\n")


class MovedCapture(ServerTestCase):
    sinks = ("out", "other")

    def test_a_capture_moved_to_another_source_is_a_failure(self):
        tool = self.start_recording(["--output", self.path("moved.wav")])
        stream = self.server.record_streams()[0].split()[0]
        moved = self.server.pactl_ok("move-source-output", stream, "other.monitor")
        if moved:
            self.assertEqual(tool.finish(), (2, "", "stream stopped with error: the sound server "
                                                    "moved the capture to another source\n"))
        else:
            # The server refused to move it: the capture goes on untouched.
            self.assertTrue(tool.alive())
            self.assertEqual(tool.stop(), (0, "", ""))


class FollowingTheDefaultOutput(ServerTestCase):
    sinks = ("speakers", "headphones")

    def test_the_capture_moves_with_the_default_output_and_keeps_the_timeline(self):
        # Both devices are awake, as devices in use are: an idle one would itself play the sound
        # late (a new null output sleeps for two seconds, PipeWire resumes a suspended one).
        for sink in self.sinks:
            keep_awake = self.server.player(sink=sink)
            feeder = threading.Thread(target=feed, args=(keep_awake, stereo(silence(10))))
            feeder.start()
            self.addCleanup(feeder.join)
            self.addCleanup(keep_awake.wait)
            self.addCleanup(keep_awake.kill)
        time.sleep(2.5)
        output = self.path("moved.wav")
        tool = self.start_recording(["--output", output])
        first_started = time.monotonic()
        self.server.play(tone(0.4, 440), sink="speakers")
        self.server.pactl("set-default-sink", "headphones")  # headphones plugged in
        # On a loaded machine the move can take longer than the silence before the second tone.
        wait_for(lambda: self.server.recorded_source(tool.process.pid) == "headphones.monitor",
                 "the capture to move")
        second = self.server.player(sink="headphones")
        second_started = time.monotonic()
        second.communicate(stereo(silence(0.5) + tone(0.4, 660)))
        between = second_started - first_started + 0.5
        self.assertEqual(tool.stop(), (0, "", ""))
        _, samples = read_wav(output)
        before, after = segments_with_tone(samples, 440), segments_with_tone(samples, 660)
        self.assertEqual((len(before), len(after)), (1, 1), (before, after))
        # The second tone lands as long after the first as it sounded: the switch in between is
        # kept as silence, not dropped. Within one fragment (0.1 s): what the old output had not
        # yet sent when the switch came is not waited for.
        self.assertAlmostEqual(after[0][0] - before[0][0], between, delta=0.12)
        self.assertAlmostEqual(after[0][1] - after[0][0], 0.4, delta=0.05)

    def test_losing_the_recorded_output_moves_to_the_one_left(self):
        output = self.path("lost.wav")
        tool = self.start_recording(["--output", output])
        self.server.pactl("unload-module", self.server.module_of("speakers"))
        # The server kills the capture of the device it removed; the tool starts another on the
        # output left.
        wait_for(lambda: self.server.recorded_source(tool.process.pid) == "headphones.monitor" or
                 not tool.alive(), "a capture of the output left")
        if not tool.alive():
            self.fail(tool.finish())
        self.server.play(tone(0.4, 660), sink="headphones")
        self.assertEqual(tool.stop(), (0, "", ""))
        # All of it, give or take what a player starved of time on a busy machine fails to play.
        found = segments_with_tone(read_wav(output)[1], 660)
        self.assertGreaterEqual(sum(end - start for start, end in found), 0.3, found)


if __name__ == "__main__":
    unittest.main()
