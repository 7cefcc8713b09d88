# What Debian expects beside a program in its package: a copyright file in the
# machine-readable format, a changelog and a manual page, the last two
# compressed with gzip -9n (no name, no time) so that builds repeat. Their date
# is SOURCE_DATE_EPOCH at configure time, else the day of this version.
set(bmfwu_given_epoch "$ENV{SOURCE_DATE_EPOCH}")
if(bmfwu_given_epoch STREQUAL "")
  set(ENV{SOURCE_DATE_EPOCH} ${BMFWU_VERSION_EPOCH})
endif()
string(TIMESTAMP BMFWU_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
string(TIMESTAMP bmfwu_page_date "%Y-%m-%d" UTC)
set(ENV{SOURCE_DATE_EPOCH} "${bmfwu_given_epoch}")

set(bmfwu_debian_dir ${CMAKE_BINARY_DIR}/debian)
configure_file(cmake/debian/copyright.in ${bmfwu_debian_dir}/copyright @ONLY)
configure_file(cmake/debian/changelog.in ${bmfwu_debian_dir}/changelog @ONLY)
add_custom_command(OUTPUT ${bmfwu_debian_dir}/changelog.gz
  COMMAND gzip -9n -k -f ${bmfwu_debian_dir}/changelog
  DEPENDS ${bmfwu_debian_dir}/changelog VERBATIM)

# The page's option list is what the built program prints with --help.
set(bmfwu_manpage ${bmfwu_debian_dir}/bmfwu.1)
add_custom_command(OUTPUT ${bmfwu_manpage}.gz
  COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:bmfwu> -DPAGE_IN=${CMAKE_SOURCE_DIR}/docs/bmfwu.1.in
          -DPAGE=${bmfwu_manpage} -DVERSION=${PROJECT_VERSION} -DDATE=${bmfwu_page_date}
          -DCOPYRIGHT=${BMFWU_COPYRIGHT} -P ${CMAKE_SOURCE_DIR}/cmake/manpage.cmake
  DEPENDS bmfwu ${CMAKE_SOURCE_DIR}/docs/bmfwu.1.in ${CMAKE_SOURCE_DIR}/cmake/manpage.cmake
  COMMENT "Writing the manual page from bmfwu --help" VERBATIM)
add_custom_target(bmfwu_debian_docs ALL DEPENDS ${bmfwu_debian_dir}/changelog.gz ${bmfwu_manpage}.gz)

install(FILES ${bmfwu_debian_dir}/copyright ${bmfwu_debian_dir}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT program)
install(FILES ${bmfwu_manpage}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT program)
