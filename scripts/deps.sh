# Debian packages the build and the tests need; sourced by the project's scripts.
# shellcheck shell=bash

# shellcheck disable=SC2034 # used by the scripts that source this file
TOLVU_PACKAGES=(
  build-essential cmake pkg-config
  libcurl4-openssl-dev libgtest-dev
  openssl ca-certificates
  python3 python3-pytest
  iproute2 util-linux procps
  shellcheck valgrind
  clang libclang-rt-14-dev clang-tidy cppcheck
)

# Installs whichever of the named packages are missing (as root), or says what is missing.
ensure_packages() {
  local missing=()
  local pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]}" >&2
    echo "run as root, or: sudo apt-get install ${missing[*]}" >&2
    return 1
  fi
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}
