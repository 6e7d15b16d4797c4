// Whole saves into real files, read back with FFmpeg.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "platform/hresult.h"
#include "save/clip_path.h"
#include "save/save_test_hooks.h"
#include "save_rig.h"
#include "support/clip_probe.h"

namespace ostrel::testing {
namespace {

using save_hooks::FaultPoint;

// Installs hooks for one test and removes them whatever happens.
class ScopedHooks {
 public:
  explicit ScopedHooks(save_hooks::SaveTestHooks hooks) : hooks_(std::move(hooks)) {
    save_hooks::InstallSaveTestHooks(&hooks_);
  }
  ~ScopedHooks() { save_hooks::InstallSaveTestHooks(nullptr); }

 private:
  save_hooks::SaveTestHooks hooks_;
};

ClipInfo Probe(const std::wstring& path, bool decode = false) { return ProbeClip(Narrow(path), decode); }

void ExpectWellFormedVideo(const VideoStreamInfo& video) {
  ASSERT_TRUE(video.present);
  EXPECT_EQ(video.codec, "h264");
  ASSERT_FALSE(video.packets.empty());
  EXPECT_TRUE(video.packets.front().key);
  EXPECT_DOUBLE_EQ(video.packets.front().ptsSeconds, 0.0);
  for (size_t i = 1; i < video.packets.size(); ++i) {
    EXPECT_GT(video.packets[i].dtsSeconds, video.packets[i - 1].dtsSeconds) << "packet " << i;
  }
}

std::vector<std::wstring> StageNames(const SaveRig& rig) {
  std::vector<std::wstring> names;
  for (const auto& line : rig.LinesContaining(L"[DIAG-SAVE-MEM] stage=")) {
    size_t from = line.find(L"stage=") + 6;
    names.push_back(line.substr(from, line.find(L' ', from) - from));
  }
  return names;
}

TEST(ClipSave, PassthroughKeepsTheStraddlingSegmentWholeAndStartsOnAKeyFrame) {
  SaveRig rig(10.0);
  ScratchFolder folder;
  const int64_t now = TickClock::Now();
  // Eight 2 s segments ending 1 s ago; the span start (now - 10 s) falls
  // 1 s into the segment that begins 11 s ago.
  AddSegmentsEndingAt(rig, 8, now - 1 * kTicks);
  std::wstring path;
  ASSERT_TRUE(rig.Save(folder.Wide(), &path)) << rig.Dump();

  ClipInfo clip = Probe(path);
  ASSERT_TRUE(clip.opened);
  EXPECT_EQ(clip.streamCount, 1);
  EXPECT_FALSE(clip.audio.present);
  ExpectWellFormedVideo(clip.video);
  EXPECT_EQ(clip.video.packets.size(), 5u * 60u);  // the straddling segment and the four after it
  for (size_t i = 0; i < clip.video.packets.size(); ++i) {
    EXPECT_EQ(clip.video.packets[i].key, i % 60 == 0) << "packet " << i;
  }
  EXPECT_GE(clip.durationSeconds, 10.0 - 1e-3);
  EXPECT_LE(clip.durationSeconds, 10.0 + 2.1);
  // Packet times follow the segment starts exactly (2 s apart from zero).
  EXPECT_NEAR(clip.video.packets[60].ptsSeconds, 2.0, 1e-3);
  EXPECT_NEAR(clip.video.packets[299].ptsSeconds, 8.0 + 59.0 / 30.0, 1e-3);

  const double lastFrame = 8.0 + 59.0 / 30.0;  // clip seconds of the last frame
  EXPECT_TRUE(rig.HasLine(L"Saved clip: ~" + std::to_wstring(static_cast<int>(lastFrame)) + L"s video, ~0s audio -> " +
                          path))
      << Narrow(rig.Lines().back());
  EXPECT_EQ(rig.progress.stage.load(), 0u);
}

}  // namespace
}  // namespace ostrel::testing
