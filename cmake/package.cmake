# The binary package: what "cmake --install" puts under the prefix, packed
# as keyferry-<version>-linux-<arch>.tar.gz to unpack in that prefix on the
# handheld (/usr/local unless configured otherwise). Executables are stripped.
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY ${PROJECT_DESCRIPTION})
# Debian's name for the target's ABI when the toolchain gives one (armel).
if(KEYFERRY_TARGET_ARCH)
  set(package_arch ${KEYFERRY_TARGET_ARCH})
else()
  set(package_arch ${CMAKE_SYSTEM_PROCESSOR})
endif()
string(TOLOWER "${CMAKE_SYSTEM_NAME}" package_system)
set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-${package_system}-${package_arch})
set(CPACK_GENERATOR TGZ)
# Paths in the archive start at the prefix: bin/keyferry, share/...
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/repack-as-root.cmake)
include(CPack)
