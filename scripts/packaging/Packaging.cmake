# Install rules and two Debian packages (cpack -G DEB in the build
# directory, after a build with CMAKE_INSTALL_PREFIX=/usr):
#   mqbridge           the service, mqbridge-send, the journal command, the
#                      systemd unit, an example /etc/mqbridge/config.ini,
#                      Prometheus alerting rules and a Grafana dashboard in
#                      /usr/share/mqbridge
#   mqbridge-tradesim  the embedded trading server: its Manager API library
#                      where the service looks for it (libs/ beside the
#                      service) and the tradesim command
# A real deployment installs its own Manager API library there instead.
if(NOT TARGET mqbridge OR NOT TARGET mqbridge-send OR NOT TARGET tradesim)
  return()
endif()

set(MQB_PACKAGING ${CMAKE_CURRENT_LIST_DIR})
set(MQB_PACKAGING_BUILD ${CMAKE_BINARY_DIR}/packaging)
set(MQB_SERVICE_DIR lib/mqbridge)  # below the prefix; the unit names /usr/lib/mqbridge/mqbridge
file(MAKE_DIRECTORY ${MQB_PACKAGING_BUILD})

# The service is found on the PATH as well; the link keeps its library search
# beside the real file.
file(CREATE_LINK ../${MQB_SERVICE_DIR}/mqbridge ${MQB_PACKAGING_BUILD}/mqbridge SYMBOLIC)
# Debian wants a compressed changelog in each package's documentation.
execute_process(COMMAND gzip -9nc ${MQB_PACKAGING}/changelog OUTPUT_FILE ${MQB_PACKAGING_BUILD}/changelog.gz)
foreach(page mqbridge mqbridge-send mqbridge-journal tradesim)
  execute_process(COMMAND gzip -9nc ${MQB_PACKAGING}/man/${page}.1 OUTPUT_FILE ${MQB_PACKAGING_BUILD}/${page}.1.gz)
endforeach()
# The pages and the changelog are compressed when cmake runs: an edit runs it again.
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${MQB_PACKAGING}/changelog
             ${MQB_PACKAGING}/man/mqbridge.1 ${MQB_PACKAGING}/man/mqbridge-send.1 ${MQB_PACKAGING}/man/mqbridge-journal.1
             ${MQB_PACKAGING}/man/tradesim.1)
configure_file(${MQB_PACKAGING}/lintian-overrides ${MQB_PACKAGING_BUILD}/lintian/mqbridge COPYONLY)

install(TARGETS mqbridge RUNTIME DESTINATION ${MQB_SERVICE_DIR} COMPONENT service)
install(FILES ${MQB_PACKAGING_BUILD}/mqbridge DESTINATION bin COMPONENT service)
install(TARGETS mqbridge-send RUNTIME DESTINATION bin COMPONENT service)
install(FILES ${MQB_PACKAGING_BUILD}/mqbridge.1.gz ${MQB_PACKAGING_BUILD}/mqbridge-send.1.gz
        DESTINATION share/man/man1 COMPONENT service)
if(TARGET mqbridge-journal)
  install(TARGETS mqbridge-journal RUNTIME DESTINATION bin COMPONENT service)
  install(FILES ${MQB_PACKAGING_BUILD}/mqbridge-journal.1.gz DESTINATION share/man/man1 COMPONENT service)
endif()
install(FILES ${MQB_PACKAGING}/mqbridge.service DESTINATION lib/systemd/system COMPONENT service)
# For the operator's Prometheus and Grafana; the rules' unit tests
# (monitoring/mqbridge-alerts.test.yml) stay in the source tree.
install(FILES ${MQB_PACKAGING}/monitoring/mqbridge-alerts.yml ${MQB_PACKAGING}/monitoring/mqbridge-dashboard.json
        DESTINATION share/mqbridge COMPONENT service)
install(FILES ${MQB_PACKAGING_BUILD}/lintian/mqbridge DESTINATION share/lintian/overrides COMPONENT service)
install(FILES ${MQB_PACKAGING}/config.ini DESTINATION /etc/mqbridge COMPONENT service
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${MQB_PACKAGING}/copyright ${MQB_PACKAGING_BUILD}/changelog.gz
        DESTINATION share/doc/mqbridge COMPONENT service)

install(TARGETS tradesim_manager_api LIBRARY DESTINATION ${MQB_SERVICE_DIR}/libs COMPONENT tradesim)
install(TARGETS tradesim RUNTIME DESTINATION bin COMPONENT tradesim)
install(FILES ${MQB_PACKAGING_BUILD}/tradesim.1.gz DESTINATION share/man/man1 COMPONENT tradesim)
install(FILES ${PROJECT_SOURCE_DIR}/tradesim/README.md ${MQB_PACKAGING}/copyright
        ${MQB_PACKAGING_BUILD}/changelog.gz DESTINATION share/doc/mqbridge-tradesim COMPONENT tradesim)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME mqbridge)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(MQB_PACKAGE_MAINTAINER "mqbridge developers <mqbridge@example.org>" CACHE STRING "Maintainer of the packages")
set(CPACK_PACKAGE_CONTACT "${MQB_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL service tradesim)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME mqbridge)
set(CPACK_DEBIAN_SERVICE_PACKAGE_DEPENDS adduser)
set(CPACK_DEBIAN_SERVICE_PACKAGE_SUGGESTS mqbridge-tradesim)
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_EXTRA
    ${MQB_PACKAGING}/conffiles ${MQB_PACKAGING}/postinst ${MQB_PACKAGING}/prerm ${MQB_PACKAGING}/postrm)
set(CPACK_COMPONENT_SERVICE_DESCRIPTION
    "trading server requests from a message broker\n\
mqbridge reads JSON requests from four broker queues (create an account,\n\
update an account, change a password, post a balance or credit deal),\n\
carries each out through the trading server's Manager API and puts one JSON\n\
reply on the request's callback queue. It runs under systemd with readiness\n\
and watchdog notifications and serves Prometheus metrics and a health check\n\
on a loopback address.")

set(CPACK_DEBIAN_TRADESIM_PACKAGE_NAME mqbridge-tradesim)
set(CPACK_DEBIAN_TRADESIM_PACKAGE_SECTION misc)
set(CPACK_COMPONENT_TRADESIM_DESCRIPTION
    "embedded trading server for mqbridge\n\
A Manager API library backed by a SQLite database, installed where mqbridge\n\
looks for its Manager API library, and the tradesim command that creates and\n\
inspects such a database. For demonstrations and tests; a real deployment\n\
brings the trading server's own library instead.")

include(CPack)
