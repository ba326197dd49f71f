# Cross-building for little-endian 32-bit MIPS with Debian's cross toolchain, against a sysroot
# made by scripts/mipsel-sysroot. Tests run under qemu-mipsel, so ctest works as on the host.
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake -DTOLVU_MIPSEL_SYSROOT=DIR ...
# By default the code is built as OpenWrt builds a package for a 24Kc (mips32r2) router: MIPS16
# with interlinking, the size a router gets; -DTOLVU_MIPSEL_OPENWRT=OFF builds Debian's plain
# mipsel code instead.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)

set(TOLVU_MIPSEL_SYSROOT "$ENV{TOLVU_MIPSEL_SYSROOT}" CACHE PATH "Sysroot made by scripts/mipsel-sysroot")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TOLVU_MIPSEL_SYSROOT)
if(NOT TOLVU_MIPSEL_SYSROOT)
  message(FATAL_ERROR "set TOLVU_MIPSEL_SYSROOT to the directory scripts/mipsel-sysroot prints")
endif()
# Checks that configure projects of their own (link-time optimisation's) read it from here.
set(ENV{TOLVU_MIPSEL_SYSROOT} "${TOLVU_MIPSEL_SYSROOT}")
set(_libdirs "${TOLVU_MIPSEL_SYSROOT}/usr/lib/mipsel-linux-gnu:${TOLVU_MIPSEL_SYSROOT}/lib/mipsel-linux-gnu")

set(CMAKE_FIND_ROOT_PATH "${TOLVU_MIPSEL_SYSROOT}" /usr/mipsel-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} "${TOLVU_MIPSEL_SYSROOT}/usr/lib/mipsel-linux-gnu/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${TOLVU_MIPSEL_SYSROOT}")

set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,${_libdirs}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,-rpath-link,${_libdirs}")

set(TOLVU_MIPSEL_OPENWRT ON CACHE BOOL "OpenWrt's flags for a 24Kc router (MIPS16, interlinking)")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TOLVU_MIPSEL_OPENWRT)
# On 32-bit MIPS a 64-bit count printed with the wrong length modifier is garbage.
set(_flags "-Werror=format")
if(TOLVU_MIPSEL_OPENWRT)
  # OpenWrt's target flags for its 24Kc boards (ath79; ramips mt7620 and mt76x8) and what its
  # package build adds for MIPS16. The build type's -Os comes after them, as in OpenWrt's CMake
  # packages.
  string(APPEND _flags " -Os -pipe -mno-branch-likely -mips32r2 -mtune=24kc -fno-caller-saves"
         " -fno-plt -mips16 -minterlink-mips16")
endif()
set(CMAKE_C_FLAGS_INIT "${_flags}")
set(CMAKE_CXX_FLAGS_INIT "${_flags}")

set(CMAKE_CROSSCOMPILING_EMULATOR
    qemu-mipsel -L "${TOLVU_MIPSEL_SYSROOT}"
    -E "LD_LIBRARY_PATH=/usr/lib/mipsel-linux-gnu:/lib/mipsel-linux-gnu:/lib")
