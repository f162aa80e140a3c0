# SPDX-License-Identifier: ISC
# 64-bit little-endian MIPS (MIPS64 release 2, the 64-bit ABI), Debian's
# mips64el; run under qemu-mips64el.
set(CMAKE_SYSTEM_PROCESSOR mips64)
set(triplet mips64el-linux-gnuabi64)
set(qemu qemu-mips64el)
include(${CMAKE_CURRENT_LIST_DIR}/debian.cmake)
