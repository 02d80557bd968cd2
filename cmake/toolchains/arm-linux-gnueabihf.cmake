# 32-bit ARM with hardware floating point: Debian's g++-arm-linux-gnueabihf (package architecture armhf), run here under qemu-arm-static.
set(brindock_triple arm-linux-gnueabihf)
set(brindock_processor armv7l)
set(brindock_qemu arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
