# The Debian package norvale-721: `cpack -G DEB` in the build directory (or
# scripts/package). Everything installs under /usr; the two display libraries
# are private to the programs and live in a folder of their own, found by
# RPATH, outside the linker's search path (so the package needs no ldconfig).
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(NORVALE_PRIVATE_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE}/norvale-721)
else()
  set(NORVALE_PRIVATE_LIBDIR lib/norvale-721/private)
endif()
set(CMAKE_INSTALL_RPATH "$ORIGIN/../${NORVALE_PRIVATE_LIBDIR}")
set(NORVALE_PACKAGE_DIR ${PROJECT_SOURCE_DIR}/resources/package)

# The version that a program's --version prints, given to its main source
# alone so that a new version recompiles no more than those.
function(norvale_version_source)
  set_property(SOURCE ${ARGN} APPEND PROPERTY COMPILE_DEFINITIONS
               "NORVALE_VERSION=\"${PROJECT_VERSION}\"")
endfunction()

# Man pages made from each program's --help, when help2man is there.
find_program(NORVALE_HELP2MAN help2man)
function(norvale_man_page)
  cmake_parse_arguments(M "" "TARGET;NAME" "" ${ARGN})
  if(NOT NORVALE_HELP2MAN)
    return()
  endif()
  set(page ${CMAKE_BINARY_DIR}/man/${M_TARGET}.1)
  add_custom_command(OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
            ${NORVALE_HELP2MAN} --no-info --no-discard-stderr
            --version-string=${PROJECT_VERSION} --name=${M_NAME} --section=1
            --output=${page} $<TARGET_FILE:${M_TARGET}>
    COMMAND gzip -9nf ${page}
    DEPENDS ${M_TARGET}
    COMMENT "Man page of ${M_TARGET}"
    VERBATIM)
  add_custom_target(man_${M_TARGET} ALL DEPENDS ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()

# Called once every target exists.
function(norvale_package)
  install(TARGETS norvale_uicontrol norvale_displaycontrols LIBRARY DESTINATION ${NORVALE_PRIVATE_LIBDIR})
  # A library's own dependencies are looked up by its RUNPATH, not the program's.
  set_target_properties(norvale_uicontrol norvale_displaycontrols PROPERTIES INSTALL_RPATH "$ORIGIN")
  norvale_man_page(TARGET kest721 NAME "the 721 Assistant from the command line")
  norvale_man_page(TARGET kest720-cli NAME "drive the instrument server of the 721 meter")
  norvale_man_page(TARGET norvale-reg NAME "look at and change the Norvale settings store")
  norvale_man_page(TARGET sim721 NAME "a simulated 721 meter on a pseudo-terminal")
  norvale_man_page(TARGET kest720 NAME "the instrument control server of the 721 meter")
  norvale_man_page(TARGET kest721xl NAME "the 721 Assistant server")
  # The desktop entries' programs.
  foreach(script kest721-quick-log kest721-workbook)
    configure_file(${NORVALE_PACKAGE_DIR}/${script}.in ${CMAKE_BINARY_DIR}/package/${script} @ONLY
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                    WORLD_READ WORLD_EXECUTE)
    install(PROGRAMS ${CMAKE_BINARY_DIR}/package/${script} DESTINATION ${CMAKE_INSTALL_BINDIR})
  endforeach()
  install(FILES ${NORVALE_PACKAGE_DIR}/norvale-721.desktop
                ${NORVALE_PACKAGE_DIR}/norvale-721-workbook.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${NORVALE_PACKAGE_DIR}/norvale-721.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  # udev reads /usr/lib/udev/rules.d whatever the prefix of the programs.
  install(FILES ${NORVALE_PACKAGE_DIR}/60-norvale-721.rules
          DESTINATION lib/udev/rules.d)
  install(FILES ${NORVALE_PACKAGE_DIR}/59-norvale-721-adapter.rules.example
                ${NORVALE_PACKAGE_DIR}/README.udev
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/norvale-721)

  find_program(NORVALE_DPKG dpkg)
  if(NORVALE_DPKG)
    add_test(NAME package
             COMMAND ${NORVALE_PACKAGE_DIR}/test_package.sh ${CMAKE_BINARY_DIR}
                     ${NORVALE_PACKAGE_DIR}/files.txt)
    set_tests_properties(package PROPERTIES LABELS package TIMEOUT 600 RUN_SERIAL ON)
  endif()
endfunction()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME norvale-721)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Norvale)
set(CPACK_PACKAGE_CONTACT "Norvale 721 developers <721@norvale.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "PC link for the 721 hand-held radiation survey meter")
set(CPACK_PACKAGE_DESCRIPTION
    "Connects a computer to the 721 ion-chamber survey meter over a serial port and
serves it on the D-Bus session bus: live readings with alarms, logging runs,
downloads of the meter's data log, dose integration and the meter's settings.
Includes the command-line host kest721, the instrument tool kest720-cli, the
settings tool norvale-reg and the simulated meter sim721.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "dbus-session-bus | dbus-x11")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udev")
# The Calc host: the spreadsheet with a desktop toolkit (the extension's
# toolbar and its boxes), Python inside the office, and GLib's D-Bus for the
# extension's bus thread.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS
    "libreoffice-calc, libreoffice-gtk3, python3-uno, libreoffice-script-provider-python, python3-gi")
set(CPACK_STRIP_FILES ON)
include(CPack)
