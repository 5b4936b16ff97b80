# mp4meta_warnings(target): the project's warning set, as errors when
# MP4META_WERROR is on.
function(mp4meta_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wnon-virtual-dtor
                                           -Wold-style-cast -Wcast-align -Wpedantic)
  if(MP4META_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
