# Read by cpack once per generator: the .tar.gz holds the tool, its manual
# page and the README, without the Debian copyright and changelog files that
# the .deb carries.
if(CPACK_GENERATOR STREQUAL "TGZ")
  list(GET CPACK_INSTALL_CMAKE_PROJECTS 0 TARVEX_BUILD_DIR)
  set(CPACK_INSTALL_CMAKE_PROJECTS "${TARVEX_BUILD_DIR};tarvex-finder;tool;/")
endif()
