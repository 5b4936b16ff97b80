# mp4meta_man_page(TARGET SUMMARY [INCLUDE]): builds TARGET's manual page with
# help2man from its --help and --version output (and the sections of the
# help2man include file INCLUDE) and installs it in section 1. The
# page is part of the build (target TARGET_man); without help2man there is
# no page, and configuring says so.
find_program(HELP2MAN help2man)
if(NOT HELP2MAN)
  message(STATUS "help2man not found: no manual pages")
endif()

function(mp4meta_man_page target summary)
  if(NOT HELP2MAN)
    return()
  endif()
  set(page ${CMAKE_CURRENT_BINARY_DIR}/${target}.1)
  set(include "")
  if(ARGC GREATER 2)
    set(include "--include=${ARGV2}")
  endif()
  add_custom_command(OUTPUT ${page}
    COMMAND ${HELP2MAN} --no-info --no-discard-stderr --section=1 "--name=${summary}"
            ${include} --output=${page} $<TARGET_FILE:${target}>
    DEPENDS ${target} ${ARGV2}
    COMMENT "Manual page of ${target}"
    VERBATIM)
  add_custom_target(${target}_man ALL DEPENDS ${page})
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()
