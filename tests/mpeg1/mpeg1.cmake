find_package(ZLIB REQUIRED)
add_library(zarvel_test_support STATIC support/fixtures.cpp)
target_link_libraries(zarvel_test_support PUBLIC ZLIB::ZLIB)
target_include_directories(zarvel_test_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(zarvel_test_support PUBLIC
  ZARVEL_TEST_DATA="${PROJECT_SOURCE_DIR}/tests/data"
  ZARVEL_DECODE="$<TARGET_FILE:zarvel-decode>")

zarvel_test(mpeg1_tests unit
  mpeg1/decode_e2e_test.cpp
  mpeg1/sound_e2e_test.cpp
  mpeg1/decoder_test.cpp
  mpeg1/stream_reader_test.cpp
  mpeg1/crafted_stream_test.cpp
  mpeg1/seek_e2e_test.cpp)
target_link_libraries(mpeg1_tests PRIVATE zarvel_test_support)
add_dependencies(mpeg1_tests zarvel-decode)
