# Settings shared by every target of our own.

# {fmt}'s headers are copied into the build tree because the cross compiler must never see
# /usr/include, whose glibc headers would shadow the Windows ones. Its compiled part is built once,
# in the foundation layer (common/Format.cpp), not inline in every file that formats.
set(RAVELIN_THIRD_PARTY_INCLUDE ${CMAKE_BINARY_DIR}/third_party/include)
if(NOT EXISTS /usr/include/fmt/format.h)
  message(FATAL_ERROR "{fmt} headers not found: install libfmt-dev (tools/bootstrap.sh does).")
endif()
file(COPY /usr/include/fmt DESTINATION ${RAVELIN_THIRD_PARTY_INCLUDE})

add_library(ravelin_fmt INTERFACE)
target_include_directories(ravelin_fmt SYSTEM INTERFACE ${RAVELIN_THIRD_PARTY_INCLUDE})

add_library(ravelin_options INTERFACE)
target_compile_definitions(ravelin_options INTERFACE
  UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00 WINVER=0x0A00)
target_compile_options(ravelin_options INTERFACE
  $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Werror>)

# ravelin_version_resource(TARGET DESCRIPTION): the version resource of an executable or library,
# from the project's one version (project() in the top CMakeLists.txt).
function(ravelin_version_resource target description)
  get_target_property(type ${target} TYPE)
  get_target_property(output_name ${target} OUTPUT_NAME)
  if(NOT output_name)
    set(output_name ${target})
  endif()
  set(RAVELIN_VERSION_DESCRIPTION "${description}")
  set(RAVELIN_VERSION_TARGET_NAME ${output_name})
  if(type STREQUAL "SHARED_LIBRARY")
    set(RAVELIN_VERSION_FILE_TYPE VFT_DLL)
    set(RAVELIN_VERSION_TARGET_FILE ${output_name}.dll)
  else()
    set(RAVELIN_VERSION_FILE_TYPE VFT_APP)
    set(RAVELIN_VERSION_TARGET_FILE ${output_name}.exe)
  endif()
  set(resource ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/VersionInfo.rc.in ${resource} @ONLY)
  target_sources(${target} PRIVATE ${resource})
endfunction()

# ravelin_precompiled_headers(TARGET OWNER header...): TARGET compiles with one precompiled header
# of platform, standard and third-party headers, built once by OWNER for every target that names
# the same OWNER. Only headers that never change with our sources go in, so the header is built
# once per build tree and no layer sees another's headers through it. Every target that shares it
# has the same definitions and options (ravelin_options); should one differ, the compiler warns
# that the header is invalid and the warning fails the build instead of compiling something else.
function(ravelin_precompiled_headers target owner)
  if(target STREQUAL owner)
    target_precompile_headers(${target} PRIVATE ${ARGN})
  else()
    target_precompile_headers(${target} REUSE_FROM ${owner})
  endif()
endfunction()
