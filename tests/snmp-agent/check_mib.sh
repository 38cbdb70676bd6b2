#!/bin/sh
# Checks the generated MIB module: smilint reports no error and no warning but
# the one every module below enterprises.E gets (the enterprise arc itself has
# no name), and snmptranslate loads it and maps every name to its identifier.
# usage: check_mib.sh <TANDRIL-MIB.txt> <folder with the SMIv2 base modules> <enterprise number>
set -eu
mib=$1
base=$2
enterprise=$3

# Only errors (levels 1 to 3) count; warnings may remain.
errors=$(SMIPATH="$(dirname "$mib"):$base" smilint -l 3 -s "$mib" 2>&1)
if [ -n "$errors" ]; then
  echo "smilint errors:"; echo "$errors"; exit 1
fi

warnings=$(SMIPATH="$(dirname "$mib"):$base" smilint -l 6 -s "$mib" 2>&1 |
  grep -v ': \[5\] warning: implicit node definition$' || true)
if [ -n "$warnings" ]; then
  echo "smilint warnings:"; echo "$warnings"; exit 1
fi

status=0
check() {
  got=$(MIBS=TANDRIL-MIB MIBDIRS="$(dirname "$mib"):$base" snmptranslate -On "TANDRIL-MIB::$1" 2>&1)
  if [ "$got" != "$2" ]; then
    echo "snmptranslate TANDRIL-MIB::$1 gave '$got', expected '$2'"; status=1
  fi
}
prefix=".1.3.6.1.4.1.$enterprise"
check mode.0 "$prefix.1.155.1.0"
check regStatus.0 "$prefix.1.155.2.0"
check expires.0 "$prefix.1.155.3.0"
check remotePeerId.0 "$prefix.1.155.4.0"
check callState.0 "$prefix.1.155.5.0"
check dialId.0 "$prefix.1.155.6.0"
check remoteCmd.0 "$prefix.1.155.7.0"
check netHostName.0 "$prefix.3.1.1.0"
check playerState.1 "$prefix.2.1.1.2.1"
check playerSongName.2 "$prefix.2.1.1.3.2"
check playerHealthData.3 "$prefix.2.1.1.6.3"
check playerStreamAge.4 "$prefix.2.1.1.14.4"
check playerReason.1 "$prefix.2.1.1.15.1"
check appLinkStatus.0 "$prefix.1.155.8.0"
check playerStateChanged "$prefix.4.0.1"
check playerSourceSwitched "$prefix.4.0.2"
check playerStreamTrouble "$prefix.4.0.3"
check playerNotRunning "$prefix.4.0.4"
check callApplicationLinkChanged "$prefix.4.0.5"
check playerSource.1 "$prefix.2.1.1.16.1"
check playerSwitches.2 "$prefix.2.1.1.17.2"
exit $status
