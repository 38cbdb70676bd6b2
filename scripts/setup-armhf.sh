#!/usr/bin/env bash
# Installs what the cross build for the device (32-bit ARM, armhf) and its emulated tests need:
# the cross compiler, qemu-arm and the armhf side of every library that scripts/setup.sh installs.
# Idempotent: when everything is already there it only checks and returns.
#
# The armhf net-snmp development package cannot be installed next to the native one (its
# configuration header differs per architecture, so apt would swap them). It is unpacked into
# a private folder instead (default build/armhf-deps, or $QUILLON_ARMHF_DEPS), with its
# pkg-config files pointing there; cmake/toolchain-armhf.cmake adds that folder to the search.
set -euo pipefail
cd "$(dirname "$0")/.."

ARCH=armhf
DEPS_DIR=${QUILLON_ARMHF_DEPS:-$PWD/build/armhf-deps}

SUDO=()
if [ "$(id -u)" -ne 0 ]; then SUDO=(sudo -E); fi

# The native package list and the non-free switch come from scripts/setup.sh, so both
# architectures always get the same libraries.
eval "$(sed -n '/^PACKAGES=(/,/^)/p' scripts/setup.sh)"
eval "$(sed -n '/^enable_non_free() {/,/^}/p' scripts/setup.sh)"

HOST_PACKAGES=(crossbuild-essential-armhf qemu-user)
TARGET_PACKAGES=()
for p in "${PACKAGES[@]}"; do
  case "$p" in
    libsnmp-dev) TARGET_PACKAGES+=("libsnmp40:$ARCH") ;;  # run time only; headers go private
    lib*) TARGET_PACKAGES+=("$p:$ARCH") ;;
  esac
done

is_installed() {
  dpkg-query -W -f='${Status}\n' "$1" 2>/dev/null | grep -q '^install ok installed$'
}

missing_packages() {
  local p
  for p in "${HOST_PACKAGES[@]}" "${TARGET_PACKAGES[@]}"; do
    is_installed "$p" || echo "$p"
  done
}

has_arch() {
  [ "$(dpkg --print-architecture)" = "$ARCH" ] || dpkg --print-foreign-architectures | grep -qx "$ARCH"
}

snmp_version() {
  dpkg-query -W -f='${Version}' "libsnmp40:$ARCH" 2>/dev/null || true
}

snmp_unpacked() {
  local v
  v=$(snmp_version)
  [ -n "$v" ] && [ -f "$DEPS_DIR/.snmp-version" ] && [ "$(cat "$DEPS_DIR/.snmp-version")" = "$v" ]
}

# Unpacks the armhf net-snmp headers and link libraries of the installed run-time version
# and points their pkg-config files at the private folder.
unpack_snmp() {
  local v tmp pc
  v=$(snmp_version)
  tmp=$(mktemp -d)
  (cd "$tmp" && apt-get download -q "libsnmp-dev:$ARCH=$v" "libsnmp40:$ARCH=$v" >/dev/null)
  rm -rf "$DEPS_DIR/snmp"
  mkdir -p "$DEPS_DIR/snmp"
  local deb
  for deb in "$tmp"/*.deb; do dpkg -x "$deb" "$DEPS_DIR/snmp"; done
  for pc in "$DEPS_DIR/snmp/usr/lib/arm-linux-gnueabihf/pkgconfig"/*.pc; do
    sed -i -E "s|^prefix=.*|prefix=$DEPS_DIR/snmp/usr|" "$pc"
  done
  rm -rf "$tmp"
  echo "$v" > "$DEPS_DIR/.snmp-version"
}

missing=$(missing_packages)
if has_arch && [ -z "$missing" ] && snmp_unpacked; then
  exit 0
fi

if [ -n "$missing" ] || ! has_arch; then
  echo "setup-armhf: installing:" $missing
  enable_non_free || true
  has_arch || "${SUDO[@]}" dpkg --add-architecture "$ARCH"
  export DEBIAN_FRONTEND=noninteractive
  "${SUDO[@]}" apt-get update -q
  # Installing the armhf libraries can move some native packages to the same version.
  "${SUDO[@]}" apt-get install -y -q --no-install-recommends $missing
fi

if ! snmp_unpacked; then
  echo "setup-armhf: unpacking the armhf net-snmp headers into $DEPS_DIR/snmp"
  unpack_snmp
fi
