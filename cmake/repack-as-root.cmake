# Run by CPack once it has packed the archive, before it copies it out and
# writes its checksum. CPack records every entry's owner as the user who
# built the package, and tar run as root on the handheld would hand the
# relay, and /usr/local/bin itself, to that user. This packs the same staged
# tree again (GNU tar) with root as the owner, no group or other write bits,
# and the entries in name order.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  file(GLOB entries RELATIVE ${CPACK_TEMPORARY_DIRECTORY} ${CPACK_TEMPORARY_DIRECTORY}/*)
  execute_process(
    COMMAND tar --create --file=${package} "--use-compress-program=gzip -9n"
            --owner=0 --group=0 --numeric-owner --mode=go-w --sort=name
            -C ${CPACK_TEMPORARY_DIRECTORY} ${entries}
    RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "repacking ${package} failed: ${status}")
  endif()
endforeach()
