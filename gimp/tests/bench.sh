#!/usr/bin/env bash
# GIMP's time to open and to export a photograph as KX against the same as
# PNG, paired: one gimp-console batch that opens and exports the same
# picture in both formats in turn (KX first in even rounds, PNG first in
# odd ones), each step between two console messages that are timestamped as
# they arrive. The times include GIMP's start of the plug-in process for
# each call, as a user's File > Open does.
#
# usage: gimp/tests/bench.sh [BUILD_DIR] [ROUNDS]
# The photograph: KX_BENCH_PHOTO (default Garden.jpg, 2560 x 1600, of
# Debian's mate-backgrounds), through djpeg (libjpeg-turbo-progs).
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$(cd "${1:-build/release}" && pwd)
rounds=${2:-5}
photo=${KX_BENCH_PHOTO:-/usr/share/backgrounds/mate/nature/Garden.jpg}
[ -r "$photo" ] && command -v djpeg >/dev/null ||
  { echo "no photograph: $photo or djpeg missing (apt-get install mate-backgrounds libjpeg-turbo-progs)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/kx-gimp-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
export HOME=$work/home GIMP2_DIRECTORY=$work/gimpdir XDG_CONFIG_HOME=$work/home/.config XDG_CACHE_HOME=$work/home/.cache
djpeg -ppm "$photo" >"$work/photo.ppm"
"$build/tools/kxconv" encode "$work/photo.ppm" "$work/photo.kx"
"$build/tools/kxconv" decode "$work/photo.kx" "$work/photo.png"
printf '(plug-in-path "${gimp_dir}/plug-ins:${gimp_plug_in_dir}/plug-ins:%s")\n' "$build/gimp/plug-ins" >"$work/gimprc"

step() {  # label, expression
  printf '(gimp-message "start %s") %s (gimp-message "end %s")' "$1" "$2" "$1"
}
kx() {
  step "kx-open" "(set! image (car (gimp-file-load RUN-NONINTERACTIVE \"$work/photo.kx\" \"photo.kx\")))"
  step "kx-export" "(file-kx-save RUN-NONINTERACTIVE image (car (gimp-image-get-active-drawable image)) \"$work/out.kx\" \"out.kx\" 6)"
  printf '(gimp-image-delete image)'
}
png() {
  step "png-open" "(set! image (car (gimp-file-load RUN-NONINTERACTIVE \"$work/photo.png\" \"photo.png\")))"
  step "png-export" "(file-png-save-defaults RUN-NONINTERACTIVE image (car (gimp-image-get-active-drawable image)) \"$work/out.png\" \"out.png\")"
  printf '(gimp-image-delete image)'
}
body="(define image 0)"
for ((r = 0; r < rounds; r++)); do
  if ((r % 2 == 0)); then body+="$(kx)$(png)"; else body+="$(png)$(kx)"; fi
done
gimp-console -g "$work/gimprc" -i -d -f -n -b "(begin $body)" -b "(gimp-quit 0)" 2>&1 |
  while IFS= read -r line; do echo "$(date +%s%N) $line"; done >"$work/log"

awk -v rounds="$rounds" '
  $2 == "script-fu-Warning:" && $3 == "start" { begun[$4] = $1 }
  $2 == "script-fu-Warning:" && $3 == "end" { ms = ($1 - begun[$4]) / 1e6; t[$4, ++n[$4]] = ms }
  END {
    if (n["kx-open"] != rounds || n["png-open"] != rounds) { print "incomplete run"; exit 1 }
    for (k = 1; k <= rounds; k++) {
      printf "round %d: open KX %.0f ms, PNG %.0f ms (%.2f); export KX %.0f ms, PNG %.0f ms (%.2f)\n", k,
        t["kx-open", k], t["png-open", k], t["kx-open", k] / t["png-open", k],
        t["kx-export", k], t["png-export", k], t["kx-export", k] / t["png-export", k]
      printf "ratio open %.3f\nratio export %.3f\n", t["kx-open", k] / t["png-open", k],
        t["kx-export", k] / t["png-export", k] >"/dev/stderr"
    }
  }' "$work/log" 2>"$work/ratios"
for what in open export; do
  echo "median ratio KX / PNG, $what: $(grep "ratio $what" "$work/ratios" | awk '{print $3}' | sort -n |
    awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}') ($rounds rounds)"
done
ls -l "$work/photo.kx" "$work/out.kx" "$work/photo.png" "$work/out.png" | awk '{print $5, $9}' | sed "s|$work/||"
