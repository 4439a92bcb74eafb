#!/usr/bin/env bash
# `cmake --install` of the desktop files: into a DESTDIR staging folder
# with the prefix /usr, exactly the four files land where gdk-pixbuf, Qt,
# shared-mime-info and the thumbnailers look, and no cache is refreshed (a
# package does that after unpacking); with the default prefix, a warning
# for each loader that its library will not find it there; into a prefix of
# its own, that prefix's MIME database is refreshed, and GLib then names KX
# files image/x-kx by content and by suffix, as file managers ask it.
#
#   check_desktop_install.sh BUILD_DIR PIXBUF_MODULE_SUBDIR QT_PLUGIN_SUBDIR KX_FILE
set -euo pipefail
build=$1
pixbuf_subdir=$2
qt_subdir=$3
kx_file=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() {
  echo "$*"
  failed=1
}

stage=$work/stage
DESTDIR=$stage cmake --install "$build" --prefix /usr --component desktop >"$work/staged.log"
find "$stage" -type f | sed "s#^$stage/##" | sort >"$work/files"
printf '%s\n' "usr/$pixbuf_subdir/libpixbufloader-kx.so" "usr/$qt_subdir/imageformats/libkximage.so" \
  usr/share/mime/packages/kx.xml usr/share/thumbnailers/kx.thumbnailer | sort >"$work/expected"
if ! diff -u "$work/expected" "$work/files"; then
  fail "the staged install is not the four desktop files"
fi
if grep -q Refreshing "$work/staged.log"; then
  fail "a cache was refreshed although DESTDIR was set"
fi
if grep -q "will not open KX pictures" "$work/staged.log"; then
  fail "the install into the libraries' own prefix warned that the loaders are not found"
fi
# The default prefix (/usr/local) is where neither library looks: the
# install says so for each.
DESTDIR=$work/default cmake --install "$build" >"$work/default.log" 2>&1
for library in "gdk-pixbuf reads loaders from" "Qt looks for image-format plug-ins in"; do
  tr -s ' \n' ' ' <"$work/default.log" | grep -q "$library .* will not open KX pictures" ||
    fail "an install with the default prefix did not warn: $library ..."
done
thumbnailer_entry=$stage/usr/share/thumbnailers/kx.thumbnailer
if [ -f "$thumbnailer_entry" ]; then
  grep -qx 'MimeType=image/x-kx;' "$thumbnailer_entry" || fail "the thumbnailer entry names no image/x-kx"
  grep -qE '^Exec=[^ ]*gdk-pixbuf-thumbnailer -s %s %u %o$' "$thumbnailer_entry" ||
    fail "the thumbnailer entry does not run gdk-pixbuf-thumbnailer"
fi

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" --component desktop >"$work/prefix.log" 2>&1
[ -f "$prefix/share/mime/mime.cache" ] || fail "the prefix's MIME database was not refreshed"
grep -q "loaders cache is left as it is" "$work/prefix.log" ||
  fail "an install outside gdk-pixbuf's prefix did not say that its loaders cache is left alone"
# By content alone; by suffix alone (a header without the delta coding
# byte, which the signature bytes do not match).
cp "$kx_file" "$work/no-suffix"
{
  printf 'KX\003\003'
  head -c 28 /dev/zero
} >"$work/no-delta.kx"
for file in "$work/no-suffix" "$work/no-delta.kx"; do
  type=$(XDG_DATA_HOME=$prefix/share gio info -a standard::content-type "$file" | awk '/content-type/ {print $2}')
  [ "$type" = image/x-kx ] || fail "GLib names $(basename "$file") $type, not image/x-kx"
done

[ $failed -eq 0 ] && echo "installed: the four desktop files in their places; MIME type by content and suffix"
exit $failed
