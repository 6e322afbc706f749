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

# ensure_packages PACKAGE... installs those not installed yet.
ensure_packages() {
  local missing=()
  local package
  for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$package")
    fi
  done
  [ "${#missing[@]}" -eq 0 ] && return 0
  echo "installing: ${missing[*]}"
  if [ -z "${TARVEX_APT_UPDATED:-}" ]; then
    as_root apt-get update -qq
    export TARVEX_APT_UPDATED=1
  fi
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
}

BUILD_PACKAGES=(cmake g++ make pkg-config libpcap-dev)
