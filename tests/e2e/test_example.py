"""The example of driving the tool from an app runs, so that it never rots."""

import os
import subprocess
import sys

from harness import TOOL, ServerTestCase

EXAMPLE = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "record_meeting.py")


class Example(ServerTestCase):
    def test_the_example_records_mutes_stops_and_checks_the_file(self):
        output = self.path("meeting.wav")
        result = subprocess.run([sys.executable, EXAMPLE, "--tool", TOOL, "--output", output,
                                 "--seconds", "1.5"], env=self.server.env, capture_output=True,
                                text=True, timeout=120)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn("status 0 (stopped)", result.stdout)
        self.assertIn("1 channel, 16-bit, 16000 Hz", result.stdout)
