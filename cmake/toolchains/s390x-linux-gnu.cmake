# 64-bit IBM Z, big-endian: Debian's g++-s390x-linux-gnu (package architecture s390x), run here under qemu-s390x-static.
set(brindock_triple s390x-linux-gnu)
set(brindock_processor s390x)
set(brindock_qemu s390x)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
