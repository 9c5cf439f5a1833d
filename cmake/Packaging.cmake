# What `cmake --install` puts where, and the package CPack makes of it
# (scripts/package runs both builds):
#   win32 build:  westnet-VERSION-win32.zip - westnet.dll at the top, where the
#                 host's drivers go; tools/ holds westnet-poll.exe with its own
#                 stand-in TARVEK.dll, kept away from the driver so that it can
#                 never shadow the host's real one, and westnet-sim.exe;
#                 examples/plant.img; README.md, CHANGELOG.md,
#                 docs/integrating.md.
#   native build: westnet_VERSION_ARCH.deb - the GNU layout: libwestnet.so.1
#                 (and the libwestnet.so link), the stand-in libtarvek.so, the
#                 public header westnet/westnet.h, westnet-sim, westnet-poll,
#                 westnet-gateway, their manual pages, the docs, the example
#                 plant image and plant file; and the gateway's service: its
#                 unit in /lib/systemd/system and its plant file
#                 /etc/westnet/gateway.toml (a conffile).
# Everything shipped is in the component "westnet"; the DLLs' import libraries
# are left out of every install (component "devel", excluded from all).
include(GNUInstallDirs)

set(WESTNET_DOCS README.md CHANGELOG.md docs/integrating.md)
if(TARGET westnet-gateway)
  list(APPEND WESTNET_DOCS docs/gateway.md)
endif()
list(TRANSFORM WESTNET_DOCS PREPEND ${PROJECT_SOURCE_DIR}/)
set(WESTNET_TOOLS)
foreach(tool westnet-sim westnet-poll westnet-gateway)
  if(TARGET ${tool})
    list(APPEND WESTNET_TOOLS ${tool})
  endif()
endforeach()

if(WIN32)
  install(TARGETS westnet RUNTIME DESTINATION . COMPONENT westnet
          ARCHIVE DESTINATION lib COMPONENT devel EXCLUDE_FROM_ALL)
  install(TARGETS tarvek RUNTIME DESTINATION tools COMPONENT westnet
          ARCHIVE DESTINATION lib COMPONENT devel EXCLUDE_FROM_ALL)
  if(WESTNET_TOOLS)
    install(TARGETS ${WESTNET_TOOLS} RUNTIME DESTINATION tools COMPONENT westnet)
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md
          DESTINATION . COMPONENT westnet)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/integrating.md DESTINATION docs COMPONENT westnet)
  install(FILES ${PROJECT_SOURCE_DIR}/examples/plant.img DESTINATION examples COMPONENT westnet)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-win32)
else()
  install(TARGETS westnet tarvek LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT westnet)
  install(FILES ${PROJECT_SOURCE_DIR}/include/westnet/westnet.h
                ${PROJECT_SOURCE_DIR}/include/westnet/wire.h
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/westnet COMPONENT westnet)
  if(WESTNET_TOOLS)
    install(TARGETS ${WESTNET_TOOLS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
            COMPONENT westnet)
  endif()
  install(FILES ${WESTNET_DOCS} DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT westnet)
  if(EXISTS ${PROJECT_SOURCE_DIR}/examples/plant.img)
    install(FILES ${PROJECT_SOURCE_DIR}/examples/plant.img
            DESTINATION ${CMAKE_INSTALL_DATADIR}/westnet/examples COMPONENT westnet)
  endif()
  if(TARGET westnet-gateway)
    include(${CMAKE_CURRENT_LIST_DIR}/GatewayService.cmake)
  endif()

  # Manual pages, made by help2man from each built tool's own --help and
  # --version, so that the page and the tool cannot disagree (and a tool that
  # reports another version fails the build: cmake/manpage.sh).
  if(NOT CMAKE_CROSSCOMPILING AND WESTNET_TOOLS)
    find_program(WESTNET_HELP2MAN help2man REQUIRED)
    set(summary_westnet-sim "simulated stations of a WestNet II Data HighWay on a serial line")
    set(summary_westnet-poll "read and write WestNet II controllers through the driver")
    set(summary_westnet-gateway "serve a plant of WestNet II controllers over HTTP, Modbus TCP and MQTT")
    set(guide_westnet-sim integrating.md)
    set(guide_westnet-poll integrating.md)
    set(guide_westnet-gateway gateway.md)
    set(pages)
    foreach(tool ${WESTNET_TOOLS})
      set(see_also)
      foreach(other ${WESTNET_TOOLS})
        if(NOT other STREQUAL tool)
          list(APPEND see_also --see-also "${other}(1)")
        endif()
      endforeach()
      set(page ${CMAKE_BINARY_DIR}/man/${tool}.1)
      add_custom_command(
        OUTPUT ${page}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
        COMMAND ${CMAKE_COMMAND} -E env HELP2MAN=${WESTNET_HELP2MAN}
                ${PROJECT_SOURCE_DIR}/cmake/manpage.sh
                --program $<TARGET_FILE:${tool}> --version ${PROJECT_VERSION}
                --summary "${summary_${tool}}" ${see_also}
                --see-also ${CMAKE_INSTALL_FULL_DOCDIR}/${guide_${tool}} --output ${page}
        DEPENDS ${tool} ${PROJECT_SOURCE_DIR}/cmake/manpage.sh
        COMMENT "Manual page ${tool}.1"
        VERBATIM)
      list(APPEND pages ${page})
    endforeach()
    add_custom_target(westnet-man ALL DEPENDS ${pages})
    install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT westnet)
  endif()

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # westnet_1.0.0_amd64.deb
  set(CPACK_DEBIAN_PACKAGE_SECTION misc)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  # The gateway's page draws its trends with the chart library it serves.
  # The OPC UA server (lib/westnet/opcua) runs on node.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libjs-chart.js, nodejs (>= 18)")
  # The summary line comes from CPACK_PACKAGE_DESCRIPTION_SUMMARY.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "The driver library (libwestnet.so) that reaches Numa Logic controllers on a
WestNet II Data HighWay over a serial line through one entry point, ZanMain,
with its public header, a stand-in host library (libtarvek.so), a station
simulator (westnet-sim), a command-line poller (westnet-poll) and a gateway
daemon (westnet-gateway, with its systemd service) that scans a plant's lines
and serves them over HTTP, Modbus TCP and MQTT.")
endif()

# The public header must match the driver's records on both targets, and the
# manual page maker must read help texts right.
if(WESTNET_TESTS AND NOT WIN32)
  add_test(NAME public_header COMMAND ${PROJECT_SOURCE_DIR}/tests/package/check-header.sh)
  add_test(NAME manpage_maker COMMAND ${PROJECT_SOURCE_DIR}/tests/package/check-manpage.sh)
endif()

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "WestNet driver team")
set(CPACK_PACKAGE_CONTACT "WestNet driver team")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY ${PROJECT_DESCRIPTION})
set(CPACK_STRIP_FILES ON)
include(CPack)
