#!/usr/bin/env bash
# A private PulseAudio server with two null sinks: "radio" (what the program records, through
# radio.monitor), described as "Radio input", and "tv" (where it plays), "TV speakers". Source this file, then call sound_server_start and
# sound_server_stop; the environment it exports makes ALSA's default device reach the server.
sound_server_start() {
  if ! command -v pulseaudio >/dev/null; then
    echo "sound server: pulseaudio is not installed" >&2
    return 1
  fi
  export XDG_RUNTIME_DIR
  XDG_RUNTIME_DIR=$(mktemp -d /tmp/una-pulse.XXXXXX)
  chmod 700 "$XDG_RUNTIME_DIR"
  export PULSE_RUNTIME_PATH="$XDG_RUNTIME_DIR/pulse"
  export HOME_BEFORE_PULSE="${HOME:-}"
  # The server stops a real-time thread that computes 200 ms without a pause; its main thread
  # runs real-time here (below) and may take longer over loading a sink on a busy machine.
  echo "rlimit-rttime = 5000000" >"$XDG_RUNTIME_DIR/daemon.conf"
  PULSE_CONFIG="$XDG_RUNTIME_DIR/daemon.conf" pulseaudio --daemonize=yes -n --exit-idle-time=-1 --disallow-exit --log-target=stderr \
    --load=module-native-protocol-unix \
    --load="module-null-sink sink_name=radio sink_properties='device.description=\"Radio input\"'" \
    --load="module-null-sink sink_name=tv sink_properties='device.description=\"TV speakers\"'" 2>"$XDG_RUNTIME_DIR/pulse.log" || {
      echo "sound server: pulseaudio did not start:" >&2; cat "$XDG_RUNTIME_DIR/pulse.log" >&2; return 1; }
  for _ in $(seq 50); do
    pactl info >/dev/null 2>&1 && break
    sleep 0.1
  done
  if ! pactl info >/dev/null 2>&1; then
    echo "sound server: pulseaudio does not answer" >&2
    return 1
  fi
  # The server's main thread passes every stream's requests for audio on; at its usual nice
  # level a build beside the tests starved it for a tenth of a second and more, and the sinks
  # ran dry whatever the program did. Real time just below the server's own sink threads.
  local server_pid
  server_pid=$(cat "$PULSE_RUNTIME_PATH/pid" 2>/dev/null)
  [ -n "$server_pid" ] && chrt -r -p 4 "$server_pid" >/dev/null 2>&1
  pactl set-default-sink tv >/dev/null
  pactl set-default-source radio.monitor >/dev/null
  export UNA_SOUND_SERVER=1
  echo "sound server: private PulseAudio at $XDG_RUNTIME_DIR (sinks radio, tv)"
}

sound_server_stop() {
  [ -n "${UNA_SOUND_SERVER:-}" ] || return 0
  pulseaudio --kill >/dev/null 2>&1 || true
  rm -rf "$XDG_RUNTIME_DIR"
  unset UNA_SOUND_SERVER
}
