# Shared by the scripts: the project root and the package check.
FANSCOPE_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
export FANSCOPE_ROOT

# Installs every package of scripts/lib/packages.txt that is missing.
# Quick when all are present (one dpkg-query).
ensure_packages() {
  local wanted missing=()
  mapfile -t wanted < <(grep -v '^\s*#' "$FANSCOPE_ROOT/scripts/lib/packages.txt" | sed '/^\s*$/d')
  # dpkg-query exits 1 when any name it was asked about is not installed,
  # which is the normal case on a fresh machine: keep what it listed and go on.
  local listing installed
  listing="$(dpkg-query -W -f='${Package} ${Status}\n' "${wanted[@]}" 2>/dev/null || true)"
  installed="$(awk '$4=="installed"{print $1}' <<<"$listing")"
  for p in "${wanted[@]}"; do
    grep -qx -- "$p" <<<"$installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing missing packages: ${missing[*]}"
  echo "(the first build after this takes a few minutes)"
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
      sudo=(sudo)
    else
      echo "error: packages missing and no root or sudo to install them; install them with:" >&2
      echo "  apt-get install ${missing[*]}" >&2
      return 1
    fi
  fi
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# Configures and builds the main tree (build/).
build_main() {
  if [ ! -f "$FANSCOPE_ROOT/build/build.ninja" ]; then
    echo "Building in build/ (the first build takes a few minutes)"
  fi
  cmake -S "$FANSCOPE_ROOT" -B "$FANSCOPE_ROOT/build" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null || return
  cmake --build "$FANSCOPE_ROOT/build"
}
