# westnet-gateway as a systemd service, included by Packaging.cmake on Linux:
# the unit, the plant file it reads (a conffile in the Debian package), and
# the maintainer scripts that tell systemd of the unit.
#
# The plant file is the example plant, examples/gateway.toml, with a header
# for the service and its device pointing at a port a user has to edit; so
# the two cannot drift apart.

# Where the unit goes: /lib/systemd/system for a system install under /usr.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(westnet_unit_default /lib/systemd/system)
else()
  set(westnet_unit_default ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
endif()
set(WESTNET_SYSTEMD_UNIT_DIR ${westnet_unit_default} CACHE PATH
    "Where westnet-gateway.service is installed")

set(WESTNET_GATEWAY_BIN ${CMAKE_INSTALL_FULL_BINDIR}/westnet-gateway)
set(WESTNET_GATEWAY_CONF_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/westnet)
set(WESTNET_GATEWAY_CONF ${WESTNET_GATEWAY_CONF_DIR}/gateway.toml)
set(WESTNET_GATEWAY_DOC ${CMAKE_INSTALL_FULL_DOCDIR}/gateway.md)
set(westnet_service_dir ${CMAKE_BINARY_DIR}/service)

configure_file(${PROJECT_SOURCE_DIR}/gateway/systemd/westnet-gateway.service.in
               ${westnet_service_dir}/westnet-gateway.service @ONLY)

# The conffile: the service's header, then the example from [gateway] on.
set(westnet_example ${PROJECT_SOURCE_DIR}/examples/gateway.toml)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${westnet_example}
             ${PROJECT_SOURCE_DIR}/gateway/systemd/gateway.toml.head)
file(READ ${westnet_example} westnet_plant)
string(FIND "${westnet_plant}" "[gateway]" westnet_at)
string(REGEX MATCH "\ndevice = [^\n]*" westnet_device "${westnet_plant}")
if(westnet_at LESS 0 OR NOT westnet_device)
  message(FATAL_ERROR "${westnet_example}: no [gateway] table or no device key: "
                      "the service's plant file is made from them")
endif()
string(SUBSTRING "${westnet_plant}" ${westnet_at} -1 westnet_plant)
string(REPLACE "${westnet_device}"
       "\ndevice = \"/dev/ttyUSB0\"          # EDIT: your line's serial port (ls /dev/serial/by-id/)"
       westnet_plant "${westnet_plant}")
# The service serves OPC UA on this machine from its first start (the
# example, which the tests run, leaves it off).
string(REGEX MATCH "\nopcua = [^\n]*" westnet_opcua "${westnet_plant}")
if(NOT westnet_opcua)
  message(FATAL_ERROR "${westnet_example}: no opcua key: the service's plant file turns it on")
endif()
string(REPLACE "${westnet_opcua}"
       "\nopcua = \"127.0.0.1:4840\"           # OPC UA; \"0.0.0.0:4840\" for other machines"
       westnet_plant "${westnet_plant}")
configure_file(${PROJECT_SOURCE_DIR}/gateway/systemd/gateway.toml.head
               ${westnet_service_dir}/gateway.toml.head @ONLY)
file(READ ${westnet_service_dir}/gateway.toml.head westnet_head)
file(WRITE ${westnet_service_dir}/gateway.toml "${westnet_head}${westnet_plant}")

install(FILES ${westnet_service_dir}/westnet-gateway.service
        DESTINATION ${WESTNET_SYSTEMD_UNIT_DIR} COMPONENT westnet)
install(FILES ${westnet_service_dir}/gateway.toml
        DESTINATION ${WESTNET_GATEWAY_CONF_DIR} COMPONENT westnet)
install(FILES ${westnet_example}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/westnet/examples COMPONENT westnet)
# A mosquitto listener with users and an ACL for the gateway (docs/gateway.md).
install(FILES ${PROJECT_SOURCE_DIR}/examples/mosquitto/westnet.conf
              ${PROJECT_SOURCE_DIR}/examples/mosquitto/westnet.acl
        DESTINATION ${CMAKE_INSTALL_DATADIR}/westnet/examples/mosquitto COMPONENT westnet)

# Debian: the plant file is a conffile (an upgrade keeps the user's edits),
# and the maintainer scripts tell systemd of the unit. The service is not
# enabled at install: its device needs editing first.
file(WRITE ${westnet_service_dir}/conffiles "${WESTNET_GATEWAY_CONF}\n")
foreach(script postinst prerm postrm)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/${script}
                 ${westnet_service_dir}/${script} @ONLY)
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${westnet_service_dir}/conffiles ${westnet_service_dir}/postinst
    ${westnet_service_dir}/prerm ${westnet_service_dir}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Our postinst and postrm take the place of those CPack would write, which
# only run ldconfig: ours run it too.
