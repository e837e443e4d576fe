# Draws the artwork again into OUT and compares it with the committed files.
execute_process(COMMAND ${PYTHON} ${ROOT}/resources/make_artwork.py ${OUT} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "make_artwork.py failed")
endif()
foreach(name banner.bmp logo.bmp disc.bmp kestrune.ico)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${OUT}/${name}
                          ${ROOT}/resources/${name} RESULT_VARIABLE differs)
  if(NOT differs EQUAL 0)
    message(FATAL_ERROR "resources/${name} is not what make_artwork.py draws; run it again")
  endif()
endforeach()
