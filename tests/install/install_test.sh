#!/usr/bin/env bash
# Installs the build tree into a temporary prefix and checks what a desktop
# and a shell find there: a valid desktop entry with its real-hardware action,
# valid AppStream metainfo, hicolor icons, man pages and bash completion.
set -euo pipefail
build="$1"
gui="${2:-1}"  # 0: a build without the desktop program (the CLI's parts only)
prefix="$(mktemp -d)"
trap 'rm -rf "$prefix"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

cmake --install "$build" --prefix "$prefix" >/dev/null

share="$prefix/share"
if [ "$gui" = 1 ]; then
  desktop="$share/applications/fanscope.desktop"
  desktop-file-validate "$desktop" || fail "desktop entry does not validate"
  grep -q '^Exec=fanscope --hardware$' "$desktop" || fail "no real-hardware action"
  grep -q '^Comment=.*simulated' "$desktop" || fail "comment does not say the default is simulated"

  metainfo="$share/metainfo/org.fanscope.Fanscope.metainfo.xml"
  appstreamcli validate --no-net "$metainfo" >/dev/null || fail "metainfo does not validate"
  grep -q "<launchable type=\"desktop-id\">fanscope.desktop</launchable>" "$metainfo" \
    || fail "metainfo does not launch the installed desktop entry"
  grep -q 'release version="[0-9]' "$metainfo" || fail "metainfo release version not filled in"

  for size in 16 22 24 32 48 64 128 256; do
    png="$share/icons/hicolor/${size}x${size}/apps/fanscope.png"
    if [ ! -s "$png" ]; then fail "icon ${size}x${size} missing"; continue; fi
    # PNG signature, then the IHDR width and height (big-endian).
    read -r w h < <(od -An -tu1 -j16 -N8 "$png" | awk '{print $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8}')
    [ "$w" = "$size" ] && [ "$h" = "$size" ] || fail "icon ${size}x${size} is ${w}x${h}"
  done
  [ -s "$share/icons/hicolor/scalable/apps/fanscope.svg" ] || fail "scalable icon missing"
  pages="fanscope fanscope-cli"
else
  [ ! -e "$share/metainfo" ] || fail "metainfo installed without the desktop program"
  pages="fanscope-cli"
fi

for page in $pages; do
  file="$share/man/man1/$page.1.gz"
  [ -s "$file" ] || { fail "man page $page missing"; continue; }
  text="$(MANWIDTH=100 man -l "$file" 2>/dev/null)" || fail "man page $page does not render"
  grep -q -- '--sim-config' <<<"$text" || fail "man page $page lacks the options"
  grep -q 'ENVIRONMENT' <<<"$text" || fail "man page $page lacks its extra sections"
done
man_path="$(MANPATH="$share/man" man -w fanscope-cli 2>/dev/null || true)"
[ "$man_path" = "$share/man/man1/fanscope-cli.1.gz" ] || fail "man fanscope-cli does not find the page in the prefix ($man_path)"

completion="$share/bash-completion/completions/fanscope-cli"
if [ -s "$completion" ]; then
  out="$(PATH="$prefix/bin:$PATH" bash -c '
    source "$1"
    COMP_WORDS=(fanscope-cli ""); COMP_CWORD=1; _fanscope_cli; echo "${COMPREPLY[*]}"
    COMP_WORDS=(fanscope-cli set -); COMP_CWORD=2; _fanscope_cli; echo "${COMPREPLY[*]}"' _ "$completion")"
  grep -qw detect <<<"$(sed -n 1p <<<"$out")" || fail "completion lacks the commands: $out"
  grep -qw -- --yes <<<"$(sed -n 2p <<<"$out")" || fail "completion lacks the set options: $out"
else
  fail "bash completion missing"
fi

# The user service: where the user's systemd reads units for this prefix
# (~/.local/share/systemd/user for ~/.local), running this prefix's program.
unit="$share/systemd/user/fanscope-board.service"
if [ -s "$unit" ]; then
  grep -qx "ExecStart=$prefix/bin/fanscope-board --idle-exit [0-9]*" "$unit" \
    || fail "the user service does not run the installed board: $(grep ExecStart "$unit")"
else
  fail "user service missing from share/systemd/user"
fi
[ ! -e "$prefix/lib/systemd/user" ] || fail "user service installed where the user's systemd does not look"

# The exporter's services: the user one beside the board's, the system one
# where systemd reads system units for /usr and /usr/local.
for unit in "$share/systemd/user/fanscope-export.service" "$prefix/lib/systemd/system/fanscope-export.service"; do
  grep -qx "ExecStart=$prefix/bin/fanscope-cli \\\$FANSCOPE_EXPORT_OPTIONS" "$unit" 2>/dev/null \
    || fail "exporter service $unit missing or not running the installed program"
done
# export runs in the companion program, from libexec, with its own path to
# the libraries.
served="$(mktemp -d)"
out="$("$prefix/bin/fanscope-cli" export --textfile "$served" --count 1 2>&1)" \
  || fail "the installed fanscope-cli export (its companion in libexec): $out"
grep -q fanscope_chip_up "$served/fanscope.prom" 2>/dev/null || fail "export from the prefix wrote no metrics"
rm -rf "$served"
for example in prometheus.yml fanscope-rules.yml grafana-dashboard.json; do
  [ -s "$share/doc/fanscope/monitoring/$example" ] || fail "monitoring example $example missing"
done
[ "$failures" -eq 0 ] && echo "install: all checks passed"
exit "$failures"
