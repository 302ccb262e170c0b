# The second compiler: the Debian release's clang and lld (14 on Debian 12, 19 on Debian 13:
# tools/llvm-version.sh) for the same target as the GCC toolchain file, against the same MinGW-w64
# headers and run-time and GCC's libstdc++ (make lint). Nothing built with it ships or runs; it is
# there for what clang's warnings and clang-tidy see.
# The target, the run-time's folders and the emulator are the GCC toolchain's; the compilers are not.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-x86_64.cmake)
execute_process(COMMAND ${CMAKE_CURRENT_LIST_DIR}/../tools/llvm-version.sh
                OUTPUT_VARIABLE RAVELIN_LLVM_VERSION OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
set(CMAKE_C_COMPILER clang-${RAVELIN_LLVM_VERSION})
set(CMAKE_CXX_COMPILER clang++-${RAVELIN_LLVM_VERSION})
set(CMAKE_C_COMPILER_TARGET ${MINGW_PREFIX})
set(CMAKE_CXX_COMPILER_TARGET ${MINGW_PREFIX})
# The sysroot keeps the host's /usr/include (glibc) out of every search.
set(CMAKE_SYSROOT /usr/${MINGW_PREFIX})

# GCC's C++ library for this target, its posix-threads flavour, as the GCC build uses it (12 on
# Debian 12, 14 on Debian 13: the folder GCC names itself); clang's driver does not look for it
# there, nor does it link the threads library GCC's driver adds.
execute_process(COMMAND ${MINGW_PREFIX}-g++-posix -dumpversion
                OUTPUT_VARIABLE RAVELIN_GCC_VERSION OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
set(RAVELIN_GCC_LIBRARY /usr/lib/gcc/${MINGW_PREFIX}/${RAVELIN_GCC_VERSION})
# GCC's thread-local variables on this target are emulated; the library's are reached the same way.
set(CMAKE_C_FLAGS_INIT "-femulated-tls")
set(CMAKE_CXX_FLAGS_INIT
  "-femulated-tls -nostdinc++ -isystem ${RAVELIN_GCC_LIBRARY}/include/c++ -isystem ${RAVELIN_GCC_LIBRARY}/include/c++/${MINGW_PREFIX} -isystem ${RAVELIN_GCC_LIBRARY}/include/c++/backward")
# lld by the path its package installs: Debian's lld-N has no unversioned ld.lld on the PATH
# (another package adds that), and clang's -fuse-ld=lld alone looks for exactly that name.
# (lld takes an archive wherever it stands on the command line.) The C++ flags reach the link
# command too, where they have nothing to do.
set(RAVELIN_LLD /usr/lib/llvm-${RAVELIN_LLVM_VERSION}/bin/ld.lld)
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT
      "-fuse-ld=lld --ld-path=${RAVELIN_LLD} -L${RAVELIN_GCC_LIBRARY} -lpthread -Wno-unused-command-line-argument")
endforeach()
