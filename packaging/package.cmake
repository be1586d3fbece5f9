# The Debian package (`cmake --build build --target package`, CPack's DEB generator): what the
# default install set holds beside the programs, and the package's metadata. Included by the
# top-level CMakeLists.txt after the program's directory. Every install() rule of the project is
# carried: the package is made of the default install set, not of a list kept here.
include(GNUInstallDirs)
set(_pkg ${PROJECT_SOURCE_DIR}/packaging)

# The manual page, with the program's own --help as its options.
set(_man ${CMAKE_BINARY_DIR}/packaging/bramblewick.1)
add_custom_command(
  OUTPUT ${_man}
  COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:bramblewick> -DIN=${_pkg}/bramblewick.1.in
          -DOUT=${_man} -DVERSION=${PROJECT_VERSION} -P ${_pkg}/render_man.cmake
  DEPENDS bramblewick ${_pkg}/bramblewick.1.in ${_pkg}/render_man.cmake
  COMMENT "Writing the manual page"
  VERBATIM)
add_custom_target(bramblewick_man ALL DEPENDS ${_man})
install(FILES ${_man} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# bramblewick-line's manual page, the same way.
set(_line_man ${CMAKE_BINARY_DIR}/packaging/bramblewick-line.1)
add_custom_command(
  OUTPUT ${_line_man}
  COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:bramblewick-line>
          -DIN=${_pkg}/bramblewick-line.1.in -DOUT=${_line_man} -DVERSION=${PROJECT_VERSION}
          -P ${_pkg}/render_man.cmake
  DEPENDS bramblewick-line ${_pkg}/bramblewick-line.1.in ${_pkg}/render_man.cmake
  COMMENT "Writing bramblewick-line's manual page"
  VERBATIM)
add_custom_target(bramblewick_line_man ALL DEPENDS ${_line_man})
install(FILES ${_line_man} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(FILES ${_pkg}/bramblewick.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/resources/phone.png DESTINATION ${CMAKE_INSTALL_DATADIR}/pixmaps
        RENAME bramblewick.png)
install(FILES ${_pkg}/bramblewick-tmpfiles.conf DESTINATION lib/tmpfiles.d RENAME bramblewick.conf)
install(FILES ${_pkg}/ports.ini.example ${PROJECT_SOURCE_DIR}/README.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME bramblewick)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "bramblewick maintainers <maintainers@bramblewick.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "production flashing station for Sorrel platform phones")
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Programs every phone that shows up in boot ROM download mode on the fixtures of a USB hub:\n"
    "pushes the DKB download agent, then writes the job's images to the phone's NAND through it.\n"
    "One row per fixture in a Qt window or on the terminal, one CSV line per finished phone.\n"
    "Includes the udev rules for the phones and the set-up tools --list and --learn-ports,\n"
    "and bramblewick-line, a live web page of every station of the line.")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # bramblewick_<version>_<arch>.deb
# Dependencies are the packages of the libraries the programs link, as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Each plug-in call runs in a PID namespace of its own when bubblewrap is there;
# bramblewick-line serves Debian's Chart.js to its page (without it the page has no chart).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "bubblewrap, libjs-chart.js")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${_pkg}/debian/postinst ${_pkg}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
