# Applies MP4META_SANITIZERS (a comma-separated -fsanitize list) to every
# target of the project, the plug-in module included.
if(MP4META_SANITIZERS)
  add_compile_options(-fsanitize=${MP4META_SANITIZERS} -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${MP4META_SANITIZERS})
endif()
