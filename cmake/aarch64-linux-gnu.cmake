# Cross-build for 64-bit Raspberry Pi systems (arm64: Pi 3, 4, 5, Zero 2 W
# under Raspberry Pi OS 64-bit), with Debian's g++-aarch64-linux-gnu. The
# programs are linked as usual, against the board's C library.
#
# Tests run under qemu-aarch64 as strict as a Pi 3 (cortex-a53), with the
# cross toolchain's libraries, those the programs were linked against; pass
# -DCMAKE_CROSSCOMPILING_EMULATOR=... for another emulator or CPU.
#
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(KIT_SYSROOT /usr/aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/sysroot.cmake)

# The loader would otherwise take /lib/aarch64-linux-gnu from the host's
# arm64 libc6 (installed for packaging), of another build than the
# toolchain's loader.
set(CMAKE_CROSSCOMPILING_EMULATOR
    "qemu-aarch64;-L;${KIT_SYSROOT};-E;LD_LIBRARY_PATH=${KIT_SYSROOT}/lib;-cpu;cortex-a53"
    CACHE STRING "Runs the target's programs for the tests")
