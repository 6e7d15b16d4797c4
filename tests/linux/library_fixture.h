// The Linux library (libostrel_core.so) through its exports, as a host uses
// it, with an Xvfb and a PulseAudio server of each test's own.
#pragma once

#include <gtest/gtest.h>
#include <ostrel/ostrel.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "linux/pulse_server.h"
#include "linux/test_window.h"
#include "linux/x_server.h"
#include "support/instrumented_build.h"
#include "support/log_capture.h"

namespace ostrel::testing {

inline std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

class LibraryTest : public ::testing::Test {
 protected:
  using Clock = std::chrono::steady_clock;

  // Xvfb with a screen of `screenWidth` x `screenHeight`, a sound server
  // loading `modules`, and the library initialised with the software encoder
  // allowed (no hardware one here).
  void StartWorld(const std::vector<std::string>& modules, int screenWidth = 1280, int screenHeight = 720) {
    xserver_ = std::make_unique<XServer>(screenWidth, screenHeight);
    ASSERT_TRUE(xserver_->Ready()) << "Xvfb did not start";
    pulse_ = std::make_unique<PulseServer>(modules);
    ASSERT_TRUE(pulse_->Ready()) << pulse_->ReadLog();
    setenv("OSTREL_ALLOW_SOFTWARE_ENCODER", "1", 1);
    LogCapture::Clear();
    Ostrel_SetLogCallback(&LogCapture::Callback);
    ASSERT_EQ(Ostrel_GlobalInitialize(), 0);
  }

  TestWindow& OpenWindow(int width, int height, TestWindow::Content content = TestWindow::Content::Animated,
                         Clock::time_point flashEpoch = Clock::now(), int redrawHz = 60) {
    window_.reset();
    window_ = std::make_unique<TestWindow>(width, height, content, flashEpoch, redrawHz);
    for (int i = 0; i < 500 && !window_->Ready(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(window_->Ready());
    return *window_;
  }

  std::filesystem::path Scratch() {
    if (scratch_.empty()) {
      std::string pattern = (std::filesystem::temp_directory_path() / "ostrel-linux-test-XXXXXX").string();
      scratch_ = mkdtemp(pattern.data());
    }
    return scratch_;
  }

  std::string Save() {
    wchar_t path[1024] = {};
    EXPECT_EQ(Ostrel_SaveClipNow(Scratch().wstring().c_str(), path, 1024), 0);
    return Narrow(path);
  }

  void TearDown() override {
    Ostrel_StopCapture();
    if (HasFailure()) {
      for (const std::wstring& line : LogCapture::Lines()) std::printf("  log | %s\n", Narrow(line).c_str());
    }
    Ostrel_GlobalShutdown();
    Ostrel_SetLogCallback(nullptr);
    window_.reset();
    pulse_.reset();
    xserver_.reset();
    std::error_code ignored;
    if (!scratch_.empty()) std::filesystem::remove_all(scratch_, ignored);
  }

  std::unique_ptr<XServer> xserver_;
  std::unique_ptr<PulseServer> pulse_;
  std::unique_ptr<TestWindow> window_;
  std::filesystem::path scratch_;
};

}  // namespace ostrel::testing
