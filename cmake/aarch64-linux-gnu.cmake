# Cross build for the field's processor with Debian's aarch64-linux-gnu
# toolchain and the arm64 multiarch packages (scripts/cross-aarch64.sh
# installs both). Test programs run under qemu-user, so ctest works as on a
# native build.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Libraries and headers of the target come from the multiarch directories;
# programs (ninja, pkg-config) from the build machine.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# pkg-config must describe arm64 libraries, never the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# The programs load the arm64 multiarch C library (libc6:arm64, which the
# arm64 library packages bring) through /lib/ld-linux-aarch64.so.1. Pointing
# qemu at the cross toolchain's own copy instead (-L /usr/aarch64-linux-gnu)
# mixes two builds of the C library, and threaded tests then hang.
find_program(TORVEL_QEMU_AARCH64 qemu-aarch64-static)
if(TORVEL_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TORVEL_QEMU_AARCH64})
endif()
