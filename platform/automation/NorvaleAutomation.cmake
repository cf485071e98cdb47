# Helpers for a program that serves an automation class on the session bus.
#
# norvale_automation_typelib(TARGET target NAME resource XML file...)
#   Embeds the introspection files (the type library) in `target` under
#   ":/norvale/typelib/<file name>", where loadTypeLibrary() reads them.
#
# norvale_automation_service(TARGET program NAME bus.name)
#   The .service file that lets the bus start `program` by `bus.name`: one in
#   <build>/share/dbus-1/services naming the built program (tests run with
#   XDG_DATA_DIRS=<build>/share:...), and one written at install time naming
#   the installed program, so that it follows `cmake --install --prefix`.
#   Installs the program too.

function(norvale_automation_typelib)
  cmake_parse_arguments(A "" "TARGET;NAME" "XML" ${ARGN})
  qt_add_resources(${A_TARGET} ${A_NAME}
    PREFIX /norvale/typelib
    BASE ${CMAKE_CURRENT_SOURCE_DIR}
    FILES ${A_XML})
endfunction()

function(norvale_automation_service)
  cmake_parse_arguments(A "" "TARGET;NAME" "" ${ARGN})
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/share/dbus-1/services/${A_NAME}.service
    CONTENT "[D-BUS Service]\nName=${A_NAME}\nExec=$<TARGET_FILE:${A_TARGET}>\n")
  install(TARGETS ${A_TARGET} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # Written at install time, when the prefix is known, and installed with
  # file(INSTALL) so that DESTDIR applies and install_manifest.txt lists it.
  install(CODE "
    set(bindir \"${CMAKE_INSTALL_BINDIR}\")
    if(NOT IS_ABSOLUTE \"\${bindir}\")
      set(bindir \"\${CMAKE_INSTALL_PREFIX}/\${bindir}\")
    endif()
    set(staged \"${CMAKE_CURRENT_BINARY_DIR}/install-service/${A_NAME}.service\")
    file(WRITE \"\${staged}\"
      \"[D-BUS Service]\\nName=${A_NAME}\\nExec=\${bindir}/$<TARGET_FILE_NAME:${A_TARGET}>\\n\")
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/dbus-1/services\"
      TYPE FILE FILES \"\${staged}\")
  ")
endfunction()
