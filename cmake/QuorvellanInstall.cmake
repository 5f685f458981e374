# What `cmake --install` puts in place: the library and the stream library
# (with their version and SOVERSION), the public headers, a CMake package giving the imported target
# QuorvellanAPI::QuorvellanAPI, a pkg-config file, and the simulator and
# monitor when they are built, and the OpenXR layer's scripts and probe with
# the layer.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QUORVELLAN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/QuorvellanAPI)

# The stream library beside it finds the core in its own directory.
set_target_properties(QuorvellanStream PROPERTIES INSTALL_RPATH "$ORIGIN")
install(TARGETS QuorvellanAPI QuorvellanStream EXPORT QuorvellanAPITargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development)

# Windows: each DLL's export list as a .def file, for toolchains that make
# their own import library (MSVC's lib /def, dlltool).
if(WIN32 AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  foreach(library QuorvellanAPI QuorvellanStream)
    get_target_property(library_dir ${library} BINARY_DIR)
    target_link_options(${library} PRIVATE "-Wl,--output-def,${library_dir}/${library}.def")
    install(FILES ${library_dir}/${library}.def DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development)
  endforeach()
endif()

install(EXPORT QuorvellanAPITargets
  NAMESPACE QuorvellanAPI::
  DESTINATION ${QUORVELLAN_CMAKE_DIR}
  COMPONENT Development)

# The package file only loads the targets: the library's dependencies are
# linked into it, so a consumer needs nothing else.
file(WRITE ${PROJECT_BINARY_DIR}/install/QuorvellanAPIConfig.cmake.in [[
@PACKAGE_INIT@

include("${CMAKE_CURRENT_LIST_DIR}/QuorvellanAPITargets.cmake")
check_required_components(QuorvellanAPI)
]])
configure_package_config_file(${PROJECT_BINARY_DIR}/install/QuorvellanAPIConfig.cmake.in
  ${PROJECT_BINARY_DIR}/install/QuorvellanAPIConfig.cmake
  INSTALL_DESTINATION ${QUORVELLAN_CMAKE_DIR})
# The major version is the SOVERSION: 1.x packages are interchangeable.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/install/QuorvellanAPIConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/install/QuorvellanAPIConfig.cmake
              ${PROJECT_BINARY_DIR}/install/QuorvellanAPIConfigVersion.cmake
  DESTINATION ${QUORVELLAN_CMAKE_DIR}
  COMPONENT Development)

# pkg-config: relative to the prefix, so the installed tree can be moved.
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/install/quorvellanapi.pc @ONLY CONTENT [[
prefix=${pcfiledir}/../..
exec_prefix=${prefix}
libdir=${prefix}/@CMAKE_INSTALL_LIBDIR@
includedir=${prefix}/@CMAKE_INSTALL_INCLUDEDIR@

Name: QuorvellanAPI
Description: @PROJECT_DESCRIPTION@
Version: @PROJECT_VERSION@
Libs: -L${libdir} -lQuorvellanAPI
Cflags: -I${includedir}
]])
# The stream's: it requires the core's, which brings the include folder.
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/install/quorvellanstream.pc @ONLY CONTENT [[
prefix=${pcfiledir}/../..
libdir=${prefix}/@CMAKE_INSTALL_LIBDIR@
includedir=${prefix}/@CMAKE_INSTALL_INCLUDEDIR@

Name: QuorvellanStream
Description: Background stream of treadmill samples over QuorvellanAPI
Version: @PROJECT_VERSION@
Requires: quorvellanapi = @PROJECT_VERSION@
Libs: -L${libdir} -lQuorvellanStream
Cflags: -I${includedir}
]])
install(FILES ${PROJECT_BINARY_DIR}/install/quorvellanapi.pc ${PROJECT_BINARY_DIR}/install/quorvellanstream.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT Development)

# The tools find the library next door: lib/ beside bin/.
foreach(tool quorvellan-controller-sim quorvellan-monitor quorvellan-xr-probe)
  if(TARGET ${tool})
    set_target_properties(${tool} PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# The OpenXR layer's install, uninstall, calibration and doctor, beside what
# they find: Linux bin/ (the layer in ../lib, the probe and the monitor
# beside them), Windows the prefix's root (the layer and the tools in bin\).
if(TARGET quorvellan_openxr_layer)
  if(WIN32)
    install(FILES ${PROJECT_SOURCE_DIR}/scripts/windows/xr-layer-install.ps1
                  ${PROJECT_SOURCE_DIR}/scripts/windows/xr-layer-uninstall.ps1
                  ${PROJECT_SOURCE_DIR}/scripts/windows/xr-calibrate.ps1
                  ${PROJECT_SOURCE_DIR}/scripts/windows/quorvellan-xr.ps1
      DESTINATION .)
  else()
    install(PROGRAMS ${PROJECT_SOURCE_DIR}/scripts/xr-layer-install ${PROJECT_SOURCE_DIR}/scripts/xr-layer-uninstall
                     ${PROJECT_SOURCE_DIR}/scripts/xr-calibrate ${PROJECT_SOURCE_DIR}/scripts/quorvellan-xr
      DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endif()

# The bindings' sources, for projects that copy them in.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/bindings/csharp/
  DESTINATION ${CMAKE_INSTALL_DATADIR}/QuorvellanAPI/csharp
  FILES_MATCHING PATTERN "*.cs" PATTERN tests EXCLUDE)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/bindings/python/quorvellan
  DESTINATION ${CMAKE_INSTALL_DATADIR}/QuorvellanAPI/python
  PATTERN __pycache__ EXCLUDE)
