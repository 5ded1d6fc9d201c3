#!/usr/bin/env bash
# Installs the Debian packages a build needs, only those that are missing.
# Usage: scripts/deps.sh build|test|run|package
set -euo pipefail
mode=${1:-build}
case "$mode" in
  build|test|run|package) ;;
  *) echo "usage: $0 build|test|run|package" >&2; exit 2 ;;
esac
want=(g++ cmake make pkg-config libasound2-dev libgtest-dev libgmock-dev libbenchmark-dev
      pulseaudio pulseaudio-utils libasound2-plugins alsa-utils qt6-base-dev
      libpulse-dev      # the sound server's own client library
      libpipewire-0.3-dev  # PipeWire's own client library, for its graph's clock
      libsystemd-dev    # sd-bus, for asking RealtimeKit for real-time scheduling
      libgsm1-dev       # the GSM 6.10 codec of compressed WAV recordings
      librsvg2-bin      # rsvg-convert draws the menu's PNG icon from the SVG
      libfftw3-dev      # the delay finder's transforms
      libcpp-httplib-dev nlohmann-json3-dev  # the phone remote's HTTP server and its JSON
      libqrencode-dev   # the phone remote's address as a QR code
      libavformat-dev libavcodec-dev libswresample-dev libavutil-dev  # internet stations
      ca-certificates)  # the web site's certificate is checked against the system's authorities
if [ "$mode" = test ]; then
  want+=(clang libclang-rt-14-dev  # the fuzz targets
         sox python3               # outside readers and signal tools of the sound tests
         dbus-daemon               # a private message bus for the RealtimeKit test
         pipewire pipewire-pulse wireplumber  # the echo tests run on PipeWire too
         openssl                   # the network tests make a certificate of their own
         sndfile-programs          # sndfile-info: a second outside reader of WAV files
         espeak-ng                 # the commentators of the delay finder's test pairs
         icecast2 ffmpeg)          # a station of the tests' own, and its sender
  want+=(chromium)                 # the phone remote's page in a real browser
  want+=(firefox-esr)              # ... and in the other one phones and desktops run
  # Node.js runs the browser test's driver; one from elsewhere (with its own npm) will do.
  command -v node >/dev/null || want+=(nodejs)
  command -v npm >/dev/null || want+=(npm)
fi
if [ "$mode" = test ] || [ "$mode" = package ]; then
  want+=(debhelper dpkg-dev     # scripts/package.sh: the Debian package
         lintian desktop-file-utils appstream man-db)  # the distribution's own checkers
fi
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
