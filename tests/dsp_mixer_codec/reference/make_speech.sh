#!/usr/bin/env bash
# Writes speech.raw: a short spoken sentence, 16000 Hz, 16-bit signed little-endian, mono,
# made with espeak-ng and sox from Debian.
# Run from anywhere: tests/dsp_mixer_codec/reference/make_speech.sh
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
espeak-ng -v en -s 150 -w "$work/speech.wav" "The match starts now."
sox "$work/speech.wav" -r 16000 -b 16 -c 1 -e signed-integer -t raw "$here/speech.raw" norm -3
