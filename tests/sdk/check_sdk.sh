#!/usr/bin/env bash
# Builds the example application outside the source tree against the SDK as installed
# into a staging folder: once through the CMake package, once through pkg-config. Natively
# both builds then play a file on the virtual sound card; in the ARM cross build they are
# only built (and checked to be ARM programs that need the engine's shared library).
#
#   check_sdk.sh <build dir> <source dir> <toolchain file or ""> <vcard asound.conf>
set -euo pipefail
BUILD=$1 SRC=$2 TOOLCHAIN=$3 ASOUND=$4

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
STAGE=$WORK/stage
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR=$STAGE cmake --install "$BUILD" --prefix /usr > "$WORK/install.log"
LIBDIR=$(cd "$STAGE/usr" && dirname "$(find . -name 'liborvaneplayer.so.1' | head -1)")
[ "$LIBDIR" != "." ] || fail "no liborvaneplayer.so.1 in the staged tree"
LIBDIR=$STAGE/usr/${LIBDIR#./}

# Each function stays in the version node it shipped in (an application built against an
# older release asks for exactly that node).
symbols=$(readelf --dyn-syms -W "$LIBDIR/liborvaneplayer.so.1" | c++filt)
for entry in "CreatePlayer()@@ORVANEPLAYER_1" "GetStreamHealth(@ORVANEPLAYER_1.2" \
             "GetPlaybackFailure(@ORVANEPLAYER_1.3" "SetTlsSettings(@ORVANEPLAYER_1.3" \
             "SetRtpSource(@ORVANEPLAYER_1.3" "GetRtpSenderHealth(@ORVANEPLAYER_1.3"; do
  name=${entry%%@*} node=${entry##*@}
  line=$(grep -F " OrvanePlayer::$name" <<< "$symbols" | head -1)
  case "$line" in *"@@$node") ;; *) fail "OrvanePlayer::$name is not in $node: $line" ;; esac
done

# Only the public headers, in their own folder.
headers=$(cd "$STAGE/usr/include/orvaneplayer" && ls | tr '\n' ' ')
expected="IFadingCallback.h IPlayer.h IPlayerDelegate.h PlayerErrors.h PlayerExport.h PlayerFactory.h PlayerFailure.h PlayerHealth.h PlayerRecords.h PlayerRuntime.h PlayerStates.h StreamProbe.h "
[ "$headers" = "$expected" ] || fail "staged headers: $headers"
[ "$(ls "$STAGE/usr/include")" = "orvaneplayer" ] || fail "other include folders: $(ls "$STAGE/usr/include")"

# The example must not see the source tree: copy it away.
mkdir -p "$WORK/app"
cp "$SRC/examples/quillon_example.cpp" "$SRC/examples/CMakeLists.txt" "$WORK/app/"

cmake_args=(-S "$WORK/app" -B "$WORK/with-cmake" -DCMAKE_PREFIX_PATH="$STAGE/usr"
            -DCMAKE_BUILD_TYPE=Release)
CXX=g++
if [ -n "$TOOLCHAIN" ]; then
  cmake_args+=(-DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN")
  CXX=arm-linux-gnueabihf-g++
fi
cmake "${cmake_args[@]}" > "$WORK/cmake.log" 2>&1 || { cat "$WORK/cmake.log"; fail "configure with find_package"; }
cmake --build "$WORK/with-cmake" > "$WORK/build.log" 2>&1 || { cat "$WORK/build.log"; fail "build with find_package"; }

mkdir -p "$WORK/with-pc"
flags=$(PKG_CONFIG_LIBDIR="$LIBDIR/pkgconfig" PKG_CONFIG_PATH= pkg-config --cflags --libs orvaneplayer)
case "$flags" in *"$SRC"*) fail "pkg-config points into the source tree: $flags" ;; esac
# shellcheck disable=SC2086
$CXX -std=c++17 -O1 -o "$WORK/with-pc/quillon_example" "$WORK/app/quillon_example.cpp" $flags \
  || fail "build with pkg-config ($flags)"

programs=("$WORK/with-cmake/quillon_example" "$WORK/with-pc/quillon_example")
for program in "${programs[@]}"; do
  readelf -d "$program" | grep -q 'NEEDED.*\[liborvaneplayer.so.1\]' || fail "$program does not need liborvaneplayer.so.1"
done

if [ -n "$TOOLCHAIN" ]; then
  for program in "${programs[@]}"; do
    readelf -h "$program" | grep -q 'Machine:.*ARM' || fail "$program is not an ARM program"
  done
  echo "sdk: the example cross-builds against the staged SDK with find_package and pkg-config"
  exit 0
fi

# Play a short tone through each build on the virtual card.
mkdir -p "$WORK/media"
ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "sine=f=440:d=1" -ac 2 -ar 44100 \
  -c:a libmp3lame "$WORK/media/tone.mp3"
n=0
for program in "${programs[@]}"; do
  n=$((n + 1))
  card=$WORK/card$n
  ldd_line=$(LD_LIBRARY_PATH=$LIBDIR ldd "$program" | grep liborvaneplayer)
  case "$ldd_line" in *"$STAGE"*) ;; *) fail "$program loads the engine from elsewhere: $ldd_line" ;; esac
  LD_LIBRARY_PATH=$LIBDIR ALSA_CONFIG_PATH=$ASOUND VCARD_DIR=$card VCARD_SPEED=4 \
    timeout 60 "$program" "$WORK/media" tone.mp3 2 > "$WORK/play$n.log" 2>&1 \
    || { cat "$WORK/play$n.log"; fail "$program did not play"; }
  grep -q "item finished: tone.mp3" "$WORK/play$n.log" || { cat "$WORK/play$n.log"; fail "no end of item"; }
  size=$(stat -c %s "$card/channel2.wav" 2>/dev/null || echo 0)
  # One second of 44100 Hz stereo 16-bit audio, less what fades and periods may cut.
  [ "$size" -gt $((44 + 44100 * 4 * 8 / 10)) ] || fail "$program played $size bytes on channel2"
done
echo "sdk: the example builds against the staged SDK with find_package and pkg-config and plays"
