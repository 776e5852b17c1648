# cmake -DGROFF=<groff> -DOUTPUT=<file> -DPAGES=<page|...> -P render_text_manual.cmake
# Renders manual pages as plain text (no bold or underline sequences), one after the other,
# with CR LF line ends so that any Windows editor shows them properly.
string(REPLACE "|" ";" PAGES "${PAGES}")
set(text "")
foreach(page IN LISTS PAGES)
  execute_process(COMMAND ${GROFF} -man -Tascii -P-cbou ${page}
                  OUTPUT_VARIABLE rendered RESULT_VARIABLE result ERROR_VARIABLE errors)
  if(NOT result EQUAL 0 OR NOT errors STREQUAL "")
    message(FATAL_ERROR "groff failed on ${page}: ${errors}")
  endif()
  string(APPEND text "${rendered}\n")
endforeach()
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUTPUT} "${text}")
