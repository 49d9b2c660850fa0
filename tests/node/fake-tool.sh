#!/bin/sh
# Stands in for tarn-audio-tap in the Node client's tests ($2 is the path after --output):
#   FAKE_TOUCH    set: the capture runs at once, as the real tool's file appearing shows
#   FAKE_SLEEP    seconds to run before the end (default 0)
#   FAKE_LINE     the line written to standard error at the end (or at SIGUSR1)
#   FAKE_STATUS   the exit status at the end (default 0)
#   FAKE_TERMLOG  a file that gets a line "TERM" on SIGTERM, which ends it with status 0
# SIGUSR1 (the client's mute) ends it at once with the line and status, as a stream failure.
trap 'kill $nap 2>/dev/null; [ -z "$FAKE_TERMLOG" ] || echo TERM >>"$FAKE_TERMLOG"; exit 0' TERM
trap 'kill $nap 2>/dev/null; echo "$FAKE_LINE" >&2; exit "${FAKE_STATUS:-0}"' USR1
[ -z "$FAKE_TOUCH" ] || echo >>"$2"
# In the background, so that a signal's trap runs at once rather than after the sleep.
sleep "${FAKE_SLEEP:-0}" &
nap=$!
wait $nap
[ -z "$FAKE_LINE" ] || echo "$FAKE_LINE" >&2
exit "${FAKE_STATUS:-0}"
