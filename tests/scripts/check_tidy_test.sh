#!/usr/bin/env bash
# Runs scripts/check-tidy with real clang-tidy in a throw-away tree holding a
# copy of the script, its helpers and the project's .clang-tidy, a few small
# sources and a compile_commands.json laid out as CMake writes it.
set -euo pipefail
root="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0

fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

tree="$work/tree"
mkdir -p "$tree/scripts/lib" "$tree/comms" "$tree/app/device" "$tree/tests" "$tree/build"
cp "$root/scripts/check-tidy" "$tree/scripts/"
cp "$root/scripts/lib/common.sh" "$tree/scripts/lib/"
cp "$root/.clang-tidy" "$tree/"
check="$tree/scripts/check-tidy"

cat >"$tree/comms/good.cpp" <<'EOF'
#include "device/helper.h"
int twice(int x) { return helper(x) * 2; }
EOF
cat >"$tree/app/device/helper.h" <<'EOF'
inline int helper(int x) { return x; }
EOF
# A written file whose close is not checked: the kind of fault the set is for.
cat >"$tree/comms/bad.cpp" <<'EOF'
#include <cstdio>
void save(const char* path)
{
    if (std::FILE* f = std::fopen(path, "w")) {
        std::fputs("data", f);
        std::fclose(f);
    }
}
EOF
# Outside the three folders: never checked, however bad.
cp "$tree/comms/bad.cpp" "$tree/tests/other.cpp"

database() {
  local first=1
  echo "["
  for f in "$@"; do
    [ "$first" = 1 ] || echo ","
    first=0
    printf '{\n  "directory": "%s",\n  "command": "/usr/bin/c++ -std=c++20 -I%s -o x.o -c %s",\n  "file": "%s"\n}' \
      "$tree/build" "$tree/app" "$tree/$f" "$tree/$f"
  done
  echo "]"
}
# comms/good.cpp twice, as for a file built into two targets.
database comms/good.cpp comms/good.cpp comms/bad.cpp tests/other.cpp >"$tree/build/compile_commands.json"

run() {
  local status=0 out
  out="$("$@" 2>&1)" || status=$?
  printf '%s\nstatus=%s\n' "$out" "$status"
}

# A finding: exit 1, the file and the check named; the clean file and the
# file outside the folders are not.
out="$(run "$check" -p "$tree/build")"
grep -q '^status=1$' <<<"$out" || fail "finding: expected status 1: $out"
grep -qx '  comms/bad.cpp' <<<"$out" || fail "finding: file not named: $out"
grep -q 'cert-err33-c' <<<"$out" || fail "finding: check not named: $out"
grep -q 'in 1 of 2 file' <<<"$out" || fail "finding: files counted wrong (duplicate or outside file?): $out"
grep -q 'other.cpp' <<<"$out" && fail "file outside the folders checked: $out"

# Clean file only, narrowed by a path relative to the caller: exit 0.
out="$(cd "$tree/comms" && run "$check" -p ../build good.cpp)"
grep -q '^status=0$' <<<"$out" || fail "clean file: $out"

# A finding in one of the project's own headers counts.
echo 'inline int* none() { return 0; }' >>"$tree/app/device/helper.h"
out="$(run "$check" -p "$tree/build" "$tree/comms/good.cpp")"
grep -q '^status=1$' <<<"$out" || fail "own header: expected status 1: $out"
grep -q 'helper.h.*modernize-use-nullptr' <<<"$out" || fail "own header: finding not shown: $out"

# --fix applies the fix-it; the run after it is clean.
out="$(run "$check" -p "$tree/build" --fix "$tree/comms/good.cpp")"
grep -q 'return nullptr;' "$tree/app/device/helper.h" || fail "--fix: header not fixed: $out"
out="$(run "$check" -p "$tree/build" "$tree/comms/good.cpp")"
grep -q '^status=0$' <<<"$out" || fail "after --fix: $out"

# Refusals: a file outside the folders, a build without compile commands, an
# unknown option.
out="$(run "$check" -p "$tree/build" "$tree/tests/other.cpp")"
grep -q '^status=2$' <<<"$out" || fail "outside file accepted: $out"
out="$(run "$check" -p "$work/nowhere")"
grep -q '^status=2$' <<<"$out" && grep -q 'compile_commands.json' <<<"$out" || fail "missing database: $out"
out="$(run "$check" --fixx)"
grep -q '^status=2$' <<<"$out" || fail "unknown option accepted: $out"

[ "$failures" -eq 0 ] && echo "check-tidy: all cases passed"
exit "$failures"
