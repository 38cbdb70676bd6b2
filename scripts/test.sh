#!/usr/bin/env bash
# Set up, build and run every test: the normal build, then the sanitizer builds.
# Then the cross build for the 32-bit ARM device with its unit tests under emulation, and
# the Debian packages of both builds with their checks (as root they are installed,
# run and purged again), and last, as root, the field rehearsal: the packages installed
# and their services run the way the device runs them (tests/field).
# QUILLON_SKIP_SANITIZERS=1 skips the sanitizer builds, QUILLON_SKIP_FUZZ=1 the short run of
# the parsers' fuzz targets, QUILLON_SKIP_ARMHF=1 the cross build, QUILLON_SKIP_PACKAGES=1
# the packages, QUILLON_SKIP_FIELD=1 the field rehearsal (quicker while developing).
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS=0
bash scripts/setup.sh

JOBS=$(nproc)

# A run makes five builds (normal, two sanitizers, fuzz, armhf): with the compiler cache,
# a machine that ran the tests before compiles only what changed since (QUILLON_CCACHE=0
# builds without it). Paths are hashed relative to the checkout, so clones share it.
if [ "${QUILLON_CCACHE:-1}" != 0 ] && command -v ccache > /dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
fi

# Each stage's banner carries the time since the start, so a slow stage shows in CI's log.
stage() { echo "== $1 (at ${SECONDS} s)"; }

build_and_test() {
  local dir=$1; shift
  local label_args=()
  if [ -n "${CTEST_LABEL:-}" ]; then label_args+=(-L "$CTEST_LABEL"); fi
  if [ -n "${CTEST_EXCLUDE_LABEL:-}" ]; then label_args+=(-LE "$CTEST_EXCLUDE_LABEL"); fi
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" > "$dir.configure.log" 2>&1 \
    || { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" -j"$JOBS"
  ctest --test-dir "$dir" --output-on-failure --no-tests=error -j"$JOBS" "${label_args[@]}"
}

mkdir -p build
stage "normal build"
build_and_test build/normal

if [ "${QUILLON_SKIP_SANITIZERS:-0}" != "1" ]; then
  stage "AddressSanitizer + UndefinedBehaviorSanitizer build"
  # The clock-drift soak measures timing margins that an instrumented build cannot keep.
  CTEST_EXCLUDE_LABEL=drift build_and_test build/asan -DQUILLON_ASAN=ON
  stage "ThreadSanitizer build (tests labelled tsan)"
  CTEST_LABEL=tsan build_and_test build/tsan -DQUILLON_TSAN=ON
fi

if [ "${QUILLON_SKIP_FUZZ:-0}" != "1" ]; then
  # A short run of every parser's fuzz target, so that a parser change that crashes on
  # odd input shows here; scripts/fuzz.sh runs them for longer by hand.
  stage "fuzz targets (${QUILLON_FUZZ_SECONDS:-20} s each)"
  FUZZ_JOBS=$JOBS bash scripts/fuzz.sh "${QUILLON_FUZZ_SECONDS:-20}"
fi

if [ "${QUILLON_SKIP_ARMHF:-0}" != "1" ]; then
  stage "armhf cross build, unit tests under qemu-arm"
  bash scripts/test-armhf.sh
fi

if [ "${QUILLON_SKIP_PACKAGES:-0}" != "1" ]; then
  stage "Debian packages"
  rm -rf build/packages
  bash scripts/package.sh build/normal build/packages
  if [ "${QUILLON_SKIP_ARMHF:-0}" != "1" ]; then
    bash scripts/package.sh "${QUILLON_ARMHF_BUILD:-build/armhf}" build/packages
  fi
  bash tests/dist/check_packages.sh build/packages build/normal/vcard/asound.conf
fi

if [ "${QUILLON_SKIP_FIELD:-0}" != "1" ]; then
  stage "field rehearsal"
  if [ "$(id -u)" != 0 ]; then
    echo "field rehearsal: not run, it needs root (it installs the packages and runs the"
    echo "services as their users); QUILLON_SKIP_FIELD=1 leaves it out"
  else
    ARCH=$(dpkg --print-architecture)
    if ! ls build/packages/quillon_*_"$ARCH".deb > /dev/null 2>&1; then
      bash scripts/package.sh build/normal build/packages
    fi
    python3 tests/field/run_field.py build/packages build/normal
  fi
fi

echo "== every stage passed (${SECONDS} s)"
