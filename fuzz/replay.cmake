# Replays the fuzz corpus and every regression input in each test run: the
# fuzz targets built with replay_main.cpp instead of libFuzzer, by the
# project's compiler and with its sanitizer settings. Included from tests/.
set(mp4meta_fuzz_dir ${CMAKE_CURRENT_LIST_DIR})

add_library(fuzz_harness STATIC
  ${mp4meta_fuzz_dir}/analyzer_harness.cpp
  ${mp4meta_fuzz_dir}/piece_stream.cpp)
target_include_directories(fuzz_harness PUBLIC ${mp4meta_fuzz_dir})
target_link_libraries(fuzz_harness PUBLIC mp4_analyzer strigi_interface)
mp4meta_warnings(fuzz_harness)

foreach(stream memory pieces)
  set(target fuzz_analyzer_${stream}_replay)
  add_executable(${target}
    ${mp4meta_fuzz_dir}/fuzz_analyzer_${stream}.cpp
    ${mp4meta_fuzz_dir}/replay_main.cpp)
  target_link_libraries(${target} PRIVATE fuzz_harness)
  mp4meta_warnings(${target})
  foreach(inputs corpus regressions)
    if(EXISTS ${mp4meta_fuzz_dir}/${inputs}/${stream})
      add_test(NAME fuzz_replay.${stream}.${inputs}
               COMMAND ${target} ${mp4meta_fuzz_dir}/${inputs}/${stream})
    endif()
  endforeach()
endforeach()

# The host's file stream against the stream that reads every byte.
add_executable(fuzz_file_stream_replay
  ${mp4meta_fuzz_dir}/fuzz_file_stream.cpp
  ${mp4meta_fuzz_dir}/replay_main.cpp)
target_link_libraries(fuzz_file_stream_replay PRIVATE mp4_host)
mp4meta_warnings(fuzz_file_stream_replay)
add_test(NAME fuzz_replay.file_stream.corpus
         COMMAND fuzz_file_stream_replay ${mp4meta_fuzz_dir}/corpus/file_stream)

# The archive path, over the built module.
add_executable(fuzz_archive_replay
  ${mp4meta_fuzz_dir}/fuzz_archive.cpp
  ${mp4meta_fuzz_dir}/replay_main.cpp)
target_link_libraries(fuzz_archive_replay PRIVATE mp4_host)
target_compile_definitions(fuzz_archive_replay PRIVATE MP4_MODULE_PATH="$<TARGET_FILE:strigita_mp4>")
add_dependencies(fuzz_archive_replay strigita_mp4)
mp4meta_warnings(fuzz_archive_replay)
foreach(inputs corpus regressions)
  if(EXISTS ${mp4meta_fuzz_dir}/${inputs}/archive)
    add_test(NAME fuzz_replay.archive.${inputs}
             COMMAND fuzz_archive_replay ${mp4meta_fuzz_dir}/${inputs}/archive)
  endif()
endforeach()

# Writes the synthetic seeds and the piece-stream variants of the corpus with
# the tests' box builder; run by hand (see README.md), its output is
# committed.
add_executable(make_fuzz_seeds ${mp4meta_fuzz_dir}/make_seeds.cpp)
target_link_libraries(make_fuzz_seeds PRIVATE mp4_test_support)
mp4meta_warnings(make_fuzz_seeds)
