# Cross build for the device: 32-bit ARM, hard-float (Debian's arm-linux-gnueabihf toolchain).
#
#   cmake -S . -B build/armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
#
# Libraries come from the armhf multiarch folders installed by scripts/setup-armhf.sh, found
# through pkg-config; net-snmp's headers come from the private folder that script unpacks.
# Test programs run under qemu-arm (user-mode emulation), so ctest works as on the host.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(QUILLON_TARGET_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${QUILLON_TARGET_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${QUILLON_TARGET_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${QUILLON_TARGET_TRIPLET})

# Debian keeps the armhf libraries in the host's own tree (multiarch): no separate sysroot,
# the compiler and CMake search the lib/arm-linux-gnueabihf folders for the target.

if(DEFINED ENV{QUILLON_ARMHF_DEPS})
  set(QUILLON_ARMHF_DEPS "$ENV{QUILLON_ARMHF_DEPS}")
else()
  get_filename_component(QUILLON_ARMHF_DEPS "${CMAKE_CURRENT_LIST_DIR}/../build/armhf-deps" ABSOLUTE)
endif()

# pkg-config must see only the target's .pc files; the host's would hand out x86-64 paths.
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
set(ENV{PKG_CONFIG_LIBDIR}
  "${QUILLON_ARMHF_DEPS}/snmp/usr/lib/${QUILLON_TARGET_TRIPLET}/pkgconfig:/usr/lib/${QUILLON_TARGET_TRIPLET}/pkgconfig:/usr/share/pkgconfig")

# 64-bit file offsets: open/fstat/lseek on media files past 2 GiB must not fail with
# EOVERFLOW. time_t stays 32 bits: the device's libraries are built that way.
# ARMv7 faults on misaligned multi-word loads where x86 does not; -Wcast-align points at
# casts that raise a pointer's alignment. char stays unsigned as on the device.
# -Wno-psabi: GCC's note that an ARM calling convention changed in GCC 7.1 concerns only
# code mixed with objects built before then.
set(QUILLON_ARMHF_C_FLAGS "-D_FILE_OFFSET_BITS=64 -Wcast-align -Wno-psabi")
set(CMAKE_C_FLAGS_INIT "${QUILLON_ARMHF_C_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${QUILLON_ARMHF_C_FLAGS}")

find_program(QUILLON_QEMU_ARM qemu-arm)
if(QUILLON_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${QUILLON_QEMU_ARM}")
endif()
