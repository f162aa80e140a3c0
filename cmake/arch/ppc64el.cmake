# SPDX-License-Identifier: ISC
# 64-bit little-endian POWER (POWER8 and later), Debian's ppc64el; run
# under qemu-ppc64le.
set(CMAKE_SYSTEM_PROCESSOR ppc64le)
set(triplet powerpc64le-linux-gnu)
set(qemu qemu-ppc64le)
include(${CMAKE_CURRENT_LIST_DIR}/debian.cmake)
