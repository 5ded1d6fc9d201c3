#!/usr/bin/env bash
# Runs a sound test against a private PulseAudio of its own, so sound tests need not take
# turns at one server's two sinks and can run side by side: they mostly wait for audio.
# Only when the test command runs a private PulseAudio (UNA_SOUND_SERVER=1); on its private
# PipeWire, or with no server at all, the test runs as it is.
# Usage: scripts/own-sound-server.sh PROGRAM [ARGUMENTS...]
set -uo pipefail
if [ "${UNA_SOUND_SERVER:-}" != 1 ] || [ "${UNA_SOUND_SERVER_KIND:-}" = pipewire ]; then
  exec "$@"
fi
# shellcheck source=scripts/sound-server.sh
. "$(dirname "$0")/sound-server.sh"
# A server that cannot start here fails the test: the shared one is no safe fallback, since
# the test would share it with others.
sound_server_start >/dev/null || exit 1
trap sound_server_stop EXIT
trap 'exit 143' TERM INT
"$@"
