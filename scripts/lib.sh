# Shared helpers of the scripts/ commands (sourced, not run).

step() { printf '==> %s\n' "$*"; }

jobs() { nproc 2>/dev/null || echo 2; }

generator() { if command -v ninja >/dev/null 2>&1; then echo Ninja; else echo "Unix Makefiles"; fi; }

# ensure_packages PKG...: as root, installs the Debian packages that are missing.
ensure_packages() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    return 1
  fi
  step "installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

# ensure_tolv_user: as root, creates the system group and user "tolv" that own the partitions.
ensure_tolv_user() {
  [ "$(id -u)" -eq 0 ] || return 0
  getent group tolv >/dev/null || groupadd --system tolv
  getent passwd tolv >/dev/null ||
    useradd --system --gid tolv --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin tolv
}
