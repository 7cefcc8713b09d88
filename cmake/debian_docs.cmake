# What Debian expects beside a program in its package: a copyright file in the
# machine-readable format and a changelog, compressed with gzip -9n (no name,
# no time) so that builds repeat. Its date is SOURCE_DATE_EPOCH at configure
# time, else the day of this version.
set(bmfwu_given_epoch "$ENV{SOURCE_DATE_EPOCH}")
if(bmfwu_given_epoch STREQUAL "")
  set(ENV{SOURCE_DATE_EPOCH} ${BMFWU_VERSION_EPOCH})
endif()
string(TIMESTAMP BMFWU_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(ENV{SOURCE_DATE_EPOCH} "${bmfwu_given_epoch}")

set(bmfwu_debian_dir ${CMAKE_BINARY_DIR}/debian)
configure_file(cmake/debian/copyright.in ${bmfwu_debian_dir}/copyright @ONLY)
configure_file(cmake/debian/changelog.in ${bmfwu_debian_dir}/changelog @ONLY)
add_custom_command(OUTPUT ${bmfwu_debian_dir}/changelog.gz
  COMMAND gzip -9n -k -f ${bmfwu_debian_dir}/changelog
  DEPENDS ${bmfwu_debian_dir}/changelog VERBATIM)
add_custom_target(bmfwu_debian_docs ALL DEPENDS ${bmfwu_debian_dir}/changelog.gz)

install(FILES ${bmfwu_debian_dir}/copyright ${bmfwu_debian_dir}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT program)
