# Cross-build for Windows x86-64: clang in mingw-w64 mode over Debian's
# mingw-w64 runtime and its C++ library (the posix threads flavour), linked by
# lld. Unlike g++, clang writes CodeView, so every binary gets a PDB with
# function names, source lines and locals, as Windows debuggers expect.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET x86_64-w64-mingw32)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET x86_64-w64-mingw32)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_STRIP llvm-strip)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)

# clang does not find Debian's gcc folder by itself (its version is "12-posix").
set(CORVANE_MINGW_GCC /usr/lib/gcc/x86_64-w64-mingw32/12-posix)
set(CMAKE_CXX_FLAGS_INIT "-nostdinc++ -isystem ${CORVANE_MINGW_GCC}/include/c++ \
-isystem ${CORVANE_MINGW_GCC}/include/c++/x86_64-w64-mingw32 \
-isystem ${CORVANE_MINGW_GCC}/include/c++/backward -gcodeview -Wno-unused-command-line-argument")
set(CMAKE_C_FLAGS_INIT "-gcodeview -Wno-unused-command-line-argument")
# The C++ library's threads are winpthreads (lld finds an archive wherever it
# stands on the command line).
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-fuse-ld=lld -L${CORVANE_MINGW_GCC} -lpthread")
endforeach()
