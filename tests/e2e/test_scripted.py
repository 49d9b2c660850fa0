"""The tool over the scripted capture service, for the failures a real sound server cannot be made
to produce: its exact lines and statuses."""

import os
import shutil
import signal
import tempfile
import unittest

from harness import SCRIPTED_TOOL, Tool, read_wav, wait_for

STREAM_DOMAIN = "tarn.capture-service.stream"


class ScriptedTestCase(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="tarn-scripted-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.output = os.path.join(self.folder, "out.wav")
        self.ready = os.path.join(self.folder, "ready")
        self.trigger = os.path.join(self.folder, "trigger")

    def tool(self, script, trigger=False):
        env = dict(os.environ, TARN_TEST_SCRIPT=script, TARN_TEST_READY=self.ready)
        if trigger:
            env["TARN_TEST_TRIGGER"] = self.trigger
        tool = Tool(["--output", self.output], env, binary=SCRIPTED_TOOL)
        self.addCleanup(lambda: tool.alive() and tool.process.kill())
        return tool

    def wait_ready(self, tool):
        wait_for(lambda: os.path.exists(self.ready) or not tool.alive(), "the stream to run")

    def pull_trigger(self):
        open(self.trigger, "w").close()


class StartFailures(ScriptedTestCase):
    def test_each_failed_start_gives_its_line_and_status(self):
        cases = [
            ("content_error=some.domain|5|Content unavailable", "Content unavailable", 3),
            ("start_error=%s|-3801|Stream failed to start" % STREAM_DOMAIN,
             "Stream failed to start", 4),
            ("start_error=other|1|The user DECLINED capture", "The user DECLINED capture", 4),
            ("start_error=other|1|Blocked by Tcc", "Blocked by Tcc", 4),
            ("start_error=other|1|Not Authorized here", "Not Authorized here", 4),
            ("start_error=other|1|Something broke", "Something broke", 3),
            ("audio_output_error=other|2|Output refused", "Output refused", 3),
            ("audio_output_error=%s|2|Output refused" % STREAM_DOMAIN, "Output refused", 4),
            ("no_displays", "no display available", 3),
        ]
        for script, description, status in cases:
            with self.subTest(script=script):
                result = self.tool(script).finish()
                self.assertEqual(result, (status, "", "start failed: %s\n" % description))
                self.assertFalse(os.path.exists(self.output))


class Stopping(ScriptedTestCase):
    def test_an_error_for_the_stop_request_is_dropped(self):
        tool = self.tool("stop_error=other|7|stop refused;after_start=tone:3")
        self.wait_ready(tool)
        wait_for(lambda: os.path.exists(self.output), "the file")
        self.assertEqual(tool.stop(), (0, "", ""))
        params, samples = read_wav(self.output)
        self.assertEqual((params, len(samples)), ((1, 2, 16000), 4800))

    def test_a_stop_while_the_start_is_pending_ends_with_zero(self):
        tool = self.tool("hold_start")
        self.wait_ready(tool)  # the start has been requested, and is never answered
        tool.signal(signal.SIGTERM)
        self.assertEqual(tool.finish(), (0, "", ""))


class StopRacingFailure(ScriptedTestCase):
    def test_a_stop_and_a_stream_failure_at_once_end_with_one_of_their_outcomes(self):
        for _ in range(10):
            for name in (self.ready, self.trigger):
                if os.path.exists(name):
                    os.remove(name)
            tool = self.tool("after_start=tone:5,fail:Connection terminated", trigger=True)
            self.wait_ready(tool)
            self.pull_trigger()
            tool.signal(signal.SIGTERM)
            # Both may happen: the failure's line can be out before the stop's exit comes first.
            line = "stream stopped with error: Connection terminated\n"
            self.assertIn(tool.finish(), [(0, "", ""), (0, "", line), (2, "", line)])
            # Whichever won, the file is complete: every buffer delivered before the end is in it.
            if os.path.exists(self.output):
                self.assertEqual(len(read_wav(self.output)[1]) % 1600, 0)


class StreamFailures(ScriptedTestCase):
    def test_a_failure_is_one_line_and_status_two_whatever_the_state(self):
        cases = [
            ("before the first buffer", "after_start=fail:Entity killed", None,
             "stream stopped with error: Entity killed\n", None),
            ("with an empty description", "after_start=tone:2,fail:", None,
             "stream stopped with error: \n", 3200),
            ("while muted", "after_start=tone:2,fail:Connection terminated", signal.SIGUSR1,
             "stream stopped with error: Connection terminated\n", 3200),
        ]
        for name, script, before, line, frames in cases:
            with self.subTest(name):
                if os.path.exists(self.output):
                    os.remove(self.output)
                tool = self.tool(script, trigger=True)
                self.wait_ready(tool)
                if before:
                    tool.signal(before)
                self.pull_trigger()
                self.assertEqual(tool.finish(), (2, "", line))
                os.remove(self.trigger)
                os.remove(self.ready)
                if frames is None:
                    self.assertFalse(os.path.exists(self.output))
                else:
                    # Closed before the exit: complete, with every buffer delivered.
                    self.assertEqual(len(read_wav(self.output)[1]), frames)


if __name__ == "__main__":
    unittest.main()
