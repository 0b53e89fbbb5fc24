#!/usr/bin/env bash
# Runs the scripts' package check with stand-ins for dpkg-query, apt-get, id
# and sudo on PATH, so the set-up path is tested without the package manager.
set -euo pipefail
root="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0

fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# A PATH holding only the stand-ins and the few real tools the check uses.
make_bin() {
  local bin="$1" uid="$2" with_sudo="$3"
  mkdir -p "$bin"
  for tool in grep sed awk cat dirname; do ln -sf "$(command -v "$tool")" "$bin/$tool"; done
  # As the real dpkg-query does for a name that is not installed: the others
  # on stdout, a message on stderr, exit status 1.
  cat >"$bin/dpkg-query" <<'STUB'
#!/bin/bash
shift 2
status=0
for p in "$@"; do
  if [ "$p" = "$MISSING_PACKAGE" ]; then
    echo "dpkg-query: no packages found matching $p" >&2
    status=1
  else
    echo "$p install ok installed"
  fi
done
exit $status
STUB
  cat >"$bin/apt-get" <<'STUB'
#!/bin/bash
echo "apt-get $*" >>"$APT_LOG"
STUB
  printf '#!/bin/bash\necho %s\n' "$uid" >"$bin/id"
  if [ "$with_sudo" = yes ]; then
    printf '#!/bin/bash\n[ "$1" = -n ] && shift\n"$@"\n' >"$bin/sudo"
  fi
  chmod +x "$bin"/*
}

# Runs ensure_packages in a child shell the way the scripts do; prints its
# output and "went on" when the caller would have carried on.
run_check() {
  local bin="$1"
  env -i PATH="$bin" MISSING_PACKAGE="$MISSING_PACKAGE" APT_LOG="$APT_LOG" \
    "$BASH" -c 'set -euo pipefail; source "$1/scripts/lib/common.sh"; ensure_packages; echo "went on"' _ "$root"
}

first_package="$(grep -v '^\s*#' "$root/scripts/lib/packages.txt" | sed '/^\s*$/d' | sed -n 2p)"

# Root, one package missing: it is named, installed, and the script goes on.
export MISSING_PACKAGE="$first_package" APT_LOG="$work/apt-root.log"
make_bin "$work/root-bin" 0 no
if out="$(run_check "$work/root-bin" 2>&1)"; then
  grep -q "Installing missing packages: $MISSING_PACKAGE\$" <<<"$out" || fail "root: missing package not named: $out"
  grep -q "went on" <<<"$out" || fail "root: script did not go on: $out"
  grep -q "install .*$MISSING_PACKAGE" "$APT_LOG" || fail "root: apt-get install not called for $MISSING_PACKAGE"
  [ "$(grep -c ' install ' "$APT_LOG")" = 1 ] || fail "root: expected one install call"
  grep -q "install .*cmake" "$APT_LOG" && fail "root: installed packages asked for again"
else
  fail "root: check failed: $out"
fi

# Nothing missing: quiet, no apt-get at all.
export MISSING_PACKAGE="" APT_LOG="$work/apt-none.log"
if out="$(run_check "$work/root-bin" 2>&1)"; then
  [ "$out" = "went on" ] || fail "complete: expected no output, got: $out"
  [ ! -e "$APT_LOG" ] || fail "complete: apt-get called"
else
  fail "complete: check failed: $out"
fi

# Not root, with sudo: installs through sudo.
export MISSING_PACKAGE="$first_package" APT_LOG="$work/apt-sudo.log"
make_bin "$work/sudo-bin" 1000 yes
if out="$(run_check "$work/sudo-bin" 2>&1)"; then
  grep -q "install .*$MISSING_PACKAGE" "$APT_LOG" || fail "sudo: not installed"
else
  fail "sudo: check failed: $out"
fi

# Not root and no sudo: a clear message with the install line, non-zero exit,
# and the caller stops.
export MISSING_PACKAGE="$first_package" APT_LOG="$work/apt-user.log"
make_bin "$work/user-bin" 1000 no
if out="$(run_check "$work/user-bin" 2>&1)"; then
  fail "user: check succeeded without a way to install: $out"
else
  grep -q "apt-get install $MISSING_PACKAGE" <<<"$out" || fail "user: install line not named: $out"
  grep -q "went on" <<<"$out" && fail "user: script went on"
  [ ! -e "$APT_LOG" ] || fail "user: apt-get called"
fi

[ "$failures" -eq 0 ] && echo "ensure_packages: all cases passed"
exit "$failures"
