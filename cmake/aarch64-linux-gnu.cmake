# Cross-building for 64-bit ARM with Debian's cross toolchain and the target's libraries as
# multiarch packages (zlib1g-dev:arm64 and the like; scripts/deps --arm64 installs them).
# Programs of the build (gzip, pkg-config) are the host's; the tests and the programs they
# start run under qemu-user. scripts/arm64 uses this file.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# Libraries are looked for in /usr/lib/aarch64-linux-gnu, never in the host's directory.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
# The target's loader and libraries are found where multiarch put them (-L /usr/aarch64-linux-gnu
# is not needed, and with it a forked child hangs in qemu 7.2).
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-aarch64)
