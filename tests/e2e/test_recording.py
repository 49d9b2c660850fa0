"""What lands in the file: the sound played into the server, at its pitch, level and time, up to a
stop or a kill."""

import math
import signal
import statistics
import threading
import time
import unittest

from harness import (PausablePlayer, ServerTestCase, read_wav, recorded_samples, recorded_seconds,
                     segments_with_tone, silence, stereo, tone, tone_level, wait_for)


def faded(samples):
    """Faded in and out over 10 ms: a tone cut mid-wave steps, which resampling makes overshoot."""
    return [min(1, i / 480, (len(samples) - i) / 480) * value for i, value in enumerate(samples)]


def level(samples, segment, hertz):
    """The upper quartile of the levels of 50 ms windows (whole cycles of the tones) in a tone's
    middle: a player starved on a busy machine drops a moment of it, and PipeWire's own dropouts
    break the phase of a few windows, which only lowers them."""
    middle = samples[int(segment[0] * 16000) + 800:int(segment[1] * 16000) - 800]
    levels = sorted(tone_level(middle[i:i + 800], hertz) for i in range(0, len(middle) - 799, 800))
    return levels[len(levels) * 3 // 4]


def decibels(measured, played):
    return 20 * math.log10(max(measured, 1e-9) / played)


class Recording(ServerTestCase):
    def test_tones_are_recorded_at_their_pitch_and_level_as_16_bit_mono_at_16_khz(self):
        output = self.path("tones.wav")
        with open(output, "wb") as old:  # an existing file, replaced
            old.write(b"not a recording" * 10000)
        # Near full scale in both channels.
        loud = faded(tone(0.5, 440, amplitude=0.95))
        self.assertEqual(self.record(output, loud + silence(0.3) + tone(0.5, 880, amplitude=0.25)),
                         (0, "", ""))
        samples = self.recorded(output)  # none of the old file left
        # Nothing clipped; but for the few samples that a player starved on a busy machine can
        # make overshoot, where its sound breaks off mid-wave.
        self.assertLessEqual(sum(abs(sample) >= 32767 / 32768 for sample in samples), 8)
        low, high = segments_with_tone(samples, 440), segments_with_tone(samples, 880, threshold=0.05)
        self.assertEqual((len(low), len(high)), (1, 1), (low, high))
        self.assertAlmostEqual(low[0][1] - low[0][0], 0.5, delta=0.05)
        self.assertAlmostEqual(high[0][0] - low[0][1], 0.3, delta=0.05)
        # Both channels carried the tone: mixed by averaging, it keeps its level on either server.
        self.assertAlmostEqual(decibels(level(samples, low[0], 440), 0.95), 0, delta=1)
        self.assertAlmostEqual(level(samples, high[0], 880), 0.25, delta=0.02)
        self.assertLess(level(samples, low[0], 880), 0.01)

    def test_each_application_is_recorded_at_its_own_level_whatever_the_output_and_its_monitor(self):
        # What the output's volume and mute do, and the monitor's, is the listener's business: the
        # file holds each application's sound as it plays it. (PulseAudio applies its monitor's
        # mute to every capture made on it: there, a muted monitor still silences the recording.)
        self.keep_output_running()
        output = self.path("levels.wav")
        tool = self.start_recording(output)
        pactl = self.server.pactl
        # (What is set before a tone of 1 s; its pitch and level; the player's own volume, last: a
        # session manager gives it to the application's next streams too.) Pitches a whole number
        # of cycles in the windows that find them.
        steps = [
            ((), [(300, 0.5)], None),
            ((("set-sink-mute", "out", "1"),), [(500, 0.5)], None),
            ((("set-sink-mute", "out", "0"), ("set-sink-volume", "out", "100%"),
              ("set-source-volume", "out.monitor", "10%")), [(600, 0.5)], None),
            ((("set-source-mute", "out.monitor", "1"),) if self.server.kind == "pipewire" else (),
             [(700, 0.5)], None),
            ((("set-source-mute", "out.monitor", "0"), ("set-sink-volume", "out", "10%")),
             [(800, 0.5), (900, 0.25)], None),  # two players at once
            ((), [(1000, 0.5)], "0.5"),
        ]
        for settings, tones, volume in steps:
            for setting in settings:
                pactl(*setting)
            streams = lambda: pactl("list", "short", "sink-inputs").splitlines()
            before = len(streams())
            # Players that keep a quarter of a second buffered, as music players do: a moment's
            # stall on a busy machine cannot run them dry, and PipeWire sends the captures of two
            # such players in lumps, which the recording must wait for.
            players = [self.server.player(latency_msec=250) for _ in tones]
            wait_for(lambda: len(streams()) >= before + len(tones), "the players' streams")
            if volume:
                pactl("set-sink-input-volume", streams()[-1].split()[0], volume)
            feeders = [threading.Thread(target=player.communicate,
                                        args=(stereo(faded(tone(1.0, hertz, played))),))
                       for player, (hertz, played) in zip(players, tones)]
            for feeder in feeders:
                feeder.start()
            for feeder in feeders:
                feeder.join()
            time.sleep(0.3)  # what the output still had of it sounds before the next change
        self.assertEqual(tool.stop(), (0, "", ""))
        samples = self.recorded(output)
        for settings, tones, volume in steps:
            for hertz, played in tones:
                if volume:
                    played *= float(volume)
                # Where the monitor records, it has the output's own dropouts (PipeWire's break a
                # tone's phase for a window now and then): one window of it is bridged.
                found = segments_with_tone(samples, hertz, threshold=played / 2, bridged=1)
                self.assertEqual(len(found), 1, (hertz, found))
                self.assertAlmostEqual(decibels(level(samples, found[0], hertz), played), 0,
                                       delta=1, msg=hertz)
                # Whole, to the 10 ms window (the pitches are whole cycles in it too): but a server
                # may lose the last moments of a stream that ends, which only the monitor, at the
                # output's level, then has. Counted in whole windows: a difference of window edges
                # in floats fell short of 0.9 that were 90 windows.
                sounded = max(end - start for start, end in segments_with_tone(
                    samples, hertz, window=0.01, threshold=played / 5, bridged=1))
                self.assertGreaterEqual(round(sounded, 2), 0.97 if hertz == 300 else 0.9, hertz)

    def test_a_tone_keeps_its_level_while_the_output_is_turned_down_and_up_under_it(self):
        # At 100 % and 50 % the monitor records, its levels undone from the moment they were set;
        # at 10 % a 16-bit output (PulseAudio's null one) has too few bits left, and the stream is
        # captured. Off by 1 dB for 50 ms at each change at most, no gap, nothing doubled.
        self.keep_output_running()
        output = self.path("volume.wav")
        tool = self.start_recording(output)
        player = self.server.player(latency_msec=250)
        feeder = threading.Thread(target=player.communicate, args=(stereo(faded(tone(4.0, 500))),))
        feeder.start()
        for volume in ("50%", "10%", "100%"):
            time.sleep(1.0)
            self.server.pactl("set-sink-volume", "out", volume)
        feeder.join()
        time.sleep(0.3)
        self.assertEqual(tool.stop(), (0, "", ""))
        samples = self.recorded(output)
        found = segments_with_tone(samples, 500, threshold=0.05)
        self.assertEqual(len(found), 1, found)
        (start, end), = found
        self.assertAlmostEqual(end - start, 4.0, delta=0.1)  # PipeWire's output may stall 60 ms
        # 10 ms windows: PipeWire's dropouts break a window or two, a level undone late more.
        off = "".join("x" if abs(decibels(tone_level(samples[i:i + 160], 500), 0.5)) > 1 else "."
                      for i in range(int(start * 16000) + 160, int(end * 16000) - 320, 160))
        self.assertLessEqual(max(map(len, off.split("."))), 5, off)
        # At 50 % and 10 %, all else 60 dB below the tone (a median of 50 ms windows, past them).
        for second in (1, 2):
            rests = []
            for i in range(int((start + second + 0.2) * 16000), int((start + second + 0.8) * 16000),
                           800):
                window = samples[i:i + 800]
                rests.append(sum(x * x for x in window) / 800 - tone_level(window, 500) ** 2 / 2)
            rest = math.sqrt(max(statistics.median(rests), 0))
            self.assertLess(decibels(rest, 0.5 / math.sqrt(2)), -60, second)

    def test_a_paused_application_leaves_the_others_at_their_level_and_resumes_on_the_clock(self):
        # Muted: only the applications' own captures have their sound. Idle: a null output, idle,
        # has rendered ahead, and plays a new stream's sound more than a second late.
        self.server.pactl("set-sink-mute", "out", "1")
        time.sleep(max(0.0, self.server.started + 2.5 - time.monotonic()))
        output = self.path("paused.wav")
        launched = time.monotonic()
        tool = self.start_recording(output)
        listed = time.monotonic()
        paused = PausablePlayer(self.server)
        self.addCleanup(paused.close)
        paused.play(tone(0.3, 440))
        wait_for(lambda: recorded_seconds(output, 440) >= 0.25 and recorded_seconds(output) >=
                 segments_with_tone(recorded_samples(output), 440)[-1][1] + 0.1, "the first tone")
        paused.pause()
        self.server.play(tone(0.5, 660))  # another application, while it is paused
        time.sleep(2)  # and then nothing plays
        paused.pause(False)
        resumed = time.monotonic()
        paused.play(tone(0.3, 880))
        wait_for(lambda: recorded_seconds(output, 880) >= 0.25, "the tone after the pause")
        self.assertEqual(tool.stop(), (0, "", ""))
        samples = self.recorded(output)
        first, other, again = (segments_with_tone(samples, hertz) for hertz in (440, 660, 880))
        self.assertEqual((len(first), len(other), len(again)), (1, 1, 1), (first, other, again))
        self.assertAlmostEqual(decibels(level(samples, other[0], 660), 0.5), 0, delta=1)
        # Where it played, from the capture's start, which lies between the launch and the listing;
        # a busy machine can only make it late.
        self.assertGreaterEqual(again[0][0], resumed - listed - 0.04)
        self.assertLessEqual(again[0][0], resumed - launched + 0.3)

    def test_an_application_already_playing_is_heard_from_the_start(self):
        self.keep_output_running()
        self.server.pactl("set-sink-mute", "out", "1")  # only its own capture can have it
        self.play_in_background(tone(4, 440))
        time.sleep(1)
        output = self.path("playing.wav")
        tool = self.start_recording(output)
        wait_for(lambda: recorded_seconds(output) >= 1.0, "a second in the file")
        self.assertEqual(tool.stop(), (0, "", ""))
        found = segments_with_tone(self.recorded(output), 440)
        self.assertLessEqual(found[0][0], 0.15, found)

    def test_a_mute_holds_for_what_sounds_after_the_signal(self):
        self.keep_output_running()
        output = self.path("muted.wav")
        tool = self.start_recording(output)
        self.server.play(tone(0.5, 440))  # ends just before the mute
        tool.signal(signal.SIGUSR1)
        self.server.play(tone(0.5, 660))  # all of it while muted
        tool.signal(signal.SIGUSR2)
        self.server.play(tone(0.3, 880))
        self.assertEqual(tool.stop(), (0, "", ""))
        samples = self.recorded(output)
        # Nothing of the muted tone, but for one window it may fill in part on a busy machine: what
        # the server had sent before a signal goes in before it (without that hand-over, 40 to
        # 100 ms of it leaked); at most 30 ms of the others is lost at a signal, with the window.
        sounded = lambda hertz: sum(e - s for s, e in segments_with_tone(samples, hertz))
        self.assertGreaterEqual(sounded(440), 0.45)
        self.assertLess(sounded(660), 0.03)  # one window, as the sum of floats has it
        self.assertGreaterEqual(sounded(880), 0.25)

    def test_a_frozen_server_neither_stretches_the_file_nor_shifts_what_follows(self):
        if self.server.kind == "pipewire":
            self.skipTest("PipeWire's graph, frozen as a whole, renders off the clock for seconds "
                          "after it thaws: parecord's file is as far off")
        self.keep_output_running()
        output = self.path("frozen.wav")
        launched = time.monotonic()
        tool = self.start_recording(output)
        listed = time.monotonic() - launched
        first_played = time.monotonic()
        self.server.play(tone(0.3, 440))
        self.server.freeze()
        time.sleep(3)  # the stall
        self.server.freeze(False)
        # The null output renders the stretch it missed at about twice real time, and mixes what
        # plays meanwhile into it: the next sound waits until it has caught up.
        time.sleep(4)
        second_played = time.monotonic()
        self.server.play(tone(0.3, 660))
        # Stopped while frozen again: the stop does not wait long for the server, a second SIGTERM
        # joins it, and the file still reaches the moment of the stop.
        self.server.freeze()
        time.sleep(0.3)
        ending = time.monotonic() - launched
        tool.signal(signal.SIGTERM)
        time.sleep(0.2)
        self.assertEqual(tool.stop(), (0, "", ""))
        ended = time.monotonic() - launched
        self.server.freeze(False)
        samples = self.recorded(output)
        self.assertLessEqual(len(samples) / 16000, ended + 0.08)
        self.assertGreaterEqual(len(samples) / 16000, ending - listed - 0.08)
        before, after = segments_with_tone(samples, 440), segments_with_tone(samples, 660)
        self.assertEqual((len(before), len(after)), (1, 1), (before, after))
        self.assertAlmostEqual(after[0][0] - before[0][0], second_played - first_played, delta=0.1)

    def test_an_idle_output_is_recorded_on_the_clock_up_to_a_stop(self):
        self.on_the_clock("stop")

    def test_an_idle_output_is_recorded_on_the_clock_up_to_a_kill(self):
        self.on_the_clock("kill")

    def on_the_clock(self, end):
        # A sound lands when it played, counted from the capture's start, and the file ends at the
        # stop, or holds all that was written before a kill -9, header included. The output plays
        # nothing at first: the server sends nothing, yet the file keeps up with the clock, and
        # does not start where the server's audio does. The capture starts between the launch and
        # the moment the server lists it; bounds are one-sided where a busy machine can only make
        # a player late, never early. A new null output sleeps through its first two seconds,
        # playing nothing at all: let that pass, as on a server that has been up for a while.
        time.sleep(3)
        output = self.path(end + ".wav")
        launched = time.monotonic()
        tool = self.start_recording(output)
        listed = time.monotonic() - launched
        wait_for(lambda: recorded_seconds(output) >= 1.0, "a second of silence in the file")
        first = self.server.player()
        first_played = time.monotonic() - launched
        first.communicate(stereo(tone(0.3, 440)))
        time.sleep(1.5)  # nothing plays: the capture is corked, its clock stopped
        self.server.pactl("set-sink-volume", "out", "50%")  # undone, from the sound after it
        last_played = time.monotonic() - launched
        self.play_in_background(tone(5, 660))
        wait_for(lambda: recorded_seconds(output, 660) >= 0.5, "the last tone in the file")
        ending = time.monotonic() - launched
        if end == "stop":
            self.assertEqual(tool.stop(), (0, "", ""))
        else:
            tool.process.kill()
            tool.finish()
        ended = time.monotonic() - launched

        params, samples = read_wav(output)
        length = len(samples) / 16000
        self.assertEqual(params, (1, 2, 16000))
        # From the capture's start to the end, taken at once by a stop unless the machine
        # is very busy (or the tool slowed down by a sanitizer); a kill loses what the
        # tool held but had not yet written.
        self.assertLessEqual(length, ended + 0.02)
        self.assertGreaterEqual(length, ending - listed - (0.02 if end == "stop" else 1.5))
        first_tone = segments_with_tone(samples, 440)
        self.assertEqual(len(first_tone), 1, first_tone)
        # A margin, and the 20 ms window: one the tone fills partly already counts.
        self.assertGreaterEqual(first_tone[0][0], first_played - listed - 0.04)
        self.assertLessEqual(first_tone[0][0], first_played + 0.3)
        silent = samples[:int((first_tone[0][0] - 0.02) * 16000)]
        self.assertEqual(max(abs(sample) for sample in silent), 0.0)
        # What sounded until the end is in the file, but for the last few milliseconds.
        last_tone = segments_with_tone(samples, 660)[-1]
        self.assertGreaterEqual(last_tone[1], length - (0.06 if end == "stop" else 0.03))
        self.assertAlmostEqual(decibels(level(samples, last_tone, 660), 0.5), 0, delta=1)
        self.assertLessEqual(last_tone[0], last_played + 0.3)


if __name__ == "__main__":
    unittest.main()
