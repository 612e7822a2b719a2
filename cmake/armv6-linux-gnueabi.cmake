# Cross-build for every 32-bit Raspberry Pi: the programs of the armhf
# package. Raspbian's armhf baseline is ARMv6 (Pi 1, Zero, Zero W), and
# Debian's own armhf toolchain cannot build for it: its start-up files and
# libgcc are ARMv7 Thumb-2 code, linked into every program whatever -march
# our own files get. Debian's armel toolchain (g++-arm-linux-gnueabi) is
# ARMv5TE in ARM mode throughout; with -march=armv6 -marm for our code and a
# static link, a program holds nothing newer than ARMv6 and needs no library
# of the board (whose float ABI, hard, is not armel's).
#
# What the static link costs: a host name that only an NSS plugin resolves
# (mDNS ".local") is unknown to the sender, and a fix to the C library reaches
# the kit only with a new package. /etc/hosts, /etc/services and DNS work.
#
# Tests run under qemu-arm as strict as a Pi 1 (arm1176); pass
# -DCMAKE_CROSSCOMPILING_EMULATOR=... for another emulator or CPU.
#
#   cmake -S . -B build-armv6 -DCMAKE_TOOLCHAIN_FILE=cmake/armv6-linux-gnueabi.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)
set(CMAKE_C_FLAGS_INIT "-march=armv6 -marm")
set(CMAKE_CXX_FLAGS_INIT "-march=armv6 -marm")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

set(KIT_SYSROOT /usr/arm-linux-gnueabi)
include(${CMAKE_CURRENT_LIST_DIR}/sysroot.cmake)

# Static programs: the emulator needs no library path.
set(CMAKE_CROSSCOMPILING_EMULATOR "qemu-arm;-cpu;arm1176"
    CACHE STRING "Runs the target's programs for the tests")
