# Shared by the toolchain files beside it: Debian's cross compiler for
# brindock_triple (g++-<triple>), its own root for libraries and headers, and
# the user-mode emulator that runs the result on this machine, which CMake
# records for whoever wants to run a target binary (CI's emulated test run).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${brindock_processor})
set(CMAKE_CXX_COMPILER ${brindock_triple}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${brindock_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${brindock_qemu}-static)
