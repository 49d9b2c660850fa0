#!/usr/bin/env bash
# Installs, from Debian's archive, what building, running and testing the tool needs. Does nothing
# when everything is there already.
set -euo pipefail

packages=(
  build-essential cmake pkg-config            # the build
  libpulse-dev libsndfile1-dev                # the libraries the tool is built on
  googletest libgtest-dev libgmock-dev libbenchmark-dev  # tests and benchmarks
  pulseaudio pulseaudio-utils                 # a private sound server for the demo and the tests
  pipewire pipewire-pulse wireplumber dbus-daemon dbus-bin  # the same tests against PipeWire
  sox espeak-ng python3 util-linux man-db     # sounds to play, files to inspect, test drivers
  nodejs                                      # the Node client's example, run by the tests
  clang libclang-rt-14-dev                    # the fuzz target
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
(( ${#missing[@]} == 0 )) && exit 0

sudo=""
(( EUID == 0 )) || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
