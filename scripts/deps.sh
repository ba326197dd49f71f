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
  nginx php8.2-fpm php8.2-cli php8.2-sqlite3 sqlite3 php8.2-pgsql postgresql-15 chromium curl
)

# Runs a command up to COUNT times, waiting a little longer after each failure: for steps that
# go over the network, where a failure may pass.
retry() {
  local count=$1 attempt=1
  shift
  until "$@"; do
    [ "$attempt" -ge "$count" ] && return 1
    echo "retrying in $((attempt * 10)) s: $*" >&2
    sleep $((attempt * 10))
    attempt=$((attempt + 1))
  done
}

# Installs whichever of the named packages are missing (as root), or says what is missing. apt's
# lock is waited for (another install may be running), a package list that cannot be fetched is
# an error rather than a later "package not found", and network steps are retried.
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
  local apt=(apt-get -o DPkg::Lock::Timeout=600 -o Acquire::Retries=3)
  # Servers the tests start themselves (nginx, PHP-FPM) must not start as system services: while
  # apt runs, a policy says no to every start, unless the machine has a policy of its own.
  local policy=/usr/sbin/policy-rc.d own_policy=0
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\n# Written by tolvu'"'"'s scripts while apt runs.\nexit 101\n' >"$policy" &&
      chmod 755 "$policy" && own_policy=1
  fi
  local status=0
  if ! retry 3 "${apt[@]}" update -qq --error-on=any ||
    ! retry 3 "${apt[@]}" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; then
    echo "cannot install: ${missing[*]}" >&2
    status=1
  fi
  [ "$own_policy" -eq 0 ] || rm -f "$policy"
  return $status
}
