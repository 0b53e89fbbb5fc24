#!/usr/bin/env bash
# Runs scripts/check-format in a throw-away git repository holding a copy of
# the script, its helpers and the tree's .clang-format, with real clang-format.
set -euo pipefail
root="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# Run from a folder outside any checkout, as a build folder may be.
cd "$work"
failures=0

fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

repo="$work/repo"
mkdir -p "$repo/scripts/lib" "$repo/src" "$repo/lib dir"
cp "$root/scripts/check-format" "$repo/scripts/"
cp "$root/scripts/lib/common.sh" "$repo/scripts/lib/"
cp "$root/.clang-format" "$repo/"
check="$repo/scripts/check-format"

good='int twice(int x)
{
    const int y = 2 * x;
    return y;
}
'
bad='int twice(int x) {
  const int y = 2*x;
  return y;
}
'
printf '%s' "$good" >"$repo/src/good.cpp"
printf '%s' "$good" >"$repo/lib dir/spaced name.h"
git -C "$repo" init -q
git -C "$repo" add .

# Runs the check; prints its output and its exit status on the last line.
run() {
  local status=0 out
  out="$("$@" 2>&1)" || status=$?
  printf '%s\nstatus=%s\n' "$out" "$status"
}

# Formatted: exit 0.
out="$(run "$check")"
grep -q '^status=0$' <<<"$out" || fail "formatted tree: $out"

# An untracked file is not the check's business.
printf '%s' "$bad" >"$repo/src/untracked.cpp"
out="$(run "$check")"
grep -q '^status=0$' <<<"$out" || fail "untracked file checked: $out"

# A tracked file in another layout: exit 1, named, with the fix command;
# the formatted files are not named and nothing is rewritten.
printf '%s' "$bad" >"$repo/src/bad.cpp"
printf '%s' "$bad" >"$repo/lib dir/spaced bad.h"
git -C "$repo" add src/bad.cpp "lib dir/spaced bad.h"
out="$(run "$check")"
grep -q '^status=1$' <<<"$out" || fail "bad file: expected status 1: $out"
grep -qx '  src/bad.cpp' <<<"$out" || fail "bad file not named: $out"
grep -qx '  lib dir/spaced bad.h' <<<"$out" || fail "file name with a blank not named whole: $out"
grep -q 'good.cpp\|spaced name.h\|untracked' <<<"$out" && fail "formatted or untracked file named: $out"
grep -q 'scripts/check-format --fix' <<<"$out" || fail "fix command not named: $out"
[ "$(cat "$repo/src/bad.cpp")" = "${bad%$'\n'}" ] || fail "dry run rewrote the file"

# Paths narrow the check, taken from the caller's folder.
out="$(cd "$repo/src" && run "$check" good.cpp)"
grep -q '^status=0$' <<<"$out" || fail "narrowed to a formatted file: $out"
out="$(cd "$repo/lib dir" && run "$check" .)"
grep -q '^status=1$' <<<"$out" || fail "narrowed to a folder with a bad file: $out"
grep -q 'src/bad.cpp' <<<"$out" && fail "file outside the narrowed folder named: $out"

# A tracked file deleted from disk is not a layout error. (The path is the
# repository's: run from there, not from wherever the tests run.)
rm "$repo/src/good.cpp"
out="$(cd "$repo" && run "$check" src/good.cpp)"
grep -q '^status=0$' <<<"$out" || fail "deleted file: $out"
printf '%s' "$good" >"$repo/src/good.cpp"

# --fix rewrites only the bad files; afterwards the check passes.
touch -d '2000-01-01' "$repo/src/good.cpp"
out="$(run "$check" --fix)"
grep -q '^status=0$' <<<"$out" || fail "--fix: $out"
[ "$(cat "$repo/src/bad.cpp")" = "${good%$'\n'}" ] || fail "--fix did not reformat: $(cat "$repo/src/bad.cpp")"
[ "$(stat -c %Y "$repo/src/good.cpp")" = "$(date -d '2000-01-01' +%s)" ] || fail "--fix touched a formatted file"
[ "$(cat "$repo/src/untracked.cpp")" = "${bad%$'\n'}" ] || fail "--fix touched an untracked file"
out="$(run "$check")"
grep -q '^status=0$' <<<"$out" || fail "after --fix: $out"

# An unpacked tree without git: every file outside build folders is checked.
plain="$work/plain"
mkdir -p "$plain/src" "$plain/build-x"
cp -r "$repo/scripts" "$repo/.clang-format" "$plain/"
printf '%s' "$good" >"$plain/src/good.cpp"
printf '%s' "$bad" >"$plain/build-x/generated.cpp"
out="$(run "$plain/scripts/check-format")"
grep -q '^status=0$' <<<"$out" || fail "plain tree, formatted: $out"
printf '%s' "$bad" >"$plain/src/bad.cpp"
out="$(run "$plain/scripts/check-format")"
grep -q '^status=1$' <<<"$out" && grep -qx '  src/bad.cpp' <<<"$out" || fail "plain tree, bad file: $out"
grep -q 'generated.cpp' <<<"$out" && fail "plain tree: build folder checked: $out"

# A broken .clang-format is a failure of the check, never a pass.
printf 'IndentWidth: [\n' >"$repo/.clang-format"
out="$(run "$check")"
grep -q '^status=2$' <<<"$out" || fail "broken settings: expected status 2: $out"

# An unknown option is refused.
out="$(run "$check" --fixx)"
grep -q '^status=2$' <<<"$out" || fail "unknown option accepted: $out"

[ "$failures" -eq 0 ] && echo "check-format: all cases passed"
exit "$failures"
