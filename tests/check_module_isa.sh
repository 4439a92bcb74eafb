#!/usr/bin/env bash
# Fails unless every SSE instruction (and any other use of the xmm, ymm, zmm
# or mm registers) in the module's code lies in a SIMD kernel: the module
# must run on a 32-bit processor without SSE2, where it calls no kernel.
#
#   check_module_isa.sh OBJDUMP MODULE MAP KERNEL...
#
# MODULE is the file as it ships (stripped); MAP is the linker's map of that
# same link, which says which object each piece of code came from. KERNEL
# patterns (extended regular expressions) name the objects allowed to hold
# SSE code, e.g. 'delta_sse2\.cpp\.obj$'.
set -euo pipefail
objdump=$1
module=$2
map=$3
shift 3
kernels=$(IFS='|'; echo "$*")

# The map must describe this module: same start of the code section.
text_vma=$("$objdump" -h "$module" | awk '$2 == ".text" {print $4}')
map_vma=$(awk '/^\.text / {print $2; exit}' "$map")
if [ -z "$text_vma" ] || [ -z "$map_vma" ] || [ $((16#$text_vma)) -ne $((map_vma)) ]; then
  echo "the map does not describe $module: code at 0x$text_vma, map says $map_vma"
  exit 1
fi

# Input sections of the code: start, size, object (a long section name puts
# the numbers on the next line). Discarded sections come first in the map,
# at address 0; they are skipped.
ranges=$(awk '
  /^Linker script and memory map/ { in_map = 1 }
  !in_map { next }
  /^ \.text/ {
    if (NF >= 4) { print $2, $3, $4 } else { pending = 1 }
    next
  }
  pending && NF >= 3 && $1 ~ /^0x/ { print $1, $2, $3 }
  { pending = 0 }
' "$map")

# SSE instructions as objdump prints them (AT&T syntax): the vector registers,
# and the SSE instructions that name none (fences, non-temporal integer
# stores, cache control, the SSE control register, MMX state).
sse='%[xyz]mm[0-9]|%mm[0-7]|(^|[[:space:]])(sfence|lfence|mfence|movnti|clflush|prefetch[a-z0-9]*|ldmxcsr|stmxcsr|emms|maskmovq)([[:space:]]|$)'

"$objdump" -d --no-show-raw-insn "$module" |
  awk -v ranges="$ranges" -v kernels="$kernels" -v sse="$sse" '
    function hex(s,    v, k) {
      sub(/^0x/, "", s)
      v = 0
      for (k = 1; k <= length(s); ++k) v = v * 16 + index("0123456789abcdef", tolower(substr(s, k, 1))) - 1
      return v
    }
    BEGIN {
      n = split(ranges, line, "\n")
      for (k = 1; k <= n; ++k) {
        split(line[k], f, " ")
        start[k] = hex(f[1]); end[k] = start[k] + hex(f[2]); object[k] = f[3]
      }
    }
    /^ *[0-9a-f]+:/ && $0 ~ sse {
      address = hex(substr($1, 1, length($1) - 1))
      owner = "(no object)"
      for (k = 1; k <= n; ++k) if (address >= start[k] && address < end[k]) { owner = object[k]; break }
      if (owner ~ kernels) { ++in_kernels; next }
      ++outside
      if (outside <= 20) printf "outside the kernels: %s in %s\n", $0, owner
    }
    END {
      if (outside > 0) { printf "%d SSE instructions outside the kernels\n", outside; exit 1 }
      # A scan that finds no SSE at all has scanned the wrong thing.
      if (in_kernels == 0) { print "no SSE instructions found in the kernels either"; exit 1 }
      printf "%d SSE instructions, all in the kernels\n", in_kernels
    }'
