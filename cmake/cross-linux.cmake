# cross-linux.cmake: a toolchain file for Debian's cross compilers, e.g.
#   cmake -S . -B build-aarch64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/cross-linux.cmake -DLUMIVANE_CROSS=aarch64-linux-gnu
# (also riscv64-linux-gnu, s390x-linux-gnu). Programs and tests run under
# qemu-user; libraries of the target (MPFR, GMP, GoogleTest) come from
# Debian's multiarch packages (libmpfr-dev:arm64 and so on) where installed.
if(NOT LUMIVANE_CROSS)
  set(LUMIVANE_CROSS "$ENV{LUMIVANE_CROSS}")
endif()
if(NOT LUMIVANE_CROSS)
  message(FATAL_ERROR "cross-linux.cmake: set LUMIVANE_CROSS to a Debian triple, e.g. aarch64-linux-gnu")
endif()
# The compiler checks' own projects read this file again, without the cache.
set(ENV{LUMIVANE_CROSS} "${LUMIVANE_CROSS}")
string(REGEX MATCH "^[^-]+" processor "${LUMIVANE_CROSS}")

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${processor})
set(CMAKE_C_COMPILER ${LUMIVANE_CROSS}-gcc)
set(CMAKE_CXX_COMPILER ${LUMIVANE_CROSS}-g++)
# Where Debian's multiarch C library for the target is installed (it comes
# with libmpfr-dev:arm64 and the like), qemu runs the programs with it, loader
# and all: the cross package's loader with the newer multiarch libc.so.6
# that it finds first can hang at the first thread. Elsewhere the cross
# package's runtime.
if(EXISTS /usr/lib/${LUMIVANE_CROSS}/libc.so.6)
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${processor})
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${processor};-L;/usr/${LUMIVANE_CROSS})
endif()
# Only the target's pkg-config files.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${LUMIVANE_CROSS}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
