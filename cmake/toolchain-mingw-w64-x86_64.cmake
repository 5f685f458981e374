# Cross build for 64-bit Windows with Debian's mingw-w64 (posix thread model).
#
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-w64-x86_64.cmake
#
# Boost (Asio, System) and nlohmann json are header-only for what the library
# uses, so the host's headers serve. They are reached through a small prefix in
# the build tree that holds only those two header trees (and nlohmann's
# architecture-independent package files): adding the host's /usr/include
# itself would put glibc's headers in front of the Windows ones. Nothing else
# of the host, no library and no other package, enters the cross build.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUORVELLAN_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUORVELLAN_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUORVELLAN_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QUORVELLAN_MINGW_TRIPLE}-windres)

# Executables carry their own copy of the GCC runtime and winpthread, so that
# the tests run under Wine, or on Windows, without the compiler's DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${QUORVELLAN_MINGW_TRIPLE})

# Test projects that CMake compiles while it probes the compiler need none of
# the host headers.
if(CMAKE_IN_TRY_COMPILE)
  return()
endif()

set(QUORVELLAN_HOST_HEADERS ${CMAKE_BINARY_DIR}/host-headers)
function(quorvellan_link_host_path link target)
  if(NOT EXISTS ${QUORVELLAN_HOST_HEADERS}/${link})
    get_filename_component(parent ${QUORVELLAN_HOST_HEADERS}/${link} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${target} ${QUORVELLAN_HOST_HEADERS}/${link} SYMBOLIC)
  endif()
endfunction()
quorvellan_link_host_path(include/boost /usr/include/boost)
quorvellan_link_host_path(include/nlohmann /usr/include/nlohmann)
quorvellan_link_host_path(share/cmake/nlohmann_json /usr/share/cmake/nlohmann_json)
# OpenXR's application headers (libopenxr-dev) for the API layer: plain C,
# the same on every system.
if(EXISTS /usr/include/openxr/openxr.h)
  quorvellan_link_host_path(include/openxr /usr/include/openxr)
endif()
list(APPEND CMAKE_FIND_ROOT_PATH ${QUORVELLAN_HOST_HEADERS})

# FindBoost, header-only: the host's BoostConfig would bring its libraries.
set(Boost_NO_BOOST_CMAKE ON CACHE BOOL "")
set(Boost_INCLUDE_DIR ${QUORVELLAN_HOST_HEADERS}/include CACHE PATH "")
