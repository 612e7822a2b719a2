# What both board toolchains share: libraries and headers are looked up in
# the cross toolchain's KIT_SYSROOT only, programs (the build's tools) on the
# host. Included by the toolchain files once they set KIT_SYSROOT.
set(CMAKE_FIND_ROOT_PATH ${KIT_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
