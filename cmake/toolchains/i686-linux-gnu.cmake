# 32-bit x86 with the host compilers (Debian's gcc-multilib and g++-multilib).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -m32)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

# The kernel's asm headers are the same for both word sizes; the
# unversioned gcc-multilib package links them into /usr/include, but it
# cannot be installed beside cross compilers, so link them here.
if(NOT EXISTS /usr/include/asm AND EXISTS /usr/include/x86_64-linux-gnu/asm)
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/i686-include)
  file(CREATE_LINK /usr/include/x86_64-linux-gnu/asm ${CMAKE_BINARY_DIR}/i686-include/asm SYMBOLIC)
  string(APPEND CMAKE_C_FLAGS_INIT " -isystem ${CMAKE_BINARY_DIR}/i686-include")
  string(APPEND CMAKE_CXX_FLAGS_INIT " -isystem ${CMAKE_BINARY_DIR}/i686-include")
endif()
