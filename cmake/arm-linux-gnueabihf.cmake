# Cross-build for 32-bit ARM (Debian's armhf: ARMv7 with hardware floating
# point, Raspberry Pi 2 and later, Zero 2 W), with Debian's
# g++-arm-linux-gnueabihf. Tests run under qemu-arm from qemu-user, as
# strict as a Pi 2 (cortex-a7); pass -DCMAKE_CROSSCOMPILING_EMULATOR=... to
# use another emulator or CPU.
#
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

set(KIT_SYSROOT /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH ${KIT_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The libraries are the cross toolchain's, those the programs were linked
# against, even where the armhf libc6 is installed too (for packaging): the
# loader would otherwise take /lib/arm-linux-gnueabihf from the host, of
# another build than the toolchain's loader.
set(CMAKE_CROSSCOMPILING_EMULATOR
    "qemu-arm;-L;${KIT_SYSROOT};-E;LD_LIBRARY_PATH=${KIT_SYSROOT}/lib;-cpu;cortex-a7"
    CACHE STRING "Runs the target's programs for the tests")
