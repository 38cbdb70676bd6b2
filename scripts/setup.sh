#!/usr/bin/env bash
# Installs everything the build, the tests and the demo need on a Debian 12 machine.
# Idempotent: when every package is already there it only checks and returns.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config git ccache
  libgtest-dev libgmock-dev
  libasound2-dev libasound2-plugins alsa-utils
  libmpg123-dev libfdk-aac-dev
  libavformat-dev libavcodec-dev libavutil-dev libswresample-dev
  libcurl4-openssl-dev libssl-dev ca-certificates openssl
  libinih-dev
  libsnmp-dev snmpd snmp snmptrapd smitools
  libsystemd-dev systemd scdoc lintian
  libboost-dev
  ffmpeg icecast2 python3 python3-matplotlib sox mpg123
  clang libclang-rt-14-dev
  linux-perf
)

missing_packages() {
  local p
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || echo "$p"
  done
}

SUDO=()
if [ "$(id -u)" -ne 0 ]; then SUDO=(sudo -E); fi

# fdk-aac lives in the non-free component: add it to the existing source entries.
enable_non_free() {
  local changed=0 f
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    f=/etc/apt/sources.list.d/debian.sources
    if grep -q '^Components:' "$f" && grep '^Components:' "$f" | grep -vq 'non-free\b'; then
      "${SUDO[@]}" sed -i -E '/^Components:/{/non-free( |$)/!s/$/ contrib non-free/}' "$f"
      changed=1
    fi
  fi
  if [ -f /etc/apt/sources.list ]; then
    f=/etc/apt/sources.list
    if grep -Eq '^deb(-src)? ' "$f" && grep -E '^deb(-src)? ' "$f" | grep -vq ' non-free\b'; then
      "${SUDO[@]}" sed -i -E '/^deb(-src)? /{/ non-free( |$)/!s/$/ contrib non-free/}' "$f"
      changed=1
    fi
  fi
  return $changed
}

missing=$(missing_packages)
if [ -z "$missing" ]; then
  exit 0
fi

echo "setup: installing:" $missing
enable_non_free || true
export DEBIAN_FRONTEND=noninteractive
"${SUDO[@]}" apt-get update -q
# icecast2 asks questions during configuration; the defaults are fine for tests.
"${SUDO[@]}" apt-get install -y -q --no-install-recommends $missing
