# bmfwu.exe links its compiler's runtimes statically: GCC's libstdc++ and
# libgcc, and the mingw-w64 CRT and winpthreads, whose licences ask a binary
# distribution to carry their notices. The ZIP carries them in licenses/: on
# Debian the copyright files of the packages that hold those libraries, found
# through dpkg; elsewhere (MSYS2) name the files in BMFWU_RUNTIME_NOTICES.
set(BMFWU_RUNTIME_NOTICES "" CACHE STRING
    "Licence files of the statically linked runtimes, for the ZIP (empty: found through dpkg)")

# The copyright file of the Debian package holding the library the compiler links.
function(bmfwu_debian_notice library out)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${library}
                  OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  file(REAL_PATH "${path}" path)
  execute_process(COMMAND dpkg-query -S "${path}" OUTPUT_VARIABLE owner RESULT_VARIABLE status ERROR_QUIET)
  string(REGEX REPLACE ":.*" "" owner "${owner}")
  set(${out} "" PARENT_SCOPE)
  if(status EQUAL 0 AND EXISTS /usr/share/doc/${owner}/copyright)
    set(${out} /usr/share/doc/${owner}/copyright PARENT_SCOPE)
  endif()
endfunction()

if(BMFWU_RUNTIME_NOTICES)
  install(FILES ${BMFWU_RUNTIME_NOTICES} DESTINATION licenses COMPONENT program)
else()
  foreach(notice gcc-runtime:libstdc++.a mingw-w64-runtime:libmingwex.a)
    string(REPLACE ":" ";" notice "${notice}")
    list(GET notice 0 name)
    list(GET notice 1 library)
    bmfwu_debian_notice(${library} copyright)
    if(NOT copyright)
      message(WARNING "No licence file found for ${library}: the ZIP lacks the runtimes' notices "
                      "until BMFWU_RUNTIME_NOTICES names them.")
      break()
    endif()
    configure_file(${copyright} ${CMAKE_BINARY_DIR}/licenses/${name}.txt COPYONLY)
    install(FILES ${CMAKE_BINARY_DIR}/licenses/${name}.txt DESTINATION licenses COMPONENT program)
  endforeach()
endif()
