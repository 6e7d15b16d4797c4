# Tests of the PulseAudio backend against a server each test starts itself
# (tests/linux/pulse_server.cc); label "services". Included by
# tests/CMakeLists.txt when the Linux backend is built.
set(pulse_fixture ${CMAKE_CURRENT_LIST_DIR}/pulse_server.cc)

# The backend under the audio subsystem: listener, formats, capture threads.
pkg_check_modules(PULSE_SIMPLE REQUIRED IMPORTED_TARGET libpulse-simple)
add_executable(linux_audio_capture_tests ${CMAKE_CURRENT_LIST_DIR}/pulse_capture_test.cc ${pulse_fixture}
  ${CMAKE_CURRENT_LIST_DIR}/click_player.cc)
target_include_directories(linux_audio_capture_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/..)
target_link_libraries(linux_audio_capture_tests PRIVATE ostrel_audio ostrel_backend_linux PkgConfig::PULSE_SIMPLE
  GTest::gtest_main)
# Audio timing and levels are measured: never beside another test.
gtest_discover_tests(linux_audio_capture_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 300 LABELS services RUN_SERIAL TRUE)

# The Linux library's sound through its exports: the endpoint list, and
# recording an Xvfb test window (ostrel_x11_test_support) with sound.
add_executable(linux_audio_tests ${CMAKE_CURRENT_LIST_DIR}/pulse_export_test.cc ${pulse_fixture}
  ${CMAKE_CURRENT_SOURCE_DIR}/support/log_capture.cc)
target_include_directories(linux_audio_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/..)
target_link_libraries(linux_audio_tests PRIVATE ostrel_core ostrel_x11_test_support GTest::gtest_main)
gtest_discover_tests(linux_audio_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 300 LABELS services RUN_SERIAL TRUE)
