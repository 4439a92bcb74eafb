#!/usr/bin/env bash
# KDE's thumbnails of KX files: the desktop component installed into a
# prefix of its own (the Qt plug-in and the MIME type), KDE's thumbnailer
# (kio-extras) from the system, KIO::PreviewJob run offscreen under a
# private HOME by desktop/kde/kde_preview, which compares each thumbnail
# with the library's pixels.
#
# usage: desktop/kde/run.sh [BUILD_DIR]   (default build/release)
set -uo pipefail
cd "$(dirname "$0")/../.."
build=$(cd "${1:-build/release}" && pwd)
[ -x "$build/desktop/kde_preview" ] ||
  { echo "kde: $build/desktop/kde_preview missing (apt-get install libkf5kio-dev kio-extras, then build)" >&2; exit 1; }
qt_plugins=$(qtpaths --plugin-dir 2>/dev/null || qmake -query QT_INSTALL_PLUGINS)
[ -e "$qt_plugins/kf5/thumbcreator/imagethumbnail.so" ] ||
  { echo "kde: KDE's image thumbnailer missing (apt-get install kio-extras)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/kx-kde.XXXXXX")
trap '[ -n "${KX_KEEP:-}" ] || rm -rf "$work"' EXIT
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_CACHE_HOME=$work/home/.cache
export XDG_DATA_HOME=$work/home/.local/share XDG_RUNTIME_DIR=$work/runtime
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" "$work/files" && chmod 700 "$XDG_RUNTIME_DIR"
prefix=$work/prefix
cmake --install "$build" --component desktop --prefix "$prefix" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; exit 1; }
# The installed plug-in first, then the system's plug-ins (the thumbnailer,
# the offscreen platform); the installed MIME database first, then the
# system's.
installed_plugins=$(dirname "$(dirname "$(find "$prefix" -name libkximage.so)")")
export QT_PLUGIN_PATH=$installed_plugins:$qt_plugins
export XDG_DATA_DIRS=$prefix/share:/usr/share
export QT_QPA_PLATFORM=offscreen

# The golden files whose stream is complete or cut, under their names and
# without an extension (the MIME type by content).
files=()
for kx in tests/data/decode/*.kx; do
  name=$(basename "$kx" .kx)
  cp "$kx" "$work/files/$name.kx"
  cp "$kx" "$work/files/$name"
  files+=("$work/files/$name.kx" "$work/files/$name")
done
timeout 300 "$build/desktop/kde_preview" 128 "${files[@]}" 2>"$work/err"
status=$?
[ $status -eq 0 ] || { echo "kde: kde_preview exited $status"; cat "$work/err"; }
exit $status
