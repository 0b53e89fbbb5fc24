#!/usr/bin/env bash
# scripts/run on a fresh machine without a display: it installs and builds
# first, so that the advice it then gives (xvfb-run, the CLI) can be
# followed. Stand-ins for the package manager and cmake record the order.
set -euo pipefail
root="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

tree="$work/tree"
mkdir -p "$tree/scripts/lib" "$work/bin"
cp "$root/scripts/run" "$tree/scripts/"
cp "$root/scripts/lib/common.sh" "$root/scripts/lib/packages.txt" "$tree/scripts/lib/"
for tool in grep sed awk cat dirname; do ln -sf "$(command -v "$tool")" "$work/bin/$tool"; done
log="$work/calls.log"
# Nothing installed yet; every call is recorded in order.
cat >"$work/bin/dpkg-query" <<STUB
#!/bin/bash
exit 1
STUB
for tool in apt-get cmake; do
  printf '#!/bin/bash\necho "%s $*" >>"%s"\n' "$tool" "$log" >"$work/bin/$tool"
done
printf '#!/bin/bash\necho 0\n' >"$work/bin/id"
chmod +x "$work/bin"/*

status=0
out="$(env -i PATH="$work/bin" "$BASH" "$tree/scripts/run" 2>&1)" || status=$?
[ "$status" = 1 ] || fail "expected exit status 1 without a display, got $status: $out"
grep -q "xvfb-run -a scripts/run" <<<"$out" || fail "no advice for a virtual display: $out"
grep -q "apt-get install .*xvfb" "$log" 2>/dev/null || fail "the packages (xvfb-run among them) were not installed first: $(cat "$log" 2>/dev/null)"
grep -q "^cmake --build" "$log" 2>/dev/null || fail "nothing was built before the advice: $(cat "$log" 2>/dev/null)"
install_line="$(grep -n "apt-get install" "$log" | head -1 | cut -d: -f1)"
build_line="$(grep -n "^cmake --build" "$log" | head -1 | cut -d: -f1)"
[ -n "$install_line" ] && [ -n "$build_line" ] && [ "$install_line" -lt "$build_line" ] \
  || fail "expected the install before the build: $(cat "$log" 2>/dev/null)"

# --help needs no display and still gets the set-up (it is the program's).
: >"$log"
env -i PATH="$work/bin" "$BASH" "$tree/scripts/run" --help >/dev/null 2>&1 || true
grep -q "^cmake --build" "$log" || fail "--help did not build"

[ "$failures" -eq 0 ] && echo "run without a display: all cases passed"
exit "$failures"
