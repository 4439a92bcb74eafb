#!/usr/bin/env bash
# Writes what the web tests read into build/web: the hosts' samples and the
# benchmark pictures (with an 8192 x 8192 one), from the native builds.
set -euo pipefail
cd "$(dirname "$0")/../.."
work=${KX_WEB_WORK:-build/web}
mkdir -p "$work/samples" "$work/pictures"
build/release/tests/make_samples "$work/samples"
[ -f "$work/pictures/large.kx" ] || build/release/web/kx_web_reference pictures "$work/pictures"
