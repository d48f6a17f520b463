zarvel_test(player_tests threads app/player_test.cpp)
target_link_libraries(player_tests PRIVATE zarvel_test_support)
