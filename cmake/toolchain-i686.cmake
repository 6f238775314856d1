# 32-bit x86 Linux (Debian's i386) with Debian's cross compiler
# (g++-i686-linux-gnu) and the target's libraries installed beside the build
# machine's by multiarch (dpkg --add-architecture i386; libpng-dev:i386 and so
# on, found in /usr/lib/i386-linux-gnu). An x86-64 Linux kernel runs i386
# programs itself, so the tests need no emulator there; elsewhere configure
# with -DCMAKE_CROSSCOMPILING_EMULATOR=qemu-i386. scripts/cross-test i386
# does it all.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
