# Shared by the scripts: installs missing Debian packages.

as_root() {
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
  elif command -v sudo >/dev/null 2>&1; then
    sudo "$@"
  else
    echo "need root (or sudo) for: $*" >&2
    return 1
  fi
}

# True on a system whose packages come from apt (Debian and its kin).
on_debian() {
  command -v apt-get >/dev/null 2>&1 && command -v dpkg-query >/dev/null 2>&1
}

# ensure_packages PACKAGE... installs those not installed yet, saying which.
ensure_packages() {
  on_debian || return 1
  local missing=()
  local package
  for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$package")
    fi
  done
  [ "${#missing[@]}" -eq 0 ] && return 0
  if [ -z "${TARVEX_APT_UPDATED:-}" ]; then
    echo "updating the package lists"
    as_root apt-get update || return 1
    export TARVEX_APT_UPDATED=1
  fi
  # apt's own progress, so that a slow mirror shows as one.
  echo "installing: ${missing[*]}"
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
    -o Dpkg::Use-Pty=0 "${missing[@]}"
}

BUILD_PACKAGES=(cmake g++ make pkg-config libpcap-dev libseccomp-dev)
WINDOWS_BUILD_PACKAGES=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64)
