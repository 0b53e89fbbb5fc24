# The Debian binary package: everything the install rules lay out, under /usr,
# plus what a package adds for hardware access without root (packaging/).
# scripts/package runs cpack on the tree the tests built; nothing is rebuilt.

set(_pkg_src ${CMAKE_SOURCE_DIR}/packaging)
set(_pkg_bin ${CMAKE_BINARY_DIR}/packaging)
set(FANSCOPE_PACKAGE_CONTACT "Fanscope developers <maintainers@users.noreply.c-seed-09dfe104.example>")

# Relative destinations: the package's prefix is /usr, so these land in
# /usr/lib/udev/rules.d and /usr/lib/modules-load.d, where udev and
# systemd-modules-load read them.
install(FILES ${_pkg_src}/60-fanscope.rules DESTINATION lib/udev/rules.d)
install(FILES ${_pkg_src}/fanscope.modules-load.conf DESTINATION lib/modules-load.d RENAME fanscope.conf)

# The copyright and the compressed changelog a Debian package must carry
# (changelog.gz: a package without a Debian revision is a native one).
string(TIMESTAMP FANSCOPE_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${_pkg_src}/changelog.in ${_pkg_bin}/changelog @ONLY)
find_program(FANSCOPE_GZIP gzip)
if(FANSCOPE_GZIP)
  add_custom_command(OUTPUT ${_pkg_bin}/changelog.gz
    COMMAND ${FANSCOPE_GZIP} -9nc ${_pkg_bin}/changelog > ${_pkg_bin}/changelog.gz
    DEPENDS ${_pkg_bin}/changelog
    COMMENT "Package changelog")
  add_custom_target(fanscope_package_changelog ALL DEPENDS ${_pkg_bin}/changelog.gz)
  install(FILES ${_pkg_bin}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/fanscope)
endif()
install(FILES ${_pkg_src}/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/fanscope)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME fanscope)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${FANSCOPE_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "find, monitor and configure a TFM4410 or TFM4411 fan controller")
# The synopsis is the summary above; these lines are the long description.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "The PC side of the evaluation kit for the TFM4410 SMBus temperature monitor
 and PWM fan-speed controller and its dual-channel sibling, the TFM4411: the
 desktop program fanscope, the command-line companion fanscope-cli, the shared
 simulated evaluation board fanscope-board, the communications library
 Vexlink06 with its headers, and the Python module fanscope.
 .
 The chip is reached through the evaluation board on a parallel port, the
 kernel's I2C/SMBus adapters or the chipset's SMBus controller. Members of
 the groups i2c and lp use the first two without root.")
string(REPLACE "\n " "\n" CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
# fanscope-board exec preloads umockdev's library into the command it runs.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS umockdev)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)
# Dependencies from the binaries (dpkg-shlibdeps), and a shlibs file for the
# library, so that programs built against it depend on this package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# Our own maintainer scripts replace CPack's, so the library's ldconfig run
# comes from the trigger file.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${_pkg_src}/postinst ${_pkg_src}/postrm ${_pkg_src}/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
# dpkg-shlibdeps sees no interpreter behind an extension module: the module
# needs the Python it was built for (what dh_python3 would add).
if(TARGET fanscope_python AND FANSCOPE_PYTHON_ABI)
  list(GET FANSCOPE_PYTHON_ABI 0 _py_major)
  list(GET FANSCOPE_PYTHON_ABI 1 _py_minor)
  math(EXPR _py_next "${_py_minor} + 1")
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3 (>= ${_py_major}.${_py_minor}), python3 (<< ${_py_major}.${_py_next})")
endif()
# The package's own libraries, so that dpkg-shlibdeps does not look for a
# package that provides them.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_SOURCE_DIR}/cmake/FanscopeCPackProject.cmake)
set(CPACK_FANSCOPE_LIBDIRS "${CMAKE_INSTALL_LIBDIR};${VEXLINK06_PRIVATE_LIBDIR}")
include(CPack)
