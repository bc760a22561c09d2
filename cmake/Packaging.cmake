# Install rules and Debian packages.
#   component "service" -> package vaultline: the service, its systemd user
#     unit, the local root certificate with the trust script, /opt data dir.
#   component "softskf" -> package vaultline-softskf: the software token
#     library and its provisioning tool, for developers.
# `cpack -G DEB` from the build directory builds both; no prior install needed.

install(TARGETS vaultlineservice RUNTIME DESTINATION bin COMPONENT service)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/vaultline.service
  DESTINATION lib/systemd/user COMPONENT service)
install(FILES ${CMAKE_SOURCE_DIR}/certs/vaultline-root.pem
  DESTINATION share/vaultline COMPONENT service)
install(PROGRAMS ${CMAKE_SOURCE_DIR}/tools/trust-root.sh
  DESTINATION share/vaultline COMPONENT service)
install(DIRECTORY DESTINATION /opt/vaultlineservice.kq COMPONENT service
  DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(TARGETS softskf LIBRARY DESTINATION lib/vaultline COMPONENT softskf)
install(TARGETS softskf_cli RUNTIME DESTINATION bin COMPONENT softskf)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vaultline)
set(CPACK_PACKAGE_VENDOR "Vaultline")
set(CPACK_PACKAGE_CONTACT "Vaultline developers <dev@vaultline.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Local signing service for web pages")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL service softskf)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME vaultline)
set(CPACK_COMPONENT_SERVICE_DESCRIPTION
  "Local HTTPS signing service for web pages, with its systemd user unit\nand the local root certificate the browsers must trust.")
set(CPACK_DEBIAN_SERVICE_PACKAGE_RECOMMENDS libnss3-tools)

set(CPACK_DEBIAN_SOFTSKF_PACKAGE_NAME vaultline-softskf)
set(CPACK_DEBIAN_SOFTSKF_PACKAGE_SECTION devel)
set(CPACK_COMPONENT_SOFTSKF_DESCRIPTION
  "Software token library and its provisioning tool\nA demo token for developing and testing against the signing service.")

include(CPack)
