#!/usr/bin/env bash
# Sets up everything, builds the program and starts it.
set -euo pipefail
cd "$(dirname "$0")"
scripts/deps.sh run
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"
if [ -x build/app/ruzizavuvodideza ]; then
  exec build/app/ruzizavuvodideza "$@"
fi
echo "The libraries are built; the program itself is not written yet."
