# SPDX-License-Identifier: ISC
# 32-bit ARM with soft floating point (ARMv5TE and later), Debian's armel;
# run under qemu-arm.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(triplet arm-linux-gnueabi)
set(qemu qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian.cmake)
