# SPDX-License-Identifier: ISC
# What the cross builds with Debian's cross compilers share; the file for
# each architecture beside this one sets `triplet` (the compilers' prefix,
# and /usr/TRIPLET, where their C library and C++ runtime lie) and `qemu`
# (the qemu-user emulator that runs its programs here, or empty where this
# machine's processor and kernel run them as they are), then includes it.
#
#   cmake -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arch/armhf.cmake \
#     -DGTest_DIR=...   (GoogleTest built from /usr/src/googletest with the
#                        same toolchain file: .ci/arches does both)
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${triplet}-gcc)
set(CMAKE_CXX_COMPILER ${triplet}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# No package of this machine's own architecture (Google Benchmark, say)
# may be taken for the target's.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# ctest and the tests' discovery run the target's programs through it; the
# loader and the libraries come from /usr/TRIPLET (-L). The tests run the
# program itself through EOLSCRUB2_WRAP, which .ci/arches sets to the same.
if(qemu)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${qemu} -L /usr/${triplet})
endif()
