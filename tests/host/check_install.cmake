# Installs the build into PREFIX and runs the installed mp4meta on SAMPLE
# with STRIGI_PLUGIN_PATH unset; it must load the installed module (the
# dynamic loader's trace shows which file it opened) and report a value.
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                OUTPUT_QUIET RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed")
endif()
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env --unset=STRIGI_PLUGIN_PATH --unset=LD_LIBRARY_PATH LD_DEBUG=files
          ${PREFIX}/bin/mp4meta --json ${SAMPLE}
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT out MATCHES "\"content.mime_type\": \\[\"audio/mp4\"\\]")
  message(FATAL_ERROR "installed mp4meta failed (${status}):\n${out}\n${err}")
endif()
string(REGEX MATCHALL "file=[^ ]*strigita_mp4.so" opened "${err}")
if(NOT opened MATCHES "file=${PREFIX}/")
  message(FATAL_ERROR "installed mp4meta did not load the installed module: ${opened}")
endif()
string(REGEX MATCHALL "calling init: [^ \n]*libstrigi-interface.so[^ \n]*" opened "${err}")
if(NOT opened MATCHES "init: ${PREFIX}/")
  message(FATAL_ERROR "installed mp4meta did not use the installed interface library: ${opened}")
endif()
file(REMOVE_RECURSE ${PREFIX})
