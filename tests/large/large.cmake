# Recordings past 2 GiB, written to /tmp by the tests (about 2.3 GiB each) and
# deleted at their end: slow, so they carry a label of their own.
zarvel_test(large_file_tests large
  large/large_file_test.cpp
  app/program.cpp)
target_link_libraries(large_file_tests PRIVATE zarvel_test_support)
target_compile_definitions(large_file_tests PRIVATE ZARVEL_PROGRAM="$<TARGET_FILE:zarvel>")
add_dependencies(large_file_tests zarvel zarvel-decode)
