# Installation and the Debian package.
#
#   cmake --install build --prefix /opt/trslnk    the driver, the stand-in libraries, the
#                                                 tools, the public headers, find_package(TRSLNK)
#   (cd build && cpack -G DEB)                    trslnk_<version>_<arch>.deb
#
# Everything lands under one prefix with a plain lib/ folder: the tools find the driver as
# <prefix>/lib/TRSLNK32.so (next to their bin/), and every program and the driver find
# libKIVRUN.so and libDIALXNT.so through the run path $ORIGIN/../lib or $ORIGIN.
include(GNUInstallDirs)
set(TRS_LIBDIR lib)
set(TRS_CMAKEDIR ${TRS_LIBDIR}/cmake/TRSLNK)

foreach(tool trs-host trs-sim trs-demo)
  if(TARGET ${tool})
    set_target_properties(${tool} PROPERTIES INSTALL_RPATH "$ORIGIN/../${TRS_LIBDIR}")
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
  endif()
endforeach()
set_target_properties(TRSLNK32 KIVRUN DIALXNT PROPERTIES INSTALL_RPATH "$ORIGIN")
install(TARGETS TRSLNK32 LIBRARY DESTINATION ${TRS_LIBDIR} COMPONENT runtime)
install(TARGETS KIVRUN DIALXNT LIBRARY DESTINATION ${TRS_LIBDIR} COMPONENT runtime)

# The binary contract: records, the host runtime's and the modem pool's calls.
install(FILES driver/entry/Records.h driver/entry/KivRun.h driver/entry/DialX.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/trslnk/entry COMPONENT runtime)
install(FILES platform/Compiler.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/trslnk/platform COMPONENT runtime)

include(CMakePackageConfigHelpers)
configure_package_config_file(packaging/cmake/TRSLNKConfig.cmake.in
  ${CMAKE_BINARY_DIR}/packaging/TRSLNKConfig.cmake INSTALL_DESTINATION ${TRS_CMAKEDIR}
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR TRS_LIBDIR CMAKE_INSTALL_BINDIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/packaging/TRSLNKConfigVersion.cmake
  VERSION ${TRS_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/packaging/TRSLNKConfig.cmake ${CMAKE_BINARY_DIR}/packaging/TRSLNKConfigVersion.cmake
        DESTINATION ${TRS_CMAKEDIR} COMPONENT runtime)

# Examples, the service unit and the documentation.
install(DIRECTORY examples/ DESTINATION ${CMAKE_INSTALL_DATADIR}/trslnk/examples COMPONENT runtime)
install(FILES packaging/systemd/trs-host.service DESTINATION lib/systemd/system COMPONENT runtime)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)
if(EXISTS ${PROJECT_SOURCE_DIR}/packaging/udev)
  install(DIRECTORY packaging/udev/ DESTINATION lib/udev/rules.d COMPONENT runtime FILES_MATCHING PATTERN "*.rules")
endif()

set(CPACK_PACKAGE_NAME trslnk)
set(CPACK_PACKAGE_VERSION ${TRS_VERSION})
set(CPACK_PACKAGE_VENDOR "TRSLNK")
set(CPACK_PACKAGE_CONTACT "TRSLNK maintainers <trslnk@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "TRS II telemetry driver with its host runtime, modem pool, simulator and tools")
set(CPACK_PACKAGE_DESCRIPTION "TRSLNK32.so speaks the TRS II telegram protocol to remote stations on a serial port\
 or through a TCP modem pool. The package holds the driver, the host runtime libKIVRUN.so, the modem pool\
 libDIALXNT.so, the commissioning host trs-host, the station simulator trs-sim, the public headers, a CMake\
 package (find_package(TRSLNK)) and an example systemd unit.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
# The shared libraries the programs need, found by dpkg-shlibdeps; the libraries of
# this package itself resolve inside it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
include(CPack)
