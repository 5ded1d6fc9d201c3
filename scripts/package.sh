#!/usr/bin/env bash
# Builds the Debian package from the working tree into build-package/:
#   scripts/package.sh            then: sudo apt install ./build-package/ruzizavuvodideza_*.deb
# The tree is copied to build-package/src first, so the build leaves nothing in the tree, and
# the same path each time lets a compiler cache serve the next build.
set -euo pipefail
cd "$(dirname "$0")/.."
here=$(pwd)
scripts/deps.sh package
out=$here/build-package
rm -rf "$out/src" "$out"/ruzizavuvodideza_* "$out"/ruzizavuvodideza-dbgsym_*
mkdir -p "$out/src"
tar -C "$here" --exclude='./build*' --exclude='./obj-*' --exclude=./.git \
  --exclude=./fuzz/artifacts -cf - . | tar -C "$out/src" -xf -
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  # debhelper gives the build a HOME of its own: name the user's cache, or it starts empty.
  CCACHE_DIR=${CCACHE_DIR:-$(ccache -k cache_dir)}
  export CCACHE_DIR
fi
(cd "$out/src" && DEB_BUILD_OPTIONS="parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}" \
   dpkg-buildpackage -b -us -uc >"$out/build.log" 2>&1) || {
  tail -n 60 "$out/build.log" >&2; echo "package build FAILED (log: $out/build.log)" >&2; exit 1; }
rm -rf "$out/src"
ls "$out"/*.deb
