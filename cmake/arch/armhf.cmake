# SPDX-License-Identifier: ISC
# 32-bit ARM with hardware floating point (ARMv7-A, VFPv3-D16: NEON is not
# promised), Debian's armhf; run under qemu-arm.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(triplet arm-linux-gnueabihf)
set(qemu qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian.cmake)
