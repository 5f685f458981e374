# Dependencies, warnings, and the helper that builds a variant of the library.

find_package(Boost 1.74 REQUIRED)          # Asio and System, header-only here
find_package(nlohmann_json 3.2 REQUIRED)
find_package(Threads REQUIRED)

# simdjson reads the replies' fields. A developer's Linux build links Debian's
# libsimdjson-dev. The Windows DLL, and the release files for Linux (so that
# they need nothing a user's machine may lack), compile in the amalgamated
# simdjson.cpp of Debian's source package, which `scripts/install-deps`
# unpacks into build-deps/simdjson. Either way its kernels are chosen at run
# time for the processor, so one build runs on every x86-64.
if(WIN32)
  set(simdjson_builtin_default ON)
else()
  set(simdjson_builtin_default OFF)
endif()
option(QUORVELLAN_SIMDJSON_BUILTIN "Compile simdjson's amalgamated sources into the library" ${simdjson_builtin_default})
if(QUORVELLAN_SIMDJSON_BUILTIN)
  set(QUORVELLAN_SIMDJSON_DIR ${PROJECT_SOURCE_DIR}/build-deps/simdjson CACHE PATH
      "Folder with simdjson's amalgamated simdjson.h and simdjson.cpp")
  if(NOT EXISTS ${QUORVELLAN_SIMDJSON_DIR}/simdjson.cpp)
    message(FATAL_ERROR "no simdjson.cpp in ${QUORVELLAN_SIMDJSON_DIR}: run scripts/install-deps package")
  endif()
  add_library(quorvellan_simdjson STATIC ${QUORVELLAN_SIMDJSON_DIR}/simdjson.cpp)
  target_include_directories(quorvellan_simdjson SYSTEM PUBLIC ${QUORVELLAN_SIMDJSON_DIR})
  set_target_properties(quorvellan_simdjson PROPERTIES POSITION_INDEPENDENT_CODE ON
                                                       CXX_VISIBILITY_PRESET hidden)
  if(WIN32 AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # GCC for Windows does not align the stack for 32-byte vectors, so the
    # assembler turns the AVX kernels' aligned moves into unaligned ones.
    target_compile_options(quorvellan_simdjson PRIVATE -Wa,-muse-unaligned-vector-move)
  endif()
  add_library(simdjson::simdjson ALIAS quorvellan_simdjson)
else()
  find_package(simdjson 3 REQUIRED)
endif()

# quorvellan_resolve_auto(<option> <package> <Debian packages>): turns an
# AUTO option into ON when the package is found, else OFF with a note.
function(quorvellan_resolve_auto option package debian_packages)
  if(NOT ${option} STREQUAL "AUTO")
    return()
  endif()
  find_package(${package} QUIET)
  if(${package}_FOUND)
    set(${option} ON PARENT_SCOPE)
  else()
    message(STATUS "${option}: ${package} not found, not built (Debian: ${debian_packages})")
    set(${option} OFF PARENT_SCOPE)
  endif()
endfunction()

# Warnings on for our own targets.
function(quorvellan_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
endfunction()

# Everything that a library variant and the unit tests share.
function(quorvellan_link_dependencies target)
  target_link_libraries(${target} PUBLIC Boost::headers nlohmann_json::nlohmann_json Threads::Threads)
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
  if(WIN32)
    target_compile_definitions(${target} PUBLIC _WIN32_WINNT=0x0601 WIN32_LEAN_AND_MEAN)
    target_link_libraries(${target} PUBLIC ws2_32 mswsock)
  endif()
endfunction()

# quorvellan_add_library(<target> <remote host>): the shared library with the
# seventeen entry points of api/QuorvellanAPI.h; everything else stays hidden.
function(quorvellan_add_library target remote_host)
  add_library(${target} SHARED
    ${PROJECT_SOURCE_DIR}/api/lifecycle.cpp
    ${PROJECT_SOURCE_DIR}/api/floor_queries.cpp
    ${PROJECT_SOURCE_DIR}/api/state_queries.cpp
    ${PROJECT_SOURCE_DIR}/api/commands.cpp
    ${PROJECT_SOURCE_DIR}/session/remote_host.cpp)
  target_link_libraries(${target} PRIVATE quorvellan_core)
  target_compile_definitions(${target} PRIVATE QUORVELLAN_BUILDING_LIBRARY
                             QUORVELLAN_REMOTE_HOST="${remote_host}")
  target_include_directories(${target} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/api> $<INSTALL_INTERFACE:include>)
  set_target_properties(${target} PROPERTIES
    CXX_VISIBILITY_PRESET hidden C_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  quorvellan_warnings(${target})
  if(NOT WIN32)
    # Only the entry points leave the library; no template or typeinfo symbol
    # of the dependencies does.
    target_link_options(${target} PRIVATE
      -Wl,--version-script=${PROJECT_SOURCE_DIR}/cmake/exports.map -Wl,--no-undefined)
  elseif(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # A Windows machine has no GCC runtime: libgcc, libstdc++ and winpthread
    # go into the DLL, which then imports only system DLLs.
    target_link_options(${target} PRIVATE -static)
  endif()
endfunction()
