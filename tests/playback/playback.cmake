# Included from tests/CMakeLists.txt: the player and the session over the
# memory presenter and the null sound device, and the statistics they write.
zarvel_test(player_tests threads playback/player_test.cpp)
target_link_libraries(player_tests PRIVATE zarvel_test_support)

zarvel_test(playback_tests unit playback/statistics_json_test.cpp)
