# Cross-build for 64-bit Windows with clang on Linux, against the mingw-w64 headers and libraries
# and the C++ library of the mingw-w64 GCC; programs run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VANTREL_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${VANTREL_MINGW_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${VANTREL_MINGW_TRIPLE})
set(CMAKE_RC_COMPILER ${VANTREL_MINGW_TRIPLE}-windres)
# The mingw-w64 binutils, as with GCC: LLVM's own may not be installed.
set(CMAKE_AR ${VANTREL_MINGW_TRIPLE}-ar)
set(CMAKE_RANLIB ${VANTREL_MINGW_TRIPLE}-ranlib)
# The mingw-w64 headers and libraries, and none of the host's.
set(CMAKE_SYSROOT /usr/${VANTREL_MINGW_TRIPLE})

# clang does not find GCC's C++ library in Debian's layout. The -posix one, as with GCC: the
# -win32 one lacks std::mutex and std::thread, and needs winpthreads (-pthread) at link time.
file(GLOB VANTREL_GCC_DIRS LIST_DIRECTORIES true /usr/lib/gcc/${VANTREL_MINGW_TRIPLE}/*-posix)
list(SORT VANTREL_GCC_DIRS COMPARE NATURAL)
list(POP_BACK VANTREL_GCC_DIRS VANTREL_GCC_DIR)
if(NOT VANTREL_GCC_DIR)
    message(FATAL_ERROR "No /usr/lib/gcc/${VANTREL_MINGW_TRIPLE}/*-posix: install "
                        "g++-mingw-w64-x86-64-posix (scripts/install-deps.sh does).")
endif()
set(CMAKE_CXX_FLAGS_INIT "-isystem ${VANTREL_GCC_DIR}/include/c++ \
-isystem ${VANTREL_GCC_DIR}/include/c++/${VANTREL_MINGW_TRIPLE}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-L${VANTREL_GCC_DIR} -pthread")

set(CMAKE_FIND_ROOT_PATH /usr/${VANTREL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
