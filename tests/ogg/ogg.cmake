# Included from tests/CMakeLists.txt, after mpeg1/mpeg1.cmake (zarvel_test_support).
zarvel_test(ogg_tests unit
  ogg/ogg_stream_test.cpp
  ogg/ogg_decoder_test.cpp
  ogg/ogg_e2e_test.cpp
  ogg/ogg_seek_test.cpp)
target_link_libraries(ogg_tests PRIVATE zarvel_test_support)
add_dependencies(ogg_tests zarvel-decode)

zarvel_test(ogg_thread_tests threads
  ogg/ogg_thread_test.cpp)
