# Runs the foreign host and the installed mp4meta on SAMPLES with the
# installed module; their outputs must be the same.
execute_process(COMMAND ${HOST} ${PREFIX}/${LIBDIR}/strigi/strigita_mp4.so ${SAMPLES}
                OUTPUT_VARIABLE foreign ERROR_VARIABLE err RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "foreign host failed (${status}):\n${err}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=STRIGI_PLUGIN_PATH ${PREFIX}/bin/mp4meta ${SAMPLES}
                OUTPUT_VARIABLE ours RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT foreign STREQUAL ours)
  message(FATAL_ERROR "the foreign host printed\n${foreign}\nmp4meta printed\n${ours}")
endif()
