#!/usr/bin/env bash
# Cross-builds everything for the device (32-bit ARM, armhf) into build/armhf and runs the
# unit tests there under qemu-arm through CTest. Tests labelled "integration" (they start
# servers or other programs) and "drift" (minutes of real-time play against the card's
# clock) are left to the native run.
#
#   QUILLON_ARMHF_BUILD=dir    build folder (default build/armhf)
#   QUILLON_ARMHF_UBSAN=1      also build and test with UndefinedBehaviorSanitizer in
#                              <build folder>-ubsan (AddressSanitizer does not run under qemu-arm)
#   QUILLON_ARMHF_NO_TESTS=1   cross-build only
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

bash scripts/setup.sh
bash scripts/setup-armhf.sh

export QUILLON_ARMHF_DEPS=${QUILLON_ARMHF_DEPS:-$ROOT/build/armhf-deps}
BUILD_DIR=${QUILLON_ARMHF_BUILD:-build/armhf}
JOBS=$(nproc)

# Tests that cannot run under user-mode emulation, as a CTest regular expression. Unset means
# none. (An emulated test program cannot start another ARM program: the kernel has no
# binfmt handler for ARM here, so such tests must carry the "integration" label.)
EXCLUDE_REGEX=${QUILLON_ARMHF_EXCLUDE:-}

now() { date +%s; }

build_and_test() {
  local dir=$1; shift
  local t0 t1 t2
  t0=$(now)
  mkdir -p "$dir"
  cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-armhf.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" > "$dir.configure.log" 2>&1 \
    || { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" -j"$JOBS"
  t1=$(now)
  echo "== armhf: build took $((t1 - t0)) s"
  if [ "${QUILLON_ARMHF_NO_TESTS:-0}" = "1" ]; then return 0; fi
  local exclude_args=()
  if [ -n "$EXCLUDE_REGEX" ]; then exclude_args=(-E "$EXCLUDE_REGEX"); fi
  # Emulated code runs many times slower than on the device, so a test that plays on the
  # virtual card in real time can miss its window when the machine is busy: one retry.
  ctest --test-dir "$dir" --output-on-failure --no-tests=error -j"$JOBS" \
    --repeat until-pass:2 -LE 'integration|drift' "${exclude_args[@]}"
  t2=$(now)
  echo "== armhf: tests under qemu-arm took $((t2 - t1)) s"
}

mkdir -p build
echo "== armhf cross build (arm-linux-gnueabihf), unit tests under qemu-arm"
build_and_test "$BUILD_DIR"

if [ "${QUILLON_ARMHF_UBSAN:-0}" = "1" ]; then
  echo "== armhf UndefinedBehaviorSanitizer build, unit tests under qemu-arm"
  # Given flags replace the toolchain's defaults (cmake/toolchain-armhf.cmake), so they
  # are repeated here.
  ubsan="-D_FILE_OFFSET_BITS=64 -Wcast-align -Wno-psabi -fsanitize=undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
  build_and_test "$BUILD_DIR-ubsan" \
    -DCMAKE_C_FLAGS="$ubsan" -DCMAKE_CXX_FLAGS="$ubsan" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=undefined" \
    -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=undefined" \
    -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=undefined"
fi
