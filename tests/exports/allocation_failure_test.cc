// No C++ exception crosses an export, allocation failures included: every
// export is called with the n-th allocation of the calling thread failing,
// for growing n, until a call makes fewer allocations than that. Each call
// must return (an exception would fail the test here) with one of the
// results its documentation names, and leave the library usable.
#include <fstream>
#include <set>
#include <vector>

#include "exports/export_fixture.h"

namespace ostrel::testing {
namespace {

// Calls `call` once per failing allocation n = 0, 1, 2, ... (wider steps as
// n grows, by 1 + n / stepDivisor) until a call completes without reaching
// it; `check` sees each result and whether the failure happened in it.
// Returns how many calls met a failure.
template <typename Call, typename Check>
int SweepAllocationFailures(int stepDivisor, Call call, Check check) {
  int failed = 0;
  for (int skip = 0;; skip += 1 + skip / stepDivisor) {
    OstrelSim_FailAllocations(skip, 1);
    auto result = call();
    const bool hit = OstrelSim_GetPendingAllocationFailures() == 0;
    OstrelSim_FailAllocations(0, 0);
    check(result, hit, skip);
    if (!hit) break;
    ++failed;
  }
  return failed;
}

void NoteDevice(const wchar_t*, const wchar_t*, bool) {}

// Stop under failing allocations too (the n-th of its own, for a few n): it
// must stop all the same.
void StopWithFailingAllocations(int skip) {
  OstrelSim_FailAllocations(skip % 8, 1);
  Ostrel_StopCapture();
  OstrelSim_FailAllocations(0, 0);
  EXPECT_FALSE(Ostrel_IsCapturing()) << "stop at allocation " << skip % 8;
  if (Ostrel_IsCapturing()) {
    for (const std::wstring& line : LogCapture::Lines()) ADD_FAILURE() << std::string(line.begin(), line.end());
    Ostrel_StopCapture();
  }
}

class AllocationFailureTest : public ExportTest {
 protected:
  void SetUp() override {
    if (kInstrumentedBuild) GTEST_SKIP() << "the sanitizers' runtime owns the allocation functions";
    ExportTest::SetUp();
  }
};

TEST_F(AllocationFailureTest, InitialiseAndShutdownAnswerTheirResultsAndALaterInitialiseWorks) {
  std::set<int> results;
  const int failed = SweepAllocationFailures(
      4,
      [] {
        Ostrel_GlobalShutdown();
        return Ostrel_GlobalInitialize();
      },
      [&](int result, bool hit, int skip) {
        results.insert(result);
        EXPECT_TRUE(result == 0 || (hit && result == 6)) << "result " << result << " at allocation " << skip;
      });
  EXPECT_GT(failed, 0);
  EXPECT_TRUE(results.count(6));
  // Shutdown under failing allocations still returns; the next initialise works.
  SweepAllocationFailures(
      4,
      [] {
        Ostrel_GlobalShutdown();
        return 0;
      },
      [](int, bool, int) {});
  EXPECT_EQ(Ostrel_GlobalInitialize(), 0);
}

TEST_F(AllocationFailureTest, StartAndStopAnswerTheirResultsAndCaptureWorksAfterwards) {
  ASSERT_EQ(Ostrel_GlobalInitialize(), 0);
  void* window = OstrelSim_CreateWindow(320, 180);
  std::set<int> results;
  const int failed = SweepAllocationFailures(
      kInstrumentedBuild ? 2 : 6,
      [&] {
        return Ostrel_StartCapture(window, false, 0, 30, 1000000, 10);
      },
      [&](int result, bool hit, int skip) {
        results.insert(result);
        EXPECT_TRUE(result == 0 || (hit && result == 4)) << "result " << result << " at allocation " << skip;
        EXPECT_EQ(Ostrel_IsCapturing(), result == 0) << "at allocation " << skip;
        if (result == 0) StopWithFailingAllocations(skip);
      });
  EXPECT_GT(failed, 0);
  EXPECT_TRUE(results.count(4));
  EXPECT_EQ(OstrelSim_GetOpenFramePoolCount(), 0);
  EXPECT_GT(LogCapture::Count(L"out of memory"), 0u);

  // Nothing was left half-started: a capture records and saves.
  ASSERT_EQ(Ostrel_StartCapture(window, false, 0, 30, 1000000, 10), 0);
  Sleep(1.5);
  ClipInfo clip = SaveAndProbe(/*decode=*/true);
  EXPECT_GE(clip.video.framePtsSeconds.size(), kInstrumentedBuild ? 5u : 20u);

  // A shutdown while capturing stops whichever of its allocations fails.
  for (int skip = 0; skip < 8; ++skip) {
    OstrelSim_FailAllocations(skip, 1);
    Ostrel_GlobalShutdown();
    OstrelSim_FailAllocations(0, 0);
    EXPECT_FALSE(Ostrel_IsCapturing()) << "at allocation " << skip;
    EXPECT_EQ(OstrelSim_GetOpenFramePoolCount(), 0) << "at allocation " << skip;
    ASSERT_EQ(Ostrel_GlobalInitialize(), 0);
    ASSERT_EQ(Ostrel_StartCapture(window, false, 0, 30, 1000000, 10), 0);
  }
}

TEST_F(AllocationFailureTest, SavesAnswerTheirResultsAndCaptureGoesOn) {
  StartRecording(0, 30, 4, 320, 180);
  Sleep(2.0);
  const std::wstring folder = Scratch().wstring();
  std::set<int> results;
  wchar_t path[1024];
  const int failed = SweepAllocationFailures(
      kInstrumentedBuild ? 1 : 3, [&] { return Ostrel_SaveClipNow(folder.c_str(), path, 1024); },
      [&](int result, bool hit, int skip) {
        results.insert(result);
        EXPECT_TRUE(result == 0 || (hit && result == 5)) << "result " << result << " at allocation " << skip;
        EXPECT_TRUE(Ostrel_IsCapturing()) << "at allocation " << skip;
      });
  EXPECT_GT(failed, 0);
  EXPECT_TRUE(results.count(5));
  SweepAllocationFailures(
      kInstrumentedBuild ? 1 : 3, [&] { return Ostrel_SaveClipSeconds(2, folder.c_str(), path, 1024); },
      [&](int result, bool hit, int skip) {
        EXPECT_TRUE(result == 0 || (hit && result == 5)) << "result " << result << " at allocation " << skip;
      });
  // The replay is intact: a save now still has what came before the
  // failing saves (2 s of it at least).
  ClipInfo clip = SaveAndProbe(/*decode=*/true);
  EXPECT_EQ(clip.video.decodeErrors, 0);
  ASSERT_FALSE(clip.video.framePtsSeconds.empty());
  EXPECT_GE(clip.video.framePtsSeconds.back(), 2.0);
}

TEST_F(AllocationFailureTest, TheRemainingExportsReturnTheirDocumentedResults) {
  ASSERT_EQ(Ostrel_GlobalInitialize(), 0);
  auto expectVoid = [](int, bool, int) {};
  SweepAllocationFailures(2, [] { return Ostrel_HasHardwareEncoder() ? 1 : 0; }, expectVoid);
  for (bool capture : {false, true}) {
    SweepAllocationFailures(
        2,
        [capture] {
          Ostrel_EnumerateAudioDevices(capture, &NoteDevice);
          return 0;
        },
        expectVoid);
  }
  SweepAllocationFailures(
      2,
      [] {
        Ostrel_SetAudioSettings(0.5f, 0.5f, false, false, L"some-render-endpoint", L"some-capture-endpoint");
        return 0;
      },
      expectVoid);
  SweepAllocationFailures(
      2,
      [] {
        Ostrel_SetLogCallback(&LogCapture::Callback);
        Ostrel_SetCaptureBorderEnabled(false);
        int stage = -1, done = -1, total = -1;
        const bool saving = Ostrel_GetSaveProgress(&stage, &done, &total);
        return saving || stage != 0 || Ostrel_IsCapturing() || Ostrel_GetMeasuredSustainableFps() != 0.0 ? 1 : 0;
      },
      [](int result, bool, int skip) { EXPECT_EQ(result, 0) << "at allocation " << skip; });

  // The replay storage: set, or 12 when memory ran out on the way (the
  // previous settings kept); a start afterwards runs with what was set.
  const std::wstring spillFolder = (Scratch() / "spill").wstring();
  const int storageFailures = SweepAllocationFailures(
      2, [&] { return Ostrel_SetReplayStorage(spillFolder.c_str(), 64); },
      [](int result, bool hit, int skip) {
        EXPECT_TRUE(result == 0 || (hit && result == 12)) << "result " << result << " at allocation " << skip;
      });
  EXPECT_GT(storageFailures, 0);

  // An update file that is read and hashed, with a signature that does not
  // verify: 4, or 1 when memory ran out before the hash was made.
  const std::filesystem::path file = Scratch() / "update.bin";
  std::ofstream(file) << std::string(200000, 'x');
  const std::vector<uint8_t> signature(64, 0);
  const std::wstring widePath = file.wstring();
  const int failed = SweepAllocationFailures(
      2,
      [&] {
        char hex[65];
        return Ostrel_VerifyUpdateArtifact(widePath.c_str(), signature.data(), 64, hex, 65);
      },
      [](int result, bool hit, int skip) {
        EXPECT_TRUE(result == 4 || (hit && result == 1)) << "result " << result << " at allocation " << skip;
      });
  EXPECT_GT(failed, 0);
}

}  // namespace
}  // namespace ostrel::testing
