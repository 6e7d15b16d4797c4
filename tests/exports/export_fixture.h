// A fresh fake world and library state per test, with the host log captured.
#pragma once

#include <gtest/gtest.h>
#include <ostrel/ostrel.h>
#include <ostrel/ostrel_sim.h>

#include <chrono>
#include <cwchar>
#include <filesystem>
#include <string>
#include <thread>

#include "support/clip_probe.h"
#include "support/instrumented_build.h"
#include "support/log_capture.h"

namespace ostrel::testing {

inline std::string Narrow(const wchar_t *text) { return std::string(text, text + std::wcslen(text)); }

class ExportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OstrelSim_Reset();
    LogCapture::Clear();
    Ostrel_SetLogCallback(&LogCapture::Callback);
  }
  void TearDown() override {
    Ostrel_GlobalShutdown();
    OstrelSim_Reset();
    Ostrel_SetLogCallback(nullptr);
    if (!scratch_.empty()) std::filesystem::remove_all(scratch_);
  }

  // Initialises, creates an animated window and starts capture.
  void *StartRecording(int maxHeight = 720, int fps = 30, int replaySeconds = 60, int width = 1920,
                       int height = 1080) {
    EXPECT_EQ(Ostrel_GlobalInitialize(), 0);
    void *window = OstrelSim_CreateWindow(width, height);
    EXPECT_EQ(Ostrel_StartCapture(window, false, maxHeight, fps, 4000000, replaySeconds), 0);
    return window;
  }

  // A fresh folder for clips, removed after the test.
  std::filesystem::path Scratch() {
    if (scratch_.empty()) {
      std::string pattern = (std::filesystem::temp_directory_path() / "ostrel-test-XXXXXX").string();
      scratch_ = mkdtemp(pattern.data());
    }
    return scratch_;
  }

  // Saves the replay into Scratch(); the clip's path, empty when it failed.
  std::string SaveClip() {
    wchar_t path[4096];
    const int result = Ostrel_SaveClipNow(Scratch().wstring().c_str(), path, 4096);
    EXPECT_EQ(result, 0);
    return result == 0 ? Narrow(path) : std::string();
  }
  ClipInfo SaveAndProbe(bool decode = false) { return ProbeClip(SaveClip(), decode); }

  static void Sleep(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

 private:
  std::filesystem::path scratch_;
};

}  // namespace ostrel::testing
