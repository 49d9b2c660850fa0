#!/usr/bin/env bash
# Builds the tool and makes a real recording with it: a spoken sentence played through the sound
# server is recorded to demo/recording.wav, whose format and length are printed and whose
# spectrogram is drawn to demo/spectrogram.png. Where no sound server runs, a private one is
# started for the demo (and stopped afterwards), with a null output device to play into.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARN_BUILD_TESTS=OFF >/dev/null
cmake --build build-demo -j "$(nproc)" >/dev/null

mkdir -p demo
server_pid=""
if ! pactl info >/dev/null 2>&1; then
  private=$(mktemp -d)
  export HOME=$private XDG_RUNTIME_DIR=$private PULSE_SERVER="unix:$private/native"
  pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no --realtime=no \
    --log-level=error -L "module-native-protocol-unix socket=$private/native auth-anonymous=1" \
    -L "module-null-sink sink_name=demo rate=48000 channels=2" >/dev/null 2>&1 &
  server_pid=$!
  trap 'kill $server_pid 2>/dev/null; rm -rf "$private"' EXIT
  for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
  echo "No sound server was running: started a private one with a null output device."
fi

sentence="This is tarn audio tap, recording the sound this computer plays."
espeak-ng -w demo/sentence.wav "$sentence"
rm -f demo/recording.wav
./build-demo/tarn-audio-tap --output demo/recording.wav &
tool=$!
sleep 0.5
paplay demo/sentence.wav
sleep 0.3
kill -TERM "$tool"
wait "$tool" && status=0 || status=$?
echo "tarn-audio-tap ended with status $status"

soxi demo/recording.wav
sox demo/recording.wav -n spectrogram -o demo/spectrogram.png -t "tarn-audio-tap: $sentence"
echo "Spectrogram: demo/spectrogram.png"
