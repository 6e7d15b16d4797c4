# Install rules, the CMake package, pkg-config files and release archives.
#
#   cmake --install build/default --prefix P
#   find_package(Ostrel 0.1 CONFIG REQUIRED)  -> Ostrel::core, Ostrel::core_sim
#   pkg-config ostrel-core / ostrel-core-sim
#   cpack --config build/default/CPackConfig.cmake  -> .tar.gz and .deb (Linux), .zip (Windows)

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(OSTREL_INCLUDE_SOURCE ${PROJECT_SOURCE_DIR}/client/core/core_dll/include/ostrel)
set(OSTREL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Ostrel)

# Library target -> (export name, pkg-config name, extra header).
set(ostrel_installed_libraries "")
if(TARGET ostrel_core)
  list(APPEND ostrel_installed_libraries ostrel_core)
  set(ostrel_core_export core)
  set(ostrel_core_pc ostrel-core)
  set(ostrel_core_desc "Ostrel core: instant-replay recording of X11 windows with PulseAudio sound")
endif()
if(TARGET ostrel_core_sim)
  list(APPEND ostrel_installed_libraries ostrel_core_sim)
  set(ostrel_core_sim_export core_sim)
  set(ostrel_core_sim_pc ostrel-core-sim)
  set(ostrel_core_sim_desc "Ostrel core on the fake world: scriptable windows, GPU and audio for host tests")
endif()
if(TARGET core)
  list(APPEND ostrel_installed_libraries core)
  set(core_export core)
endif()

foreach(library IN LISTS ostrel_installed_libraries)
  set_target_properties(${library} PROPERTIES EXPORT_NAME ${${library}_export})
  if(NOT WIN32)
    set_target_properties(${library} PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
  endif()
  target_include_directories(${library} INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
endforeach()

install(TARGETS ${ostrel_installed_libraries} EXPORT OstrelTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${OSTREL_INCLUDE_SOURCE}/ostrel.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ostrel)
if(TARGET ostrel_core_sim)
  install(FILES ${OSTREL_INCLUDE_SOURCE}/ostrel_sim.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ostrel)
endif()
# The self-check, next to core.dll.
if(TARGET ostrel-check)
  install(TARGETS ostrel-check RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET ostrel-demo)
  set_target_properties(ostrel-demo PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  install(TARGETS ostrel-demo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET ostrel-replay)
  set_target_properties(ostrel-replay PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  install(TARGETS ostrel-replay RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/tools/replay/ostrel-replay.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/docs/design.md ${PROJECT_SOURCE_DIR}/docs/benchmarks.md
  ${PROJECT_SOURCE_DIR}/docs/testing.md DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/licenses/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/licenses)

# The CMake package.
install(EXPORT OstrelTargets NAMESPACE Ostrel:: DESTINATION ${OSTREL_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/OstrelConfig.cmake.in
  ${PROJECT_BINARY_DIR}/OstrelConfig.cmake INSTALL_DESTINATION ${OSTREL_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/OstrelConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/OstrelConfig.cmake ${PROJECT_BINARY_DIR}/OstrelConfigVersion.cmake
  DESTINATION ${OSTREL_CMAKE_DIR})

# pkg-config files; the prefix is taken from where the .pc file lies, so the
# installed tree can be moved (or unpacked from an archive) as a whole.
foreach(library IN LISTS ostrel_installed_libraries)
  if(NOT DEFINED ${library}_pc)
    continue()
  endif()
  set(OSTREL_PC_LIBRARY ${library})
  file(RELATIVE_PATH OSTREL_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
  set(OSTREL_PC_DESCRIPTION ${${library}_desc})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/ostrel-core.pc.in ${PROJECT_BINARY_DIR}/${${library}_pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${${library}_pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()

# Release archives.
set(CPACK_PACKAGE_NAME ostrel-core)
set(CPACK_PACKAGE_VENDOR "Ostrel")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Native core of an instant-replay recorder")
set(CPACK_PACKAGE_CONTACT "Ostrel core developers <core@ostrel.invalid>")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/licenses/README.md)
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR})
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR TGZ DEB)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Native core of an instant-replay recorder\n Records a window and its sound into an in-memory replay ring and saves\n the last seconds as an MP4 clip on request. Ships libostrel_core (X11 and\n PulseAudio), libostrel_core_sim (a scriptable fake world for host tests),\n their headers, CMake package and pkg-config files, and ostrel-demo.")
  # Debian package names of the shared libraries the package links, as
  # dpkg-shlibdeps works them out from the installed binaries.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
endif()
include(CPack)
