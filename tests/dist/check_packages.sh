#!/usr/bin/env bash
# Checks the Debian packages that scripts/package.sh built: the files each package must
# hold (every architecture), lintian without errors, and, for the machine's own
# architecture when run as root, a real installation: the users and conffiles, the units
# (systemd-analyze verify), --version/--help, the installed player on the virtual sound
# card with the installed demo configuration, the installed agent behind a real snmpd
# answering snmpget, and the services through their life: installing calls no service, an
# upgrade (to a second version of the packages made here) restarts the running services,
# removing stops them while their programs are still there, purging removes every
# enablement link. The service calls go to stand-ins for systemctl and deb-systemd-invoke
# that record them; for the scripts to see a running systemd, the upgrade, removal and
# purge run in a mount namespace of their own where /run/systemd/system exists.
#
#   check_packages.sh <packages dir> <vcard asound.conf>
set -uo pipefail
PKGS=$(realpath "$1") ASOUND=$(realpath "$2")
VERSION=1.2.0
# The engine library's own version (its interface grew to node 1.3 within package 1.2).
LIB_VERSION=1.3.0
passed=0 failed=0
WORK=$(mktemp -d)
chmod 0755 "$WORK"
INSTALLED=0

ALL_PACKAGES="quillon tandril-snmp-agent liborvaneplayer-dev liborvaneplayer1"
# The packages dpkg knows in any state (removed ones keep their conffiles until a purge).
known_packages() {
  local p
  for p in $ALL_PACKAGES; do dpkg-query -W "$p" > /dev/null 2>&1 && echo "$p"; done
}

