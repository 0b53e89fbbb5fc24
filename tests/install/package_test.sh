#!/usr/bin/env bash
# Packages the build tree as the Debian package (cpack, as scripts/package
# does, without building again) and checks it as a bench PC would meet it:
# its file list, its control fields, lintian, and the programs run from the
# unpacked tree alone. Nothing is installed into this machine's system.
# Arguments: BUILD_DIR GUI(0/1) PYTHON(0/1)
set -euo pipefail
build="$1"; gui="${2:-1}"; python="${3:-0}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log" >&2; exit 1; }
debs=("$work"/out/fanscope_*.deb)
deb="${debs[0]}"
[ -f "$deb" ] || { echo "FAIL: no package made" >&2; cat "$work/cpack.log" >&2; exit 1; }
arch="$(dpkg --print-architecture)"
[[ "$(basename "$deb")" =~ ^fanscope_[0-9]+\.[0-9]+\.[0-9]+_${arch}\.deb$ ]] || fail "package name $(basename "$deb")"

# The file list: programs, the library with its SONAME link, headers, CMake
# and pkg-config files, the private folder, man pages, the units, the udev
# rule, the modules to load.
files="$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|')"
want=(/usr/bin/fanscope-cli /usr/bin/fanscope-board
      /usr/include/vexlink06/vexlink06.h /usr/share/man/man1/fanscope-cli.1.gz
      /usr/share/man/man1/fanscope-board.1.gz /usr/lib/systemd/user/fanscope-board.service
      /usr/lib/systemd/user/fanscope-export.service /usr/lib/systemd/system/fanscope-export.service
      /usr/lib/udev/rules.d/60-fanscope.rules /usr/lib/modules-load.d/fanscope.conf
      /usr/share/doc/fanscope/copyright /usr/share/doc/fanscope/changelog.gz
      /usr/share/bash-completion/completions/fanscope-cli /usr/libexec/fanscope/fanscope-cli-full)
if [ "$gui" = 1 ]; then
  want+=(/usr/bin/fanscope /usr/share/applications/fanscope.desktop /usr/share/man/man1/fanscope.1.gz
         /usr/share/metainfo/org.fanscope.Fanscope.metainfo.xml
         /usr/share/icons/hicolor/scalable/apps/fanscope.svg /usr/share/icons/hicolor/48x48/apps/fanscope.png)
fi
for f in "${want[@]}"; do grep -qx -- "$f" <<<"$files" || fail "$f not in the package"; done
grep -qE '^/usr/lib/(.*/)?libvexlink06\.so\.[0-9]+$' <<<"$files" || fail "no SONAME link of the library"
grep -qE '^/usr/lib/(.*/)?pkgconfig/vexlink06\.pc$' <<<"$files" || fail "no pkg-config file"
grep -qE '^/usr/lib/(.*/)?cmake/vexlink06/vexlink06Config\.cmake$' <<<"$files" || fail "no CMake package"
for lib in libvxport_linux libvxi2c_linux libvxmb_linux libvxport_sim libfanscope_sim; do
  grep -qE "^/usr/lib/(.*/)?vexlink06/$lib\.so$" <<<"$files" || fail "$lib not in the private folder"
done
if [ "$python" = 1 ]; then
  grep -qE '^/usr/lib/python3/dist-packages/fanscope[^/]*\.so$' <<<"$files" || fail "no Python module in the system's path"
  grep -q '^Depends:.*python3 (>= 3\.' < <(dpkg-deb -f "$deb") || fail "no dependency on the module's Python"
fi
grep -q '^/usr/local' <<<"$files" && fail "files under /usr/local"

# Control fields: computed dependencies, maintainer scripts.
control="$(dpkg-deb -f "$deb")"
grep -q '^Depends:.*libc6' <<<"$control" || fail "Depends not computed from the binaries: $(grep '^Depends' <<<"$control")"
if [ "$gui" = 1 ]; then
  grep -q '^Depends:.*libqt6widgets6' <<<"$control" || fail "Depends lacks Qt"
fi
dpkg-deb -e "$deb" "$work/control"
[ -x "$work/control/postinst" ] || fail "no postinst"
grep -q 'addgroup --system i2c' "$work/control/postinst" || fail "postinst does not create the group i2c"

# lintian: no errors. Warnings are listed in the output for the reader.
lint="$(lintian --no-tag-display-limit "$deb" 2>&1 || true)"
echo "$lint"
grep -q '^E:' <<<"$lint" && fail "lintian reports errors"

# The unpacked tree works on its own: the installed layout finds its
# platform libraries and simulator.
root="$work/root"
dpkg-deb -x "$deb" "$root"
out="$(env -u FANSCOPE_BOARD FANSCOPE_BOARD=inprocess "$root/usr/bin/fanscope-cli" get 0x3d 2>&1)" || fail "fanscope-cli get from the package: $out"
grep -qi '0x31' <<<"$out" || fail "fanscope-cli get 0x3d gave: $out"
"$root/usr/bin/fanscope-board" --help >/dev/null || fail "fanscope-board --help"
ldd "$root/usr/bin/fanscope-cli" | grep -q 'not found' && fail "fanscope-cli misses a library"
ldd "$root/usr/libexec/fanscope/fanscope-cli-full" | grep -q 'not found' && fail "fanscope-cli-full misses a library"
if [ "$gui" = 1 ]; then
  ldd "$root/usr/bin/fanscope" | grep -q 'not found' && fail "fanscope misses a library"
fi
if [ "$python" = 1 ]; then
  py="$(cd "$work" && FANSCOPE_BOARD=inprocess PYTHONPATH="$root/usr/lib/python3/dist-packages" /usr/bin/python3 -c \
        'import fanscope; c = fanscope.open(); print(c.variant, hex(c.read(0x3d)))' 2>&1)" || fail "import fanscope from the package: $py"
  grep -q '0x31' <<<"$py" || fail "Python read of 0x3d gave: $py"
fi

[ "$failures" -eq 0 ] && echo "package: all checks passed"
exit "$failures"
