#!/usr/bin/env bash
# Retakes docs/screenshot.png: the program delays a tone on the private sound server by 5 s
# and records it, drawn without a display.
set -euo pipefail
cd "$(dirname "$0")/.."
here=$(pwd)
launcher=$(command -v ccache || true)
cmake -S . -B build-shot -DCMAKE_C_COMPILER_LAUNCHER="$launcher" \
  -DCMAKE_CXX_COMPILER_LAUNCHER="$launcher" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUNA_BUILD_TESTS=OFF \
  -DUNA_BUILD_BENCH=OFF -DUNA_BUILD_SCREENSHOT=ON >/dev/null
cmake --build build-shot -j "$(nproc)" --target una_screenshot

# shellcheck source=scripts/sound-server.sh
. scripts/sound-server.sh
sound_server_start
# A short path for the file name shown in the window.
work=/tmp/shot
rm -rf "$work" && mkdir -p "$work"
tone_pid=""
cleanup() {
  [ -n "$tone_pid" ] && kill "$tone_pid" 2>/dev/null || true
  sound_server_stop
  rm -rf "$work"
}
trap cleanup EXIT
PULSE_SINK=radio speaker-test -t sine -f 440 -c 2 -r 44100 -l 0 >/dev/null 2>&1 &
tone_pid=$!

settings() {  # file, language, skin
  cat >"$1" <<INI
[waveOut]
deviceName=tv
[waveIn]
deviceName=radio.monitor
saveToFile=1
fileName=$work/partido.wav
[delay]
delaysec=5000
[form]
language=$2
[skin]
skin=$3
INI
}
settings "$work/es.ini" "" ""
settings "$work/en.ini" uk "$here/skins/noche.skn"
QT_QPA_PLATFORM=offscreen \
  build-shot/docs/una_screenshot docs/screenshot.png "$work/es.ini" "$work/en.ini" 7
echo "docs/screenshot.png retaken"
