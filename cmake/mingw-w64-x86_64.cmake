# Cross build for 64-bit Windows with mingw-w64 on Linux; the tests run
# under wine through cmake/wine-run.sh.
#
#   cmake -S . -B build-mingw -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#
# The "-posix" compilers use the POSIX thread model: the "win32" one, which
# Debian's plain x86_64-w64-mingw32-g++ uses, has no std::mutex or std::thread.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(XO_MINGW_TRIPLET x86_64-w64-mingw32)

find_program(CMAKE_C_COMPILER NAMES ${XO_MINGW_TRIPLET}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${XO_MINGW_TRIPLET}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${XO_MINGW_TRIPLET}-windres)

# Headers and libraries come from the mingw-w64 sysroot only; programs are
# the build machine's.
set(CMAKE_FIND_ROOT_PATH /usr/${XO_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc, libstdc++ and winpthread are linked in statically, so executables
# and DLLs need no GCC runtime DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Libraries are linked as one group (see the file for why).
set(CMAKE_USER_MAKE_RULES_OVERRIDE ${CMAKE_CURRENT_LIST_DIR}/mingw-w64-link-rules.cmake)

# ctest (and gtest_discover_tests) start every test executable under wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
