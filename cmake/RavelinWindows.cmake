# Settings shared by every target of our own.

# {fmt} is used header-only. Its headers are copied into the build tree because the cross compiler
# must never see /usr/include, whose glibc headers would shadow the Windows ones.
set(RAVELIN_THIRD_PARTY_INCLUDE ${CMAKE_BINARY_DIR}/third_party/include)
if(NOT EXISTS /usr/include/fmt/format.h)
  message(FATAL_ERROR "{fmt} headers not found: install libfmt-dev (tools/bootstrap.sh does).")
endif()
file(COPY /usr/include/fmt DESTINATION ${RAVELIN_THIRD_PARTY_INCLUDE})

add_library(ravelin_fmt INTERFACE)
target_include_directories(ravelin_fmt SYSTEM INTERFACE ${RAVELIN_THIRD_PARTY_INCLUDE})
target_compile_definitions(ravelin_fmt INTERFACE FMT_HEADER_ONLY)

add_library(ravelin_options INTERFACE)
target_compile_definitions(ravelin_options INTERFACE
  UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00 WINVER=0x0A00)
target_compile_options(ravelin_options INTERFACE
  $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Werror>)
