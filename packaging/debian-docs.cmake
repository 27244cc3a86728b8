# SPDX-License-Identifier: GPL-3.0-or-later
# Run by CPack in its staging tree before it makes the package: what Debian
# wants in every package and in the form it wants it (lintian errors
# otherwise), which a plain `cmake --install` has no use for. The licence's
# full text stays out: Debian ships it in /usr/share/common-licenses.
set(usr "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(doc "${usr}/share/doc/${CPACK_PACKAGE_NAME}")
file(COPY ${CMAKE_CURRENT_LIST_DIR}/copyright ${CMAKE_CURRENT_LIST_DIR}/changelog DESTINATION ${doc}
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# Manual pages and the changelog compressed, without a name or time stamp in
# the header so that the same tree gives the same package.
file(GLOB_RECURSE pages LIST_DIRECTORIES false "${usr}/share/man/*")
list(FILTER pages EXCLUDE REGEX "\\.gz$")
foreach(file IN LISTS pages ITEMS "${doc}/changelog")
  execute_process(COMMAND gzip -9nf "${file}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
