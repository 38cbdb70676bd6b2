#!/usr/bin/env bash
# Installs the build into a staging folder and runs `systemd-analyze verify` on every
# service unit (the template through one instance) in a root made of the system's own
# units and the staged files, so that the programs named by ExecStart= are checked too.
#
#   check_units.sh <build dir>
set -euo pipefail
BUILD=$1
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

DESTDIR=$WORK/stage cmake --install "$BUILD" > /dev/null
UNITS=$(cd "$WORK/stage" && find . -name '*.service' -path '*systemd/system*')
[ -n "$UNITS" ] || { echo "FAIL: no service units installed"; exit 1; }

ROOT=$WORK/root
unitdir=$(dirname "$(echo "$UNITS" | head -1)")
mkdir -p "$ROOT/$unitdir"
cp -a /lib/systemd/system/. "$ROOT/$unitdir/"
cp -a "$WORK/stage/." "$ROOT/"
# ExecReload= names the system's kill, which the staged files do not bring.
mkdir -p "$ROOT/bin"
cp "$(readlink -f /bin/kill)" "$ROOT/bin/kill"

names=()
for unit in $UNITS; do
  name=$(basename "$unit")
  case "$name" in *@.service) name=${name%@.service}@3.service ;; esac
  names+=("$name")
done
# Manual pages are checked by the package tests, where man can find them.
systemd-analyze verify --man=no --root="$ROOT" "${names[@]}"
echo "units: ${names[*]} verified"
