#!/usr/bin/env bash
# Runs the browser test of the phone remote: installs its npm packages from the lock file when
# missing, then drives Debian's Chromium. Usage: tests/browser/run.sh PROGRAM [SCREENSHOT.png]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ ! -d "$here/node_modules/puppeteer-core" ]; then
  # puppeteer-core never fetches a browser; this one uses /usr/bin/chromium.
  (cd "$here" && PUPPETEER_SKIP_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error)
fi
exec node "$here/remote_page.mjs" "$@"
