# 64-bit ARM: Debian's g++-aarch64-linux-gnu (package architecture arm64), run here under qemu-aarch64-static.
set(brindock_triple aarch64-linux-gnu)
set(brindock_processor aarch64)
set(brindock_qemu aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
