# 64-bit ARM Linux with Debian's cross compiler (g++-aarch64-linux-gnu) and
# the target's libraries installed beside the build machine's by multiarch
# (dpkg --add-architecture arm64; libpng-dev:arm64 and so on, found in
# /usr/lib/aarch64-linux-gnu). The tests run the cross-built programs through
# qemu's user-mode emulator (qemu-user), unless configured with another or
# none (-DCMAKE_CROSSCOMPILING_EMULATOR=). scripts/cross-test arm64 does it
# all.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
endif()
