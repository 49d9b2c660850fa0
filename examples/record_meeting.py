#!/usr/bin/env python3
"""How an app drives tarn-audio-tap: start it, mute and unmute it, stop it, read its status and its
line, and check the file it leaves. Standard library only.

    python3 examples/record_meeting.py [--tool tarn-audio-tap] [--output meeting.wav] [--seconds 3]
"""

import argparse
import signal
import subprocess
import sys
import time
import wave

# What each exit status means, as the tool documents it.
STATUSES = {0: "stopped", 2: "the sound server ended the capture", 3: "could not start",
            4: "access to the sound server refused", 64: "bad command line"}


def record(tool, output, seconds):
    # stderr is where the tool's only messages go; stdout stays empty.
    recorder = subprocess.Popen([tool, "--output", output], stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        time.sleep(seconds / 3)
        recorder.send_signal(signal.SIGUSR1)  # mute: silence is written, the timeline goes on
        time.sleep(seconds / 3)
        recorder.send_signal(signal.SIGUSR2)  # unmute
        time.sleep(seconds / 3)
    finally:
        if recorder.poll() is None:
            recorder.send_signal(signal.SIGTERM)  # stop: the file is completed, status 0
    _, err = recorder.communicate(timeout=30)
    return recorder.returncode, err.decode().strip()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", default="tarn-audio-tap")
    parser.add_argument("--output", default="meeting.wav")
    parser.add_argument("--seconds", type=float, default=3.0)
    args = parser.parse_args()

    status, line = record(args.tool, args.output, args.seconds)
    print("tarn-audio-tap: status %d (%s)%s" % (status, STATUSES.get(status, "unknown"),
                                                ", said: " + line if line else ""))
    if status != 0:
        return 1
    with wave.open(args.output, "rb") as file:
        channels, width, rate = file.getnchannels(), file.getsampwidth(), file.getframerate()
        seconds = file.getnframes() / rate
    print("%s: %d channel, %d-bit, %d Hz, %.2f s" % (args.output, channels, width * 8, rate, seconds))
    if (channels, width, rate) != (1, 2, 16000):
        print("unexpected format")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
