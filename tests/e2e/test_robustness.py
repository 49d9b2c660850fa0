"""Stress and hostile conditions: signal storms, repeated stops, a closed stderr, full disks and odd
output paths. Nothing may hang, crash or lose what was recorded."""

import os
import pwd
import signal
import subprocess
import tempfile
import threading
import time
import unittest

from harness import (DEADLINE, ServerTestCase, Tool, feed, read_wav, segments_with_tone, stereo,
                     tone, wait_for)


class Signals(ServerTestCase):
    def play_in_background(self, seconds, hertz=440):
        player = self.server.player()
        feeder = threading.Thread(target=feed, args=(player, stereo(tone(seconds, hertz))))
        feeder.start()

        def end():
            player.kill()
            player.wait()
            feeder.join()
        self.addCleanup(end)

    def test_a_storm_of_mute_signals_keeps_recording_and_ends_in_the_last_state(self):
        output = self.path("storm.wav")
        tool = self.start_recording(["--output", output])
        self.play_in_background(6)
        wait_for(lambda: os.path.exists(output) and segments_with_tone(read_wav(output)[1], 440),
                 "the tone in the file")
        for i in range(2000):
            tool.signal(signal.SIGUSR1 if i % 2 == 0 else signal.SIGUSR2)
        tool.signal(signal.SIGUSR1)  # the last word: muted
        self.assertTrue(tool.alive())
        # What the file holds now may lag what the tool has taken in: after a storm its queue is
        # behind, and buffers that came before the last mute still land after this moment.
        muted_since = len(read_wav(output)[1])
        wait_for(lambda: len(read_wav(output)[1]) > muted_since + 16000, "a second more")
        self.assertEqual(tool.stop(), (0, "", ""))
        _, samples = read_wav(output)
        # Still recording after the storm, and muted at the end: the last 0.3 s is silence.
        self.assertGreater(len(samples), muted_since + 16000)
        self.assertEqual(max(abs(s) for s in samples[-4800:]), 0)

    def test_two_quick_stops_end_once_with_zero(self):
        tool = self.start_recording(["--output", self.path("twice.wav")])
        tool.signal(signal.SIGTERM)
        tool.signal(signal.SIGTERM)
        self.assertEqual(tool.finish(), (0, "", ""))

    def test_a_closed_stderr_pipe_stops_the_tool_with_zero(self):
        output = self.path("missing/out.wav")  # every buffer reports a write error
        process = subprocess.Popen([Tool.binary_path(), "--output", output], env=self.server.env,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        self.addCleanup(lambda: process.poll() is None and process.kill())
        process.stderr.close()  # whoever read our lines is gone
        self.server.play(tone(0.3, 440))
        self.assertEqual(process.wait(DEADLINE), 0)
        self.assertEqual(process.stdout.read(), b"")
        process.stdout.close()


class OutputPaths(ServerTestCase):
    def record(self, output, user=None):
        command = [Tool.binary_path(), "--output", output]
        if user:
            command = ["setpriv", "--reuid=%d" % user.pw_uid, "--regid=%d" % user.pw_gid,
                       "--clear-groups"] + command
        process = subprocess.Popen(command, env=self.server.env, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.addCleanup(lambda: process.poll() is None and process.kill())
        wait_for(lambda: self.server.record_streams() or process.poll() is not None, "the capture")
        self.server.play(tone(0.3, 440))
        process.send_signal(signal.SIGTERM)
        out, err = process.communicate(timeout=DEADLINE)
        return process.returncode, out.decode(), err.decode()

    def assert_only_write_errors(self, result, reason):
        status, out, err = result
        self.assertEqual((status, out), (0, ""))
        lines = set(err.splitlines())
        self.assertEqual(len(lines), 1, lines)
        line = lines.pop()
        self.assertTrue(line.startswith("write error: "), line)
        self.assertTrue(line.endswith(reason), line)

    def test_an_existing_file_is_replaced_by_the_new_recording(self):
        output = self.path("old.wav")
        with open(output, "wb") as old:
            old.write(b"not a recording" * 10000)
        self.assertEqual(self.record(output), (0, "", ""))
        self.assertTrue(segments_with_tone(read_wav(output)[1], 440))

    def test_paths_that_cannot_be_written_give_write_errors(self):
        fifo = self.path("fifo")
        os.mkfifo(fifo)
        cases = [
            (self.folder, "Is a directory"),
            ("", "No such file or directory"),
            (fifo, "No such device or address"),  # nobody reads it: no hang
            ("/dev/full", "No space left on device"),
        ]
        for output, reason in cases:
            with self.subTest(output=output):
                self.assert_only_write_errors(self.record(output), reason)

    @unittest.skipUnless(os.geteuid() == 0, "needs root to record as another user")
    def test_a_folder_without_write_permission(self):
        if self.server.kind == "pipewire":
            self.skipTest("PipeWire's PulseAudio server takes clients of its own user only")
        locked = self.path("locked")
        os.mkdir(locked, 0o555)
        os.chmod(self.folder, 0o755)
        self.assert_only_write_errors(
            self.record(os.path.join(locked, "out.wav"), pwd.getpwnam("nobody")),
            "Permission denied")


@unittest.skipUnless(os.geteuid() == 0, "needs root to mount a small filesystem")
class FullDisk(ServerTestCase):
    def setUp(self):
        super().setUp()
        self.disk = tempfile.mkdtemp(prefix="tarn-full-")
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", self.disk], check=True)
        self.addCleanup(os.rmdir, self.disk)
        self.addCleanup(subprocess.run, ["umount", self.disk])

    def test_a_full_disk_reports_errors_keeps_the_file_valid_and_resumes_when_space_returns(self):
        filler = os.path.join(self.disk, "filler")
        with open(filler, "wb") as f:
            f.write(b"\0" * 40000)
        output = os.path.join(self.disk, "rec.wav")
        tool = self.start_recording(["--output", output])
        player = self.server.player()
        feeder = threading.Thread(target=feed, args=(player, stereo(tone(8, 440))))
        feeder.start()
        self.addCleanup(feeder.join)
        self.addCleanup(player.wait)
        self.addCleanup(player.kill)
        # Fills up within a second: 32 kB of samples per second.
        wait_for(lambda: os.path.getsize(output) > 16000 if os.path.exists(output) else False,
                 "the file to fill the disk")
        time.sleep(1.0)  # a stretch of full disk, a write error for each buffer
        while_full = len(read_wav(output)[1])
        os.remove(filler)
        wait_for(lambda: len(read_wav(output)[1]) > while_full + 4000, "recording to resume")
        status, out, err = tool.stop()
        self.assertEqual((status, out), (0, ""))
        self.assertEqual(set(err.splitlines()),
                         {'write error: cannot write to "%s": No space left on device' % output})
        _, samples = read_wav(output)
        header_bytes = os.path.getsize(output) - 2 * len(samples)
        self.assertEqual(header_bytes, 80)  # the header declares exactly what the file holds
        self.assertGreater(len(samples), while_full)


if __name__ == "__main__":
    unittest.main()
