"""The tool as a process: each way it ends by itself, its stop signals and its failed starts."""

import os
import pwd
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

from harness import TOOL, ServerTestCase, run, segments_with_tone, tone


class ExitPaths(unittest.TestCase):
    def test_each_exit_path_without_a_server_writes_nothing_but_its_line(self):
        # No server is reachable: only a start tries one, and none of these leaves a file.
        env = dict(os.environ, PULSE_SERVER="unix:/nonexistent/socket")
        for args, status, line in [
                ([], 64, "--output is required\n"),
                (["--output", "a.wav", "extra"], 64, "unknown arg: extra\n"),
                # A line break in what a line quotes never makes two lines of it.
                (["--output", "a.wav", "x\ny\r"], 64, "unknown arg: x\\ny\\r\n"),
                (["--output", "a.wav", "--help"], 0, "usage: tarn-audio-tap --output PATH\n"),
                (["--output", "a.wav"], 3, "start failed: Connection refused\n")]:
            with self.subTest(args=args), tempfile.TemporaryDirectory() as folder:
                self.assertEqual(run(args, env, cwd=folder), (status, "", line))
                self.assertEqual(os.listdir(folder), [])


class WithAServer(ServerTestCase):
    def test_sigpipe_stops_it_with_zero(self):
        # SIGTERM ends most other tests, twice where the server is frozen during the stop.
        tool = self.start_recording(self.path("a.wav"))
        tool.signal(signal.SIGPIPE)
        self.assertEqual(tool.finish(), (0, "", ""))

    def test_the_example_of_driving_the_tool_from_an_app_runs(self):
        example = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "record_meeting.py")
        result = subprocess.run([sys.executable, example, "--tool", TOOL, "--output",
                                 self.path("meeting.wav"), "--seconds", "1.5"], env=self.server.env,
                                capture_output=True, text=True, timeout=120)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn("status 0 (stopped)", result.stdout)
        self.assertIn("1 channel, 16-bit, 16000 Hz", result.stdout)

    def test_the_node_client_records_and_tells_a_failed_start_apart(self):
        if not shutil.which("node"):
            self.skipTest("node is not installed")
        example = os.path.join(os.path.dirname(__file__), "..", "..", "clients", "node", "example.mjs")
        self.play_in_background(tone(30, 440))  # muted through the example's middle third only
        for pulse, name, status, printed in [
                (self.server.env["PULSE_SERVER"], "meeting.wav", 0,
                 r"tarn-audio-tap: status 0 \(stopped\)\n%s: 1 channel, 16-bit, 16000 Hz, "
                 r"\d\.\d\d s\n" % re.escape(self.path("meeting.wav"))),
                # The start's rejection: its class, code, status and the tool's line.
                ("unix:/nonexistent/socket", "never.wav", 3, "tarn-audio-tap: start failed: StartError "
                 "ESTART status 3: start failed: Connection refused\n")]:
            with self.subTest(status=status):
                result = subprocess.run(["node", example, "--tool", TOOL, "--output", self.path(name),
                                         "--seconds", "1.5"], env=dict(self.server.env, PULSE_SERVER=pulse),
                                        capture_output=True, text=True, timeout=120)
                self.assertEqual((result.returncode, result.stderr), (status, ""))
                self.assertRegex(result.stdout, "^%s$" % printed)
                self.assertEqual(os.path.exists(self.path(name)), status == 0)
        samples = self.recorded(self.path("meeting.wav"))
        self.assertGreaterEqual(len(samples) / 16000, 1.5)
        self.assertEqual(len(segments_with_tone(samples, 440)), 2)  # muted, then unmuted

    def test_an_output_path_that_looks_like_an_option_is_a_path(self):
        self.assertEqual(self.record("--help", cwd=self.folder), (0, "", ""))
        self.assertTrue(os.path.exists(self.path("--help")))

    @unittest.skipUnless(os.geteuid() == 0, "needs root to run the client as another user")
    def test_a_server_that_refuses_the_client_is_a_refused_permission(self):
        if self.server.kind == "pipewire":
            self.skipTest("PipeWire's PulseAudio server has no cookie authentication")
        socket = os.path.join(self.server.folder, "cookie-only")
        self.server.pactl("load-module", "module-native-protocol-unix", "socket=" + socket,
                          "auth-anonymous=0", "auth-cookie-enabled=1")
        # Another user, without the server's cookie: the server says "access denied".
        env = dict(self.server.env, PULSE_SERVER="unix:" + socket, HOME="/nonexistent",
                   XDG_RUNTIME_DIR="/nonexistent", XDG_CONFIG_HOME="/nonexistent")
        self.assertEqual(run(["--output", "/tmp/never.wav"], env, user=pwd.getpwnam("nobody")),
                         (4, "", "start failed: Access denied (the sound server refused the "
                                 "permission to capture its output)\n"))


if __name__ == "__main__":
    unittest.main()
