# SPDX-License-Identifier: ISC
# 32-bit x86, Debian's i386. An x86-64 Linux kernel runs its programs as
# they are: no emulator. The loader and C library come from this machine's
# libc6-i386 (/lib/ld-linux.so.2, /lib32), which has no C++ runtime, so
# every program here, the tests too, links that runtime in.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(triplet i686-linux-gnu)
set(qemu "")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libstdc++ -static-libgcc")
include(${CMAKE_CURRENT_LIST_DIR}/debian.cmake)
