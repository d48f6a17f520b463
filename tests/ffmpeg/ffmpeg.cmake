zarvel_test(ffmpeg_tests unit
  ffmpeg/ffmpeg_e2e_test.cpp
  ffmpeg/ffmpeg_decoder_test.cpp
  ffmpeg/ffmpeg_sound_test.cpp
  ffmpeg/ffmpeg_seek_test.cpp)
target_link_libraries(ffmpeg_tests PRIVATE zarvel_test_support)
add_dependencies(ffmpeg_tests zarvel-decode)

# FFmpeg is loaded at run time only: no program may name its libraries.
add_test(NAME FFmpegIsNotLinked
  COMMAND sh -c "for f in \"$@\"; do if readelf -d \"$f\" | grep -E 'lib(av|sw)'; then exit 1; fi; done" sh
          $<TARGET_FILE:zarvel-decode> $<TARGET_FILE:zarvel> $<TARGET_FILE:ffmpeg_tests>)
set_tests_properties(FFmpegIsNotLinked PROPERTIES LABELS unit)
