# SPDX-License-Identifier: ISC
# The conversion's sources, for the program's build and for the cross build
# of its tests.
set(convert_sources
  ${CMAKE_CURRENT_LIST_DIR}/../src/convert.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../src/drop/plain.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../src/drop/ssse3.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../src/drop/avx2.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../src/drop/avx512.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../src/drop/neon.cpp)
