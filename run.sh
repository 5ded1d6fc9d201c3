#!/usr/bin/env bash
# Sets up everything, builds the program and starts it: the window when there is a display,
# otherwise a short demonstration without a window. When no sound device can be reached (a
# bare server), a private PulseAudio with two null sinks is started first and stopped at the end.
# Arguments go to the program as they are: ./run.sh --headless --delay 5, ./run.sh --help.
set -euo pipefail
cd "$(dirname "$0")"
scripts/deps.sh run
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"
program=build/app/ruzizavuvodideza

sound_reachable() {
  pactl info >/dev/null 2>&1 && return 0          # PulseAudio or PipeWire
  aplay -l 2>/dev/null | grep -q '^card ' && return 0  # a card ALSA can open directly
  return 1
}

own_server=""
tone_pid=""
cleanup() {
  [ -n "$tone_pid" ] && kill "$tone_pid" 2>/dev/null || true
  [ -n "$own_server" ] && sound_server_stop
  return 0
}
trap cleanup EXIT

if ! sound_reachable; then
  echo "run.sh: no sound device is reachable; starting a private PulseAudio with two null sinks:"
  echo "        the program records from 'radio' and plays to 'tv'."
  # shellcheck source=scripts/sound-server.sh
  . scripts/sound-server.sh
  sound_server_start
  own_server=1
fi

if [ $# -gt 0 ]; then
  status=0
  "$program" "$@" || status=$?
  exit $status
fi

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  status=0
  "$program" || status=$?
  exit $status
fi

echo "run.sh: there is no display (DISPLAY and WAYLAND_DISPLAY are unset), so no window;"
echo "        running a 10-second demonstration without one instead:"
echo "        $program --headless --delay 2 --duration 10"
if [ -n "$own_server" ]; then
  # Something to hear on the private 'radio': a 440 Hz tone, which reaches 'tv' 2 s later.
  PULSE_SINK=radio speaker-test -t sine -f 440 -c 2 -r 44100 -l 0 >/dev/null 2>&1 &
  tone_pid=$!
fi
status=0
"$program" --headless --delay 2 --duration 10 || status=$?
exit $status
