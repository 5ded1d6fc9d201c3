#!/usr/bin/env bash
# Installs the Debian packages a build needs, only those that are missing.
# Usage: scripts/deps.sh build|test|run
set -euo pipefail
want=(g++ cmake make pkg-config libasound2-dev libgtest-dev libgmock-dev libbenchmark-dev
      pulseaudio pulseaudio-utils libasound2-plugins alsa-utils qt6-base-dev)
# The sound server's own client library, and sd-bus for asking RealtimeKit.
want+=(libpulse-dev libsystemd-dev)
# A private message bus for the test of asking RealtimeKit.
[ "${1:-build}" = test ] && want+=(dbus-daemon)
# libgsm: the GSM 6.10 codec of compressed WAV recordings.
want+=(libgsm1-dev)
case "${1:-build}" in
  test) want+=(clang libclang-rt-14-dev sox python3) ;;
  run) ;;
  build) ;;
  *) echo "usage: $0 build|test|run" >&2; exit 2 ;;
esac
# The site's certificate is checked against the system's authorities.
want+=(ca-certificates)
# The network tests make a certificate of their own and serve it from Python.
if [ "${1:-build}" = test ]; then want+=(openssl python3); fi
# sndfile-info: a second outside reader of the compressed WAV files.
if [ "${1:-build}" = test ]; then want+=(sndfile-programs); fi
if [ -f "$(dirname "$0")/deps.extra" ]; then
  # shellcheck disable=SC2207
  want+=($(grep -v '^#' "$(dirname "$0")/deps.extra"))
fi
missing=()
for pkg in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
