# The Linux backend against a real X server and PulseAudio server that each
# test starts itself; label "services". Included by tests/CMakeLists.txt when
# the Linux backend is built. Frame and audio timing are measured: never
# beside another test.
pkg_check_modules(PULSE_SIMPLE REQUIRED IMPORTED_TARGET libpulse-simple)
pkg_check_modules(XCB_CLIENT REQUIRED IMPORTED_TARGET xcb xcb-randr)

# The test window and X server, shared with the X11 bench.
add_library(ostrel_x11_test_support STATIC ${CMAKE_CURRENT_LIST_DIR}/x_server.cc
  ${CMAKE_CURRENT_LIST_DIR}/test_window.cc)
target_include_directories(ostrel_x11_test_support PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
target_link_libraries(ostrel_x11_test_support PUBLIC PkgConfig::XCB_CLIENT Threads::Threads)

# The backend's streams under the audio subsystem.
add_executable(linux_audio_capture_tests ${CMAKE_CURRENT_LIST_DIR}/pulse_capture_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/pulse_server.cc)
target_include_directories(linux_audio_capture_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/..)
target_link_libraries(linux_audio_capture_tests PRIVATE ostrel_audio ostrel_backend_linux GTest::gtest_main)
gtest_discover_tests(linux_audio_capture_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 300 LABELS services RUN_SERIAL TRUE)

# libostrel_core.so through its exports, recording test windows with sound.
add_executable(linux_capture_tests ${CMAKE_CURRENT_LIST_DIR}/x11_capture_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/pulse_export_test.cc ${CMAKE_CURRENT_LIST_DIR}/click_player.cc
  ${CMAKE_CURRENT_LIST_DIR}/pulse_server.cc ${CMAKE_CURRENT_SOURCE_DIR}/support/log_capture.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/support/clip_probe.cc)
target_include_directories(linux_capture_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(linux_capture_tests PRIVATE ostrel_core ostrel_x11_test_support PkgConfig::PULSE_SIMPLE
  PkgConfig::FFMPEG GTest::gtest_main)
gtest_discover_tests(linux_capture_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 300 LABELS services RUN_SERIAL TRUE)

# ostrel-replay, the command-line recorder, run as a person runs it; then the
# same program installed from the .deb into an empty root.
add_executable(linux_replay_tool_tests ${CMAKE_CURRENT_LIST_DIR}/replay_tool_test.cc
  ${CMAKE_CURRENT_LIST_DIR}/pulse_server.cc ${CMAKE_CURRENT_SOURCE_DIR}/support/clip_probe.cc)
target_include_directories(linux_replay_tool_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(linux_replay_tool_tests PRIVATE OSTREL_REPLAY_TOOL="$<TARGET_FILE:ostrel-replay>")
target_link_libraries(linux_replay_tool_tests PRIVATE ostrel_x11_test_support PkgConfig::FFMPEG GTest::gtest_main)
add_dependencies(linux_replay_tool_tests ostrel-replay)
gtest_discover_tests(linux_replay_tool_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 300 LABELS services RUN_SERIAL TRUE)
add_test(NAME ReplayToolFromTheDeb
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/run-replay-deb-test.sh ${PROJECT_BINARY_DIR})
set_tests_properties(ReplayToolFromTheDeb PROPERTIES LABELS services TIMEOUT 600 RUN_SERIAL TRUE)
