# Writes the packer's --inspect report of each container of IMAGES into OUTPUT.
#   cmake -DPACK_TOOL=bmfwu-pack -DIMAGES=a.bin;b.bin -DOUTPUT=report.txt -P image_report.cmake
set(report "Firmware images carried by this bmfwu\n")
set(index 0)
foreach(image ${IMAGES})
  math(EXPR index "${index} + 1")
  execute_process(COMMAND ${PACK_TOOL} --inspect ${image} OUTPUT_VARIABLE text RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${PACK_TOOL} --inspect ${image} failed (${status}):\n${text}")
  endif()
  string(APPEND report "\nImage ${index}\n${text}")
endforeach()
file(WRITE ${OUTPUT} "${report}")