cleanup() {
  if [ "$INSTALLED" = 1 ]; then
    # shellcheck disable=SC2046
    dpkg --purge $(known_packages) > /dev/null 2>&1
  fi
  [ -n "${SNMPD_PID:-}" ] && kill "$SNMPD_PID" 2>/dev/null
  [ -n "${AGENT_PID:-}" ] && kill "$AGENT_PID" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

check() {  # check <name> <command...>: one case
  local name=$1; shift
  if "$@" > "$WORK/case.log" 2>&1; then
    passed=$((passed + 1)); echo "ok: $name"
  else
    failed=$((failed + 1)); echo "FAILED: $name"; sed 's/^/    /' "$WORK/case.log" | tail -30
  fi
}

holds() {  # holds <deb> <path>...: the package lists every path
  local deb=$1; shift
  local list
  list=$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|')
  local p
  for p in "$@"; do
    echo "$list" | grep -qx "$p" || { echo "$deb lacks $p"; return 1; }
  done
}

file_lists() {
  local arch=$1 triplet
  triplet=$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
  local lib=/usr/lib/$triplet
  holds "$PKGS/liborvaneplayer1_${VERSION}_$arch.deb" "$lib/liborvaneplayer.so.$LIB_VERSION" \
        "$lib/liborvaneplayer.so.1" /usr/share/doc/liborvaneplayer1/copyright &&
  holds "$PKGS/liborvaneplayer-dev_${VERSION}_$arch.deb" "$lib/liborvaneplayer.so" \
        /usr/include/orvaneplayer/IPlayer.h /usr/include/orvaneplayer/PlayerFactory.h \
        "$lib/cmake/OrvanePlayer/OrvanePlayerConfig.cmake" \
        "$lib/cmake/OrvanePlayer/OrvanePlayerTargets.cmake" "$lib/pkgconfig/orvaneplayer.pc" &&
  holds "$PKGS/quillon_${VERSION}_$arch.deb" /usr/sbin/quillon /etc/quillon.conf \
        /lib/systemd/system/quillon.service /lib/systemd/system/quillon@.service \
        /usr/lib/tmpfiles.d/quillon.conf /usr/lib/sysusers.d/quillon.conf \
        /usr/share/man/man8/quillon.8.gz /usr/share/man/man5/quillon.conf.5.gz \
        /usr/share/doc/quillon/examples/quillon.conf /usr/share/doc/quillon/examples/asound.conf \
        /usr/share/doc/quillon/examples/quillon-demo.conf /usr/share/quillon/demo/p.m3u &&
  holds "$PKGS/tandril-snmp-agent_${VERSION}_$arch.deb" /usr/sbin/tandril-snmp-agent \
        /etc/snmp/tandril-snmp-agent.conf /lib/systemd/system/tandril-snmp-agent.service \
        /usr/share/snmp/mibs/TANDRIL-MIB.txt /usr/share/man/man8/tandril-snmp-agent.8.gz \
        /usr/share/doc/tandril-snmp-agent/examples/snmpd-agentx.conf &&
  # Only the library's own dependencies, computed from the binaries.
  dpkg-deb -f "$PKGS/quillon_${VERSION}_$arch.deb" Depends | grep -q 'liborvaneplayer1 (>= ' &&
  dpkg-deb -f "$PKGS/quillon_${VERSION}_$arch.deb" Depends | grep -q 'ca-certificates' &&
  dpkg-deb -f "$PKGS/liborvaneplayer1_${VERSION}_$arch.deb" Depends | grep -q 'libasound2' &&
  dpkg-deb -f "$PKGS/tandril-snmp-agent_${VERSION}_$arch.deb" Depends | grep -q 'libsnmp40' &&
  [ "$(dpkg-deb -I "$PKGS/quillon_${VERSION}_$arch.deb" conffiles)" = "/etc/quillon.conf" ]
}

lintian_clean() {
  lintian "$PKGS"/*_"$1".deb > "$WORK/lintian.txt" 2>&1
  cat "$WORK/lintian.txt"
  ! grep -q '^E: ' "$WORK/lintian.txt"
}

STANDIN=$WORK/standin
CALLS=$WORK/calls.log
# Stand-ins that record each call, with how many of the two programs were installed then.
make_standins() {
  mkdir -p "$STANDIN"
  local tool
  for tool in systemctl deb-systemd-invoke; do
    cat > "$STANDIN/$tool" <<EOS
#!/bin/sh
n=0
for p in /usr/sbin/quillon /usr/sbin/tandril-snmp-agent; do [ -e "\$p" ] && n=\$((n + 1)); done
echo "$tool \$* (programs: \$n)" >> "$CALLS"
exit 0
EOS
    chmod 0755 "$STANDIN/$tool"
  done
}

# apt-get with the stand-ins first on the maintainer scripts' PATH (apt sets that PATH
# itself); "systemd" first: as on a device whose init is systemd (/run/systemd/system
# exists in the namespace only; the machine's stays).
apt_with_standins() {
  local mode=$1; shift
  : > "$CALLS"
  local env=(env DEBIAN_FRONTEND=noninteractive)
  set -- -o DPkg::Lock::Timeout=900 -o "DPkg::Path=$STANDIN:/usr/sbin:/usr/bin:/sbin:/bin" "$@"
  if [ "$mode" = systemd ]; then
    unshare --mount --propagation private sh -c 'mkdir -p /run/systemd &&
      mount -t tmpfs -o mode=0755 tmpfs /run/systemd && mkdir /run/systemd/system &&
      exec "$@"' sh "${env[@]}" apt-get -y -q --no-install-recommends "$@"
  else
    "${env[@]}" apt-get -y -q --no-install-recommends "$@"
  fi
  local code=$?
  echo "service calls:"; sed 's/^/  /' "$CALLS"
  return $code
}

called() { grep -Fxq "$1" "$CALLS" || { echo "not called: $1"; return 1; }; }
our_calls() { grep -E 'quillon|tandril|daemon-reload' "$CALLS"; }

install_all() {
  INSTALLED=1
  apt_with_standins none install "$PKGS"/*_"$NATIVE".deb &&
  # No systemd running: the scripts leave the services alone.
  ! our_calls
}

users_and_files() {
  id -nG quillon | grep -qw audio &&
  getent passwd tandril-snmp > /dev/null &&
  dpkg-query -W -f='${Conffiles}\n' quillon | grep -q '/etc/quillon.conf' &&
  dpkg-query -W -f='${Conffiles}\n' tandril-snmp-agent | grep -q '/etc/snmp/tandril-snmp-agent.conf' &&
  # Nothing enabled by surprise.
  ! ls /etc/systemd/system/*.wants/ 2>/dev/null | grep -q -e quillon -e tandril
}

units_verify() {
  local man=()
  command -v man > /dev/null || man=(--man=no)
  systemd-analyze verify "${man[@]}" quillon.service quillon@2.service tandril-snmp-agent.service
}

version_and_help() {
  # Whole outputs first: grep -q leaving a pipe early would fail it under pipefail.
  local text
  text=$(/usr/sbin/quillon --version; /usr/sbin/quillon --help; /usr/sbin/tandril-snmp-agent --version;
         /usr/sbin/tandril-snmp-agent --help; ldd /usr/sbin/quillon) || return 1
  echo "$text"
  grep -q 'OrvaneEng' <<< "$text" && grep -q -- '--channel N' <<< "$text" &&
  grep -q 'net-snmp' <<< "$text" && grep -q -- '--app-port PORT' <<< "$text" &&
  grep -Eq "liborvaneplayer.so.1 => /(usr/)?lib/" <<< "$text"
}

player_plays_demo() {
  # As the package's own user, from the installed paths.
  local dir=$WORK/player
  mkdir -p "$dir/card" "$dir/vcard" && chown -R quillon "$dir"
  # The virtual card where the user can read it (the build folder may be private).
  local vcard_dir
  vcard_dir=$(dirname "$ASOUND")
  cp "$vcard_dir"/*.so "$dir/vcard/"
  sed "s|$vcard_dir/|$dir/vcard/|g" "$ASOUND" > "$dir/vcard/asound.conf"
  chmod -R a+rX "$dir/vcard"
  setpriv --reuid=quillon --regid=quillon --init-groups env ALSA_CONFIG_PATH="$dir/vcard/asound.conf" VCARD_DIR="$dir/card" VCARD_SPEED=4 \
    /usr/sbin/quillon --config /usr/share/doc/quillon/examples/quillon-demo.conf \
      --media-root /usr/share/quillon --status-file "$dir/status" > "$dir/out.txt" 2>&1 &
  local pid=$! i
  for i in $(seq 1 100); do
    [ "$(stat -c %s "$dir/card/channel1.wav" 2>/dev/null || echo 0)" -gt 400000 ] && break
    sleep 0.1
  done
  cp "$dir/status" "$dir/status.playing" 2>/dev/null
  kill -TERM "$pid"; wait "$pid"; local code=$?
  cat "$dir/out.txt" | tail -5
  # Playing, the status names the list; stopped on purpose, it says idle.
  [ "$code" = 0 ] && [ "$(stat -c %s "$dir/card/channel1.wav")" -gt 400000 ] &&
  grep -q '"m_playlist_name":"p.m3u"' "$dir/status.playing" &&
  grep -q '"m_player_state":"0"' "$dir/status" &&
  grep -q 'tone-440.mp3' "$dir/out.txt"
}

free_port() { python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

agent_answers_snmpget() {
  local dir=$WORK/snmp port app_port
  mkdir -p "$dir/conf" "$dir/persist" "$dir/agentx"
  port=$(free_port); app_port=$(free_port)
  # The shipped snippet, with the socket moved into the test's folder.
  { echo "rocommunity public 127.0.0.1"
    sed "s|/var/agentx/master|$dir/agentx/master|" /usr/share/doc/tandril-snmp-agent/examples/snmpd-agentx.conf
  } > "$dir/conf/snmpd.conf"
  SNMP_PERSISTENT_DIR=$dir/persist MIBS= /usr/sbin/snmpd -f -Lf "$dir/snmpd.log" -C \
    -c "$dir/conf/snmpd.conf" "udp:127.0.0.1:$port" &
  SNMPD_PID=$!
  local i
  for i in $(seq 1 50); do [ -S "$dir/agentx/master" ] && break; sleep 0.1; done
  # The installed configuration, with the same socket.
  sed "s|/var/agentx/master|$dir/agentx/master|" /etc/snmp/tandril-snmp-agent.conf > "$dir/conf/tandril-snmp-agent.conf"
  echo "10.1.1.200" > "$dir/SYS-ID"
  echo "dhcpname='packaged-device'" > "$dir/network"
  SNMPCONFPATH=$dir/conf SNMP_PERSISTENT_DIR=$dir/persist MIBS= \
    /usr/sbin/tandril-snmp-agent --sysid-file "$dir/SYS-ID" --network-file "$dir/network" \
      --app-port "$app_port" > "$dir/agent.log" 2>&1 &
  AGENT_PID=$!
  local name=""
  for i in $(seq 1 50); do
    name=$(snmpget -v2c -c public -t 1 -r 0 -Oqv "127.0.0.1:$port" 1.3.6.1.4.1.32473.3.1.1.0 2>/dev/null)
    [ "$name" = '"packaged-device"' ] && break
    sleep 0.2
  done
  local state
  state=$(snmpget -v2c -c public -t 1 -r 0 -Oqv "127.0.0.1:$port" 1.3.6.1.4.1.32473.1.200.5.0 2>&1)
  kill -TERM "$AGENT_PID"; wait "$AGENT_PID"; local code=$?
  AGENT_PID=
  kill "$SNMPD_PID"; wait "$SNMPD_PID" 2>/dev/null; SNMPD_PID=
  echo "host name: $name, callState: $state, agent exit: $code"
  [ "$name" = '"packaged-device"' ] && [[ "$state" =~ ^[0-9]+$ ]] && [ "$code" = 0 ]
}

# The links that enabling would make (the administrator's choice: the single player, the
# player of channel 2 and the agent).
ENABLED_LINKS="/etc/systemd/system/multi-user.target.wants/quillon.service
/etc/systemd/system/multi-user.target.wants/quillon@2.service
/etc/systemd/system/multi-user.target.wants/tandril-snmp-agent.service"
links_there() { local l; for l in $ENABLED_LINKS; do [ -L "$l" ] || { echo "no $l"; return 1; }; done; }
links_gone() { local l; for l in $ENABLED_LINKS; do [ ! -L "$l" ] || { echo "left: $l"; return 1; }; done; }

# A second version of every package, the same files under a higher version.
make_upgrade() {
  local new=$1 deb dir
  mkdir -p "$WORK/upgrade" "$WORK/repack"
  for deb in "$PKGS"/*_"${VERSION}_$NATIVE".deb; do
    dir=$WORK/repack/$(basename "$deb" .deb)
    dpkg-deb -R "$deb" "$dir" &&
    sed -i -e "s/^Version: .*/Version: $new/" -e "s/(= $VERSION)/(= $new)/" "$dir/DEBIAN/control" &&
    dpkg-deb --root-owner-group -Zxz -b "$dir" "$WORK/upgrade/" > /dev/null || return 1
  done
}

upgrade_restarts_services() {
  local new=$VERSION+1
  systemctl enable quillon.service quillon@2.service tandril-snmp-agent.service &&
  links_there && make_upgrade "$new" &&
  apt_with_standins systemd install "$WORK/upgrade"/*_"$NATIVE".deb &&
  [ "$(dpkg-query -W -f='${Version}' quillon)" = "$new" ] &&
  called "systemctl --system daemon-reload (programs: 2)" &&
  called "deb-systemd-invoke try-restart quillon.service quillon@*.service (programs: 2)" &&
  called "deb-systemd-invoke try-restart tandril-snmp-agent.service (programs: 2)" &&
  # Nothing stopped, nothing started that was not running; the choice is kept.
  ! grep -E 'deb-systemd-invoke (stop|start|restart) ' "$CALLS" && links_there
}

remove_stops_services() {
  apt_with_standins systemd remove quillon tandril-snmp-agent liborvaneplayer-dev liborvaneplayer1 &&
  # Stopped while both programs were still installed.
  called "deb-systemd-invoke stop quillon.service quillon@*.service (programs: 2)" &&
  grep -Eq '^deb-systemd-invoke stop tandril-snmp-agent.service \(programs: [12]\)$' "$CALLS" &&
  grep -q "^systemctl --system daemon-reload " "$CALLS" &&
  [ ! -e /usr/sbin/quillon ] && [ ! -e /usr/sbin/tandril-snmp-agent ] &&
  # Removing keeps the administrator's choice for a new installation; purging does not.
  links_there
}

purge_cleanly() {
  # shellcheck disable=SC2046
  apt_with_standins systemd purge $(known_packages) &&
  INSTALLED=0 &&
  links_gone && [ ! -L /run/quillon ] && [ ! -L /run/quillon.health ] &&
  ! ls /var/lib/systemd/deb-systemd-helper-enabled/ 2>/dev/null | grep -e quillon -e tandril &&
  [ ! -e /usr/sbin/quillon ] && [ ! -e /etc/quillon.conf ] &&
  [ ! -e /etc/snmp/tandril-snmp-agent.conf ] &&
  ! ls /usr/lib/*/liborvaneplayer* > /dev/null 2>&1 &&
  ! dpkg-query -W -f='${Status}' quillon 2>/dev/null | grep -q installed
}

NATIVE=$(dpkg --print-architecture)
for deb in "$PKGS"/quillon_"$VERSION"_*.deb; do
  arch=${deb##*_}; arch=${arch%.deb}
  check "$arch: file lists and dependencies" file_lists "$arch"
  check "$arch: lintian shows no errors" lintian_clean "$arch"
done

if [ "$(id -u)" = 0 ] && [ -e "$PKGS/quillon_${VERSION}_$NATIVE.deb" ]; then
  # shellcheck disable=SC2046
  dpkg --purge $(known_packages) > /dev/null 2>&1
  make_standins
  check "$NATIVE: packages install, no service called without systemd" install_all
  check "$NATIVE: system users, conffiles, nothing enabled" users_and_files
  check "$NATIVE: installed units pass systemd-analyze verify" units_verify
  check "$NATIVE: installed --version and --help" version_and_help
  check "$NATIVE: installed player plays the demo as user quillon" player_plays_demo
  check "$NATIVE: installed agent answers snmpget through snmpd" agent_answers_snmpget
  check "$NATIVE: an upgrade restarts the running services" upgrade_restarts_services
  check "$NATIVE: removal stops the services before their programs go" remove_stops_services
  check "$NATIVE: purge removes the enablement links, nothing left" purge_cleanly
else
  echo "packages: not root or no $NATIVE packages: installation not tested"
fi

echo "packages: $passed passed, $failed failed"
[ "$failed" = 0 ]
