# Read by cpack at packaging time, when the staging folder is known: the
# package's own library folders for dpkg-shlibdeps' -l.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS)
  foreach(_dir IN LISTS CPACK_FANSCOPE_LIBDIRS)
    list(APPEND CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${CPACK_TEMPORARY_DIRECTORY}/usr/${_dir}")
  endforeach()
endif()
