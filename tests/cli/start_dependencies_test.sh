#!/usr/bin/env bash
# What fanscope-cli asks of the dynamic loader at every start: no shared C++
# runtime, not the communications library as a shared object, no run path,
# and in an optimised build (second argument "optimised", where rounding is
# compiled in line) not the maths library. Each of them cost a one-register
# command a good part of its time.
set -euo pipefail
program=$1
unwanted_libs='libstdc\+\+|libgcc_s|libvexlink06'
[ "${2:-}" = optimised ] && unwanted_libs+='|libm\.so'
dynamic=$(readelf -d "$program")
grep -q 'NEEDED.*libc\.so' <<<"$dynamic" || { echo "readelf shows no libc in $program"; exit 1; }
if unwanted=$(grep -E "NEEDED.*($unwanted_libs)|\\((RUN)?PATH\\)" <<<"$dynamic"); then
  echo "fanscope-cli loads more than it needs at start:"
  echo "$unwanted"
  exit 1
fi
