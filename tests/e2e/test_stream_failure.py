"""A capture that the sound server ends: one line, status 2, and the recording complete on disk."""

import os
import unittest

from harness import ServerTestCase, read_wav, segments_with_tone, tone, wait_for


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

    def test_the_output_device_going_away(self):
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


if __name__ == "__main__":
    unittest.main()
