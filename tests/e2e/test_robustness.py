"""Hostile conditions: a storm of mute signals, a parent that goes away, readers that stop reading,
paths that cannot be written and a full disk. Nothing may hang, crash or lose what was recorded."""

import ctypes
import fcntl
import os
import pwd
import shutil
import signal
import subprocess
import sys
import threading
import time
import unittest

from harness import (F_SETPIPE_SZ, TOOL, ServerTestCase, node_latency, read_wav,
                     recorded_seconds, segments_with_tone, stereo, tone, wait_for)

PR_SET_CHILD_SUBREAPER = 36
# However busy the machine, the tool gives up on a reader within a second: a stop that takes this
# long waits on one.
HANG = 5


class Robustness(ServerTestCase):
    def test_a_storm_of_mute_signals_keeps_recording_and_ends_in_the_last_state(self):
        output = self.path("storm.wav")
        tool = self.start_recording(output)
        self.play_in_background(tone(30, 440))  # sounding still at the stop
        wait_for(lambda: recorded_seconds(output, 440), "the tone in the file")
        for _ in range(3):
            # Not waited for. Pending together, SIGUSR1 and SIGUSR2 are taken lowest number first:
            # whatever the kernel merges, a storm that ends with SIGUSR2 ends unmuted.
            for i in range(2000):
                tool.signal(signal.SIGUSR1 if i % 2 == 0 else signal.SIGUSR2)
            sounded, length = recorded_seconds(output, 440), recorded_seconds(output)
            wait_for(lambda: recorded_seconds(output) > length + 1.5, "1.5 s more")
            self.assertGreater(recorded_seconds(output, 440), sounded + 1.0)
        tool.signal(signal.SIGUSR1)  # the last word: muted
        # What the file holds now may lag what the tool has taken in: buffers that came before the
        # last mute may still land after this moment.
        muted_since = recorded_seconds(output)
        wait_for(lambda: recorded_seconds(output) > muted_since + 1, "a second more")
        self.assertEqual(tool.stop(), (0, "", ""))
        samples = self.recorded(output)
        self.assertEqual(max(abs(s) for s in samples[-4800:]), 0)

    def test_a_tool_held_still_for_seconds_harms_no_sound_and_its_file_keeps_the_clock(self):
        # The output plays on whole, as a second recorder hears; the file has the tone in its place.
        # Every client asks the output for no less than its slow player does, the tool among them.
        self.keep_output_running(latency_msec=250)
        output, heard = self.path("held.wav"), self.path("heard.wav")
        launched = time.monotonic()
        tool = self.start_recording(output)
        listed = time.monotonic()
        listener = subprocess.Popen(["parecord", "--device=out.monitor", "--latency-msec=250",
                                     "--rate=16000", "--channels=1", "--format=s16le", heard],
                                    env=self.server.env)
        self.addCleanup(listener.kill)
        wait_for(lambda: self.server.recorded_source(listener.pid), "the listener")
        player = self.server.player(latency_msec=250)
        played = time.monotonic()
        feeder = threading.Thread(target=player.communicate, args=(stereo(tone(8.0, 500)),))
        feeder.start()
        if self.server.kind == "pipewire":  # the graph runs at its slow players' pace, not ours
            wait_for(lambda: node_latency(self.server, "tarn-audio-tap") > 2048 / 48000, "pace")
        else:  # the output renders as far ahead as they let it, not 20 ms
            wait_for(lambda: self.server.configured_latency("out") > 0.05, "pace")
        time.sleep(1)
        tool.signal(signal.SIGSTOP)  # longer than a server's default room for what is not read
        time.sleep(6)
        tool.signal(signal.SIGCONT)
        feeder.join()
        time.sleep(0.3)
        self.assertEqual(tool.stop(), (0, "", ""))
        listener.terminate()
        listener.wait()
        for samples in (read_wav(heard)[1], self.recorded(output)):
            found = segments_with_tone(samples, 500, threshold=0.05)
            self.assertEqual(len(found), 1, found)
            # PipeWire's output may stall 60 ms.
            self.assertAlmostEqual(found[0][1] - found[0][0], 8.0, delta=0.1)
        # From the capture's start, which lies between the launch and the listing.
        self.assertGreaterEqual(found[0][0], played - listed - 0.04)
        self.assertLessEqual(found[0][0], played - launched + 0.3)

    def test_a_parent_that_goes_away_stops_the_tool_unless_its_lines_go_to_a_file(self):
        ctypes.CDLL(None).prctl(PR_SET_CHILD_SUBREAPER, 1)  # orphans come here, with their status
        python = [sys.executable, "-c", "import subprocess, sys, time; print(subprocess.Popen("
                  "sys.argv[2:], stdout=subprocess.DEVNULL, stderr=open(sys.argv[1], 'w') if sys.argv[1] "
                  "else subprocess.PIPE).pid, flush=True); time.sleep(600)"]
        node = ["node", "-e", "const tool = require('child_process').spawn(process.argv[1], "
                "process.argv.slice(2), {stdio: ['ignore', 'ignore', 'pipe']}); "
                "console.log(tool.pid); setInterval(() => {}, 1000)"]
        # A pipe; a socket, as Node's child pipes are; a file, which has no reader to lose.
        for kind, parent in (("pipe", python + [""]), ("socket", node),
                             ("file", python + [self.path("log")])):
            with self.subTest(kind):
                if kind == "socket" and not shutil.which("node"):
                    self.skipTest("needs node")
                output = self.path(kind + ".wav")
                parent = subprocess.Popen(parent + [TOOL, "--output", output], env=self.server.env,
                                          stdout=subprocess.PIPE)
                pid = int(parent.stdout.readline())
                wait_for(lambda: self.server.recorded_source(pid), "the capture to start")
                self.server.play(tone(0.3, 440))
                parent.kill()  # a crash: only the kernel closes its end
                parent.communicate()  # only the parent writes there

                def status(wait):  # once the tool has ended within the wait; None if it runs on
                    end = time.monotonic() + wait
                    while (reaped := os.waitpid(pid, os.WNOHANG))[0] == 0:
                        if time.monotonic() > end:
                            return None
                        time.sleep(0.02)
                    return os.waitstatus_to_exitcode(reaped[1])

                if kind == "file":  # as a recording started from a shell with 2>log &
                    self.assertIsNone(status(1.5))
                    os.kill(pid, signal.SIGTERM)
                self.assertEqual(status(HANG), 0)
                tone_seconds = sum(e - s for s, e in segments_with_tone(self.recorded(output), 440))
                self.assertGreaterEqual(tone_seconds, 0.25)

    def spawn(self, output, stderr):
        process = subprocess.Popen([TOOL, "--output", output], env=self.server.env,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=stderr)
        self.addCleanup(lambda: process.poll() is None and process.kill())
        return process

    def test_a_standard_error_nobody_reads_holds_neither_a_stop_nor_a_failure(self):
        output = self.path("missing/out.wav")  # a write error for each buffer
        last = "stream stopped with error: Connection terminated"
        for end, status in (("SIGTERM", 0), ("server gone", 2)):
            with self.subTest(end):
                reader, writer = os.pipe()
                fcntl.fcntl(writer, F_SETPIPE_SZ, 4096)
                os.write(writer, b"#" * 4095 + b"\n")  # full: the tool's lines find no room
                process = self.spawn(output, writer)
                os.close(writer)
                self.server.play(tone(0.5, 440))
                read = []
                def take_all():
                    with os.fdopen(reader) as lines:
                        read.append(lines.read())
                drain = threading.Thread(target=take_all)
                if status:
                    self.server.kill()
                    time.sleep(0.3)  # the reader comes back while the last line waits for room
                    drain.start()
                else:
                    process.send_signal(signal.SIGTERM)
                self.assertEqual(process.wait(HANG), status)
                self.assertEqual(process.communicate()[0], b"")
                if not status:
                    drain.start()
                drain.join()
                # Every write error was dropped; the last line of a failure was not.
                self.assertEqual(read[0].splitlines()[1:], [last] if status else [])

    def test_a_fifo_whose_reader_stops_reading_fails_buffers_and_never_holds_the_stop(self):
        fifo = self.path("live.wav")
        os.mkfifo(fifo)
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        self.addCleanup(os.close, reader)
        errors = open(self.path("stderr"), "w+")
        self.addCleanup(errors.close)
        self.keep_output_running()
        process = self.spawn(fifo, errors)
        # A live reader gets the stream: a WAV header, then the audio.
        wait_for(lambda: os.read(reader, 1 << 20).startswith(b"RIFF"), "the header")
        # The reader stops: the FIFO fills (64 KiB, two seconds of audio) and buffers fail.
        line = 'write error: cannot write to "%s": its reader is not reading\n' % fifo
        wait_for(lambda: errors.seek(0) == 0 and line in errors.read(), "a buffer to fail")
        process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(HANG), 0)
        self.assertEqual(process.communicate()[0], b"")
        errors.seek(0)
        self.assertEqual(set(errors.read().splitlines(keepends=True)), {line})

    def test_paths_that_cannot_be_written_give_only_write_errors_and_a_stop_with_zero(self):
        fifo, locked = self.path("fifo"), self.path("locked")
        os.mkfifo(fifo)
        os.mkdir(locked, 0o555)
        os.chmod(self.folder, 0o755)
        for output, reason, user in [
                (self.folder, "Is a directory", None),
                ("", "No such file or directory", None),
                (fifo, "No such device or address", None),  # nobody reads it: no hang
                ("/dev/full", "No space left on device", None),
                (self.path("missing/out.wav"), "No such file or directory", None),
                (os.path.join(locked, "out.wav"), "Permission denied", "nobody")]:
            with self.subTest(output=output):
                if user and (os.geteuid() != 0 or self.server.kind == "pipewire"):
                    self.skipTest("needs root to record as another user, and a server that takes "
                                  "clients of another user (PipeWire's PulseAudio server does not)")
                status, out, err = self.record(output, user=user and pwd.getpwnam(user))
                self.assertEqual((status, out), (0, ""))
                self.assertEqual(set(err.splitlines(keepends=True)),
                                 {'write error: cannot create "%s": %s\n' % (output, reason)})

    @unittest.skipUnless(os.geteuid() == 0, "needs root to mount a small filesystem")
    def test_a_full_disk_reports_errors_keeps_the_file_valid_and_resumes_when_space_returns(self):
        disk = self.path("disk")
        os.mkdir(disk)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", disk], check=True)
        self.addCleanup(subprocess.run, ["umount", disk])
        filler, output = os.path.join(disk, "filler"), os.path.join(disk, "rec.wav")
        with open(filler, "wb") as f:
            f.write(b"\0" * 40000)
        tool = self.start_recording(output)
        self.play_in_background(tone(8, 440))
        # Fills up within a second: 32 kB of samples per second.
        wait_for(lambda: os.path.exists(output) and os.path.getsize(output) > 16000,
                 "the file to fill the disk")
        time.sleep(1.0)  # a stretch of full disk, a write error for each buffer
        while_full = recorded_seconds(output)
        os.remove(filler)
        wait_for(lambda: recorded_seconds(output) > while_full + 0.25, "recording to resume")
        status, out, err = tool.stop()
        self.assertEqual((status, out), (0, ""))
        self.assertEqual(set(err.splitlines(keepends=True)),
                         {'write error: cannot write to "%s": No space left on device\n' % output})
        # Complete, and more than while the disk was full.
        self.assertGreater(len(self.recorded(output)), while_full * 16000)


if __name__ == "__main__":
    unittest.main()
