# Cross build for 32-bit ARM (Debian armhf): the cross compiler from g++-arm-linux-gnueabihf and a
# sysroot holding the armhf builds of the dependencies (scripts/test-armhf makes one). Tests and
# test discovery run through qemu user emulation.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
if(NOT QUELT_ARMHF_SYSROOT)
  set(QUELT_ARMHF_SYSROOT /opt/quelt-armhf-sysroot)
endif()
set(CMAKE_SYSROOT ${QUELT_ARMHF_SYSROOT})
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L ${QUELT_ARMHF_SYSROOT})
# pkg-config reads the sysroot's .pc files and prefixes their paths.
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${QUELT_ARMHF_SYSROOT})
set(ENV{PKG_CONFIG_LIBDIR} ${QUELT_ARMHF_SYSROOT}/usr/lib/arm-linux-gnueabihf/pkgconfig:${QUELT_ARMHF_SYSROOT}/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
