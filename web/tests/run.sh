#!/usr/bin/env bash
# The web package's step of the test command: installs the test tooling from
# the lockfile, builds the WebAssembly modules and the native reference,
# writes the test pictures, runs the Node, package and browser tests, and
# measures the builds against the native library (build/web/bench.json).
set -euo pipefail
cd "$(dirname "$0")/.."
# puppeteer-core downloads no browser; the tests drive Debian's chromium.
PUPPETEER_SKIP_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error
./build.sh
tests/prepare.sh
node --test --test-reporter=tap tests/node.test.js tests/package.test.js
node --test --test-reporter=tap tests/consumer.test.js
node --test --test-reporter=tap tests/browser.test.js
node --test --test-reporter=tap tests/engines.test.js
node tests/bench.js "${KX_WEB_BENCH_ROUNDS:-3}" 1
