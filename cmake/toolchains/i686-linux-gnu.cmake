# 32-bit x86: Debian's g++-i686-linux-gnu (package architecture i386), run here under qemu-i386-static.
set(brindock_triple i686-linux-gnu)
set(brindock_processor i686)
set(brindock_qemu i386)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
