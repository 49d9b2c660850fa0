"""The tool as a process: its command line, its signals and its failed starts, against a real
sound server."""

import os
import pwd
import signal
import subprocess
import unittest

from harness import ServerTestCase, Tool, run, sound_server, wait_for

USAGE = "usage: tarn-audio-tap --output PATH\n"


class CommandLine(unittest.TestCase):
    def test_every_command_line_error_and_help_request(self):
        cases = [
            ([], "--output is required\n", 64),
            (["--output"], "--output requires a path\n", 64),
            (["--output", "a.wav", "--output"], "--output requires a path\n", 64),
            (["--output", "a.wav", "-h"], USAGE, 0),
            (["--help"], USAGE, 0),
            (["-h", "--bogus"], USAGE, 0),
            (["--verbose", "--help"], "unknown arg: --verbose\n", 64),
            (["--output=a.wav"], "unknown arg: --output=a.wav\n", 64),
            (["--output", "a.wav", "extra"], "unknown arg: extra\n", 64),
            (["-H"], "unknown arg: -H\n", 64),
            (["-help"], "unknown arg: -help\n", 64),
            (["--HELP"], "unknown arg: --HELP\n", 64),
            (["--"], "unknown arg: --\n", 64),
        ]
        # No sound server is reachable: none of these may even try to start.
        env = dict(os.environ, PULSE_SERVER="unix:/nonexistent/socket")
        for args, line, status in cases:
            with self.subTest(args=args):
                self.assertEqual(run(args, env), (status, "", line))


class Signals(ServerTestCase):
    def test_a_successful_start_writes_nothing_and_stop_signals_end_with_zero(self):
        for stop in (signal.SIGTERM, signal.SIGPIPE):
            with self.subTest(signal=stop):
                tool = self.start_recording(["--output", self.path("a.wav")])
                for mute in (signal.SIGUSR1, signal.SIGUSR2, signal.SIGUSR1, signal.SIGUSR2):
                    tool.signal(mute)
                self.assertTrue(tool.alive())
                tool.signal(stop)
                self.assertEqual(tool.finish(), (0, "", ""))

    def test_an_output_path_that_looks_like_an_option_is_a_path(self):
        tool = Tool(["--output", "--help"], self.server.env, cwd=self.folder)
        wait_for(lambda: self.server.records_for(tool.process.pid), "the capture to start")
        self.server.play([0.3] * 4800)
        wait_for(lambda: os.path.exists(self.path("--help")), "the file")
        self.assertEqual(tool.stop(), (0, "", ""))


class NoOutputDevice(ServerTestCase):
    sinks = ()

    def test_no_output_device_fails_the_start(self):
        if self.server.kind == "pipewire":
            self.skipTest("PipeWire stands a dummy output (auto_null) in for a missing device")
        self.assertEqual(run(["--output", self.path("a.wav")], self.server.env),
                         (3, "", "start failed: no display available\n"))
        self.assertFalse(os.path.exists(self.path("a.wav")))


class FailedStarts(unittest.TestCase):
    def test_no_reachable_server(self):
        env = dict(os.environ, PULSE_SERVER="unix:/nonexistent/socket")
        self.assertEqual(run(["--output", "/tmp/never.wav"], env),
                         (3, "", "start failed: Connection refused\n"))

    @unittest.skipUnless(os.geteuid() == 0, "needs root to run the client as another user")
    def test_a_server_that_refuses_the_client_is_a_refused_permission(self):
        server = sound_server(anonymous=False)
        self.addCleanup(server.stop)
        nobody = pwd.getpwnam("nobody")
        # Another user, without the server's cookie: the server says "access denied".
        env = dict(server.env, HOME="/nonexistent", XDG_RUNTIME_DIR="/nonexistent",
                   XDG_CONFIG_HOME="/nonexistent")
        result = subprocess.run(
            ["setpriv", "--reuid=%d" % nobody.pw_uid, "--regid=%d" % nobody.pw_gid,
             "--clear-groups", Tool.binary_path(), "--output", "/tmp/never.wav"],
            env=env, capture_output=True, text=True, timeout=60)
        self.assertEqual((result.returncode, result.stdout, result.stderr),
                         (4, "", "start failed: Access denied (the sound server refused the "
                                 "permission to capture its output)\n"))


if __name__ == "__main__":
    unittest.main()
