# The zarvel program: headless playback of the fixtures, and the real SDL
# window on a virtual X display (skipped without Xvfb).
zarvel_test(app_e2e_tests threads
  app/program.cpp
  app/headless_e2e_test.cpp
  app/window_test.cpp)
target_link_libraries(app_e2e_tests PRIVATE zarvel_test_support)
target_compile_definitions(app_e2e_tests PRIVATE ZARVEL_PROGRAM="$<TARGET_FILE:zarvel>")
add_dependencies(app_e2e_tests zarvel zarvel-decode)

# Installed like a desktop program, so a file manager offers it.
add_test(NAME InstallsLikeADesktopProgram
  COMMAND sh -c "p=$(mktemp -d) && cmake --install \"$0\" --prefix \"$p\" >/dev/null && cd \"$p\" &&
                 test -x bin/zarvel && test -x bin/zarvel-decode &&
                 grep -qx 'Exec=zarvel %f' share/applications/zarvel.desktop &&
                 grep -q '^MimeType=.*video/mpeg;.*video/ogg;.*video/mp4;' share/applications/zarvel.desktop &&
                 grep -q '<svg' share/icons/hicolor/scalable/apps/zarvel.svg; s=$?; rm -rf \"$p\"; exit $s"
          ${PROJECT_BINARY_DIR})
set_tests_properties(InstallsLikeADesktopProgram PROPERTIES LABELS unit)

# Where the window goes when it takes a picture's size (no display needed).
zarvel_test(app_unit_tests unit app/window_fit_test.cpp)
target_link_libraries(app_unit_tests PRIVATE zarvel_frontend)
