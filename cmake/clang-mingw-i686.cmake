# Toolchain of the product (the windows-x86 preset): Debian 12's clang 14 and lld, for 32-bit
# Windows, against the same MinGW-w64 headers and libraries, and GCC 12's libstdc++ and libgcc,
# as the GCC toolchain (cmake/mingw-i686.cmake, kept as the fallback: windows-x86-gcc preset).
include(${CMAKE_CURRENT_LIST_DIR}/mingw-i686.cmake)

set(CMAKE_C_COMPILER   clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_C_COMPILER_TARGET   ${MINGW_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${MINGW_TRIPLE})
# With link-time optimisation the static libraries hold LLVM bitcode: LLVM's archiver indexes it.
set(CMAKE_AR     /usr/bin/llvm-ar-14)
set(CMAKE_RANLIB /usr/bin/llvm-ranlib-14)

# clang 14 looks for GCC's files under a numbered version folder and misses Debian's "12-posix":
# name the folder. -B makes the driver take GCC's crtbegin.o/crtend.o, which register the DWARF
# unwind tables that libgcc's exception handling needs (MinGW-w64's own pair does not).
set(VANTREL_MINGW_GCC_DIR "/usr/lib/gcc/${MINGW_TRIPLE}/12-posix" CACHE PATH "GCC's MinGW-w64 files (libstdc++, libgcc, crtbegin.o)")
set(vantrel_gcc "${VANTREL_MINGW_GCC_DIR}")

# Debian's libstdc++ for MinGW keeps its thread-locals in emulated TLS (__emutls_get_address):
# code that inlines its headers (std::call_once, ...) has to do the same.
# libstdc++.a carries std::type_info::operator== out of line (tinfo.o); its header's inline copy
# clashes with it under LTO (a duplicate symbol): call the library's one, as its ABI allows.
set(CMAKE_C_FLAGS_INIT "-femulated-tls")
set(CMAKE_CXX_FLAGS_INIT "-femulated-tls -D__GXX_TYPEINFO_EQUALITY_INLINE=0 -isystem ${vantrel_gcc}/include/c++ -isystem ${vantrel_gcc}/include/c++/${MINGW_TRIPLE} -isystem ${vantrel_gcc}/include/c++/backward")
# lld resolves static libraries in any order; libstdc++ needs winpthreads.
set(vantrel_link_init "-fuse-ld=lld -B${vantrel_gcc} -L${vantrel_gcc} -lpthread")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${vantrel_link_init}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${vantrel_link_init}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${vantrel_link_init}")
