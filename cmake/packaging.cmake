# Installation and packages.
#   cmake --install BUILD [--prefix DIR]                 the program and its README (on Linux
#                                                        also its manual page, copyright file
#                                                        and changelog)
#   cmake --install BUILD --component tools --prefix DIR the packer, the stand-in
#                                                        generator and the simulated switch
#   cmake --build BUILD --target package                 a .deb (Linux) or a ZIP (Windows)
# The tools are for release engineers and testers; a technician's package holds
# the program, its README and the report of the two images it carries.
if(WIN32)
  set(bmfwu_bin_dir .)
  set(bmfwu_doc_dir .)
  set(bmfwu_readme_name README.txt)
else()
  include(GNUInstallDirs)
  set(bmfwu_bin_dir ${CMAKE_INSTALL_BINDIR})
  set(bmfwu_doc_dir ${CMAKE_INSTALL_DOCDIR})
  set(bmfwu_readme_name README.md)
endif()

# What the program carries, read from the packed images' own headers, so the
# versions in a package can never differ from those in the program.
get_directory_property(bmfwu_pack_tool DIRECTORY src/firmware DEFINITION pack_tool)
set(bmfwu_images_dir ${CMAKE_BINARY_DIR}/src/firmware)
set(bmfwu_image_report ${CMAKE_BINARY_DIR}/firmware-images.txt)
add_custom_command(OUTPUT ${bmfwu_image_report}
  COMMAND ${CMAKE_COMMAND} -DPACK_TOOL=${bmfwu_pack_tool} -DOUTPUT=${bmfwu_image_report}
          "-DIMAGES=${bmfwu_images_dir}/image1.bin;${bmfwu_images_dir}/image2.bin"
          -P ${CMAKE_SOURCE_DIR}/cmake/image_report.cmake
  DEPENDS ${bmfwu_images_dir}/image1.bin ${bmfwu_images_dir}/image2.bin ${CMAKE_SOURCE_DIR}/cmake/image_report.cmake
  COMMENT "Reporting the firmware images" VERBATIM)
add_custom_target(firmware_image_report ALL DEPENDS ${bmfwu_image_report})
add_dependencies(firmware_image_report bmfwu_firmware)

install(TARGETS bmfwu RUNTIME DESTINATION ${bmfwu_bin_dir} COMPONENT program)
install(FILES README.md DESTINATION ${bmfwu_doc_dir} RENAME ${bmfwu_readme_name} COMPONENT program)
install(FILES ${bmfwu_image_report} DESTINATION ${bmfwu_doc_dir} COMPONENT program)
install(FILES docs/bmfwu-report.schema.json DESTINATION ${bmfwu_doc_dir} COMPONENT program)
if(TARGET bmfwu-sim)
  set(bmfwu_sim_target bmfwu-sim)
endif()
install(TARGETS bmfwu-pack bmfwu-standin ${bmfwu_sim_target}
        RUNTIME DESTINATION ${bmfwu_bin_dir} COMPONENT tools EXCLUDE_FROM_ALL)

set(CPACK_PACKAGE_NAME bmfwu)
set(CPACK_PACKAGE_VENDOR ${BMFWU_COMPANY})
set(CPACK_PACKAGE_CONTACT "Brenmoor firmware team <firmware@brenmoor.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY ${BMFWU_SUMMARY})
# Lines of at most 80 characters: Debian shows them as they are.
set(CPACK_PACKAGE_DESCRIPTION [=[
bmfwu updates the firmware of Brenmoor audio matrix switches over a serial
port. It searches the serial ports (USB adapters and on-board ports),
identifies the switch it finds (product id, PCB revision, installed version,
model), picks the firmware image made for it from the two images compiled into
the program, and after a confirmation programs and verifies the flash of the
switch's NXP LPC18xx/43xx controller through its ROM bootloader, then follows
the restarted switch's DSP update until the switch reports ready.

For production benches, --yes updates without a question and --info only
identifies; both tell the result by their exit status. --log appends a record
of the run to a file for support.]=])
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_VERBATIM_VARIABLES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  if(MINGW)
    include(cmake/mingw_notices.cmake)
  endif()
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  # The dependencies are the C and C++ runtimes the binary links, as dpkg-shlibdeps finds them.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  include(cmake/debian_docs.cmake)
endif()
include(CPack)
