// Ostrel_SetReplayStorage through the exports: the folder check, the newest
// part that fits without a folder, saves across the spilled boundary, a
// stalled and a failing writer, leftovers of an earlier process, a device
// loss with spilled data, and nothing left open after a stop.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include <fstream>
#include <string>
#include <vector>

#include "exports/export_fixture.h"

namespace ostrel::testing {
namespace {

namespace fs = std::filesystem;

// 360p30 at 4 Mbit/s with both sources: about 1.27 MB of replay a second
// (video 0.5 MB, raw audio 2 x 384 KB), so 4 MB holds about 3 s.
constexpr int kLimitMB = 4;

class ReplayStorageExportTest : public ExportTest {
 protected:
  void Record(const fs::path& folder, int limitMB, int replaySeconds = 60) {
    ASSERT_EQ(Ostrel_GlobalInitialize(), 0);
    ASSERT_EQ(Ostrel_SetReplayStorage(folder.empty() ? nullptr : folder.wstring().c_str(), limitMB), 0);
    window_ = OstrelSim_CreateWindow(640, 360);
    ASSERT_EQ(Ostrel_StartCapture(window_, false, 360, 30, 4000000, replaySeconds), 0);
  }

  std::string SaveSeconds(int seconds) {
    wchar_t path[4096];
    const int result = Ostrel_SaveClipSeconds(seconds, Scratch().wstring().c_str(), path, 4096);
    EXPECT_EQ(result, 0);
    return result == 0 ? Narrow(path) : std::string();
  }

  // The spill files this process has open in `folder`: unlinked, so found
  // through the descriptors, each with its permission bits.
  static std::vector<mode_t> OpenSpillFiles(const fs::path& folder) {
    std::vector<mode_t> modes;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd", error)) {
      std::error_code linkError;
      const std::string target = fs::read_symlink(entry.path(), linkError).string();
      if (linkError || target.rfind(folder.string() + "/ostrel-spill-", 0) != 0) continue;
      struct stat info {};
      if (::stat(entry.path().c_str(), &info) == 0) modes.push_back(info.st_mode & 0777);
    }
    return modes;
  }

  // A disk that takes no more: one line for the series, memory up to its
  // bound, then what is held makes one clean clip, shorter than recorded.
  void ExpectAFullDiskLineTheBoundAndACleanClip() {
    ASSERT_TRUE(LogCapture::WaitFor(
        L"[REPLAY-STORAGE] spill write failed: 0x80070070 (There is not enough space on the disk.)",
        std::chrono::seconds(30)));
    ASSERT_TRUE(LogCapture::WaitFor(L"[REPLAY-STORAGE] spill writer behind: memory reached its bound of 12 MB",
                                    std::chrono::seconds(30)));
    const std::string file = SaveClip();
    const ClipInfo clip = ProbeClip(file, /*decode=*/true);
    EXPECT_GT(clip.durationSeconds, 3.0);
    EXPECT_EQ(FfmpegDecodeErrors(file), "");
    EXPECT_EQ(LogCapture::Count(L"spill write failed"), 1u);
  }

  static bool FolderHoldsNames(const fs::path& folder) {
    return fs::exists(folder) && !fs::is_empty(folder);
  }

  void* window_ = nullptr;
};

TEST_F(ReplayStorageExportTest, AFolderThatCannotBeUsedIsRefusedWithThePathAndTheReason) {
  EXPECT_EQ(Ostrel_SetReplayStorage(L"/tmp", 64), 6);  // not initialised
  ASSERT_EQ(Ostrel_GlobalInitialize(), 0);
  const fs::path file = Scratch() / "plain-file";
  std::ofstream(file) << "x";
  const fs::path under = file / "spill";
  EXPECT_EQ(Ostrel_SetReplayStorage(under.wstring().c_str(), 64), 12);
  EXPECT_EQ(LogCapture::Count(L"SetReplayStorage: cannot use " + under.wstring() + L": cannot create "), 1u);
  EXPECT_FALSE(fs::exists(under));
  // A folder that does not exist yet is created (with its parents).
  const fs::path fresh = Scratch() / "a" / "b";
  EXPECT_EQ(Ostrel_SetReplayStorage(fresh.wstring().c_str(), 64), 0);
  EXPECT_TRUE(fs::is_directory(fresh));
  EXPECT_FALSE(FolderHoldsNames(fresh));  // the write check left nothing
  EXPECT_EQ(Ostrel_SetReplayStorage(nullptr, 0), 0);
  EXPECT_EQ(Ostrel_SetReplayStorage(L"", -5), 0);
}

TEST_F(ReplayStorageExportTest, WithoutAFolderTheReplayIsTheNewestPartThatFits) {
  Record({}, kLimitMB);
  Sleep(9.0);
  ASSERT_TRUE(LogCapture::WaitFor(L"[REPLAY-STORAGE] memory limit 4 MB reached: the replay holds the newest ",
                                  std::chrono::seconds(5)));
  const std::string file = SaveClip();
  const ClipInfo clip = ProbeClip(file, /*decode=*/true);
  EXPECT_GT(clip.durationSeconds, 1.0);
  EXPECT_LT(clip.durationSeconds, 6.5);  // far from the 9 s recorded
  EXPECT_NEAR(clip.audio.durationSeconds, clip.durationSeconds, 0.1);
  EXPECT_EQ(FfmpegDecodeErrors(file), "");
  EXPECT_EQ(OstrelSim_GetOpenSpillFileCount(), 0);
}

TEST_F(ReplayStorageExportTest, ASaveReachingIntoTheSpilledPartIsWholeAndExact) {
  const fs::path folder = Scratch() / "spill";
  const uint64_t writesBefore = OstrelSim_GetSpillWriteCount();
  Record(folder, kLimitMB);
  Sleep(12.5);
  EXPECT_GT(OstrelSim_GetSpillWriteCount(), writesBefore + 4);
  const std::vector<mode_t> open = OpenSpillFiles(folder);
  ASSERT_FALSE(open.empty());
  for (mode_t mode : open) EXPECT_EQ(mode, 0600u);  // owner-only
  EXPECT_FALSE(FolderHoldsNames(folder));          // no name to leave behind

  // The whole replay: the spilled seconds and the ones in memory, as one
  // clip that holds exactly the span up to the request.
  const std::string whole = SaveSeconds(11);
  const ClipInfo clip = ProbeClip(whole, /*decode=*/true);
  EXPECT_NEAR(clip.durationSeconds, 11.0, 1.0 / 30 + 1e-3);
  EXPECT_NEAR(clip.audio.durationSeconds, 11.0, 1024.0 / 48000 + 1.0 / 30);
  EXPECT_NEAR(clip.audio.firstSampleSeconds, 0.0, 1e-3);
  EXPECT_EQ(FfmpegDecodeErrors(whole), "");
  for (size_t i = 1; i < clip.video.packets.size(); ++i) {
    EXPECT_GT(clip.video.packets[i].dtsSeconds, clip.video.packets[i - 1].dtsSeconds);
  }
  // After a volume change the save mixes the audio itself, reading the
  // spilled chunks back.
  Ostrel_SetAudioSettings(0.5f, 0.5f, false, false, nullptr, nullptr);
  const size_t mixedBefore = LogCapture::Count(L"stage=audio-encoded");
  const std::string remixed = SaveSeconds(10);
  EXPECT_EQ(LogCapture::Count(L"stage=audio-encoded"), mixedBefore + 1);
  const ClipInfo remix = ProbeClip(remixed, /*decode=*/true);
  EXPECT_NEAR(remix.durationSeconds, 10.0, 1.0 / 30 + 1e-3);
  EXPECT_NEAR(remix.audio.durationSeconds, 10.0, 1024.0 / 48000 + 1.0 / 30);
  EXPECT_EQ(FfmpegDecodeErrors(remixed), "");

  Ostrel_StopCapture();
  EXPECT_EQ(OstrelSim_GetOpenSpillFileCount(), 0);
  EXPECT_TRUE(OpenSpillFiles(folder).empty());
}

TEST_F(ReplayStorageExportTest, AStalledWriterCostsNoFramesAndGivesUpTheOldestPartWithALine) {
  const fs::path folder = Scratch() / "spill";
  OstrelSim_SetSpillWriter(OSTREL_SIM_SPILL_WRITES_BLOCK, 0);
  // 4 MB limit: the bound is 12 MB, about 9 s of this recording.
  Record(folder, kLimitMB);
  const auto started = std::chrono::steady_clock::now();
  const uint64_t framesBefore = OstrelSim_GetDeliveredFrameCount();
  ASSERT_TRUE(LogCapture::WaitFor(L"[REPLAY-STORAGE] spill writer behind: memory reached its bound of 12 MB",
                                  std::chrono::seconds(30)));
  EXPECT_EQ(OstrelSim_GetBlockedSpillWriterCount(), 1);
  EXPECT_GE(Ostrel_GetMeasuredSustainableFps(), 28.0);
  EXPECT_GT(OstrelSim_GetDeliveredFrameCount(), framesBefore);
  // What is held is one span ending at the request: a clean clip.
  const double recorded = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const std::string during = SaveClip();
  const ClipInfo clip = ProbeClip(during, /*decode=*/true);
  EXPECT_GT(clip.durationSeconds, 3.0);
  EXPECT_LT(clip.durationSeconds, recorded - 1.0);  // the oldest part was given up
  EXPECT_EQ(FfmpegDecodeErrors(during), "");

  OstrelSim_SetSpillWriter(OSTREL_SIM_SPILL_WRITES_SUCCEED, 0);
  const uint64_t writes = OstrelSim_GetSpillWriteCount();
  Sleep(3.0);
  EXPECT_GT(OstrelSim_GetSpillWriteCount(), writes);
  Ostrel_StopCapture();
  EXPECT_EQ(OstrelSim_GetOpenSpillFileCount(), 0);
}

TEST_F(ReplayStorageExportTest, AFullDiskShortensTheReplayWithALineAndNeverBreaksAClip) {
  const fs::path folder = Scratch() / "spill";
  Record(folder, kLimitMB);
  Sleep(5.0);  // some of it spilled first
  OstrelSim_SetSpillWriter(OSTREL_SIM_SPILL_WRITES_FAIL, 0);
  ExpectAFullDiskLineTheBoundAndACleanClip();
  if (HasFatalFailure()) return;

  OstrelSim_SetSpillWriter(OSTREL_SIM_SPILL_WRITES_SUCCEED, 0);
  ASSERT_TRUE(LogCapture::WaitFor(L"[REPLAY-STORAGE] spill writes resumed after ", std::chrono::seconds(10)));
}

TEST_F(ReplayStorageExportTest, AStartRemovesTheSpillFilesAnEarlierProcessLeftAndNothingElse) {
  const fs::path folder = Scratch() / "spill";
  fs::create_directories(folder);
  std::ofstream(folder / "ostrel-spill-999999-0.tmp") << "old screen";
  std::ofstream(folder / "ostrel-spill-999999-1.tmp") << "old screen";
  std::ofstream(folder / "notes.txt") << "mine";
  Record(folder, kLimitMB);
  EXPECT_EQ(LogCapture::Count(L"[REPLAY-STORAGE] removed 2 spill file(s) an earlier process left in " +
                              folder.wstring()),
            1u);
  EXPECT_FALSE(fs::exists(folder / "ostrel-spill-999999-0.tmp"));
  EXPECT_FALSE(fs::exists(folder / "ostrel-spill-999999-1.tmp"));
  EXPECT_TRUE(fs::exists(folder / "notes.txt"));
}

// Run in a child process by the test below: records into the folder it is
// given, says when the spill writer has written, and waits to be killed.
TEST_F(ReplayStorageExportTest, DISABLED_SpillingChildProcess) {
  const char* folder = std::getenv("OSTREL_TEST_SPILL_CHILD_FOLDER");
  if (folder == nullptr) GTEST_SKIP() << "run by AProcessKilledWhileSpillingLeavesNoFileBehind";
  Record(fs::path(folder) / "spill", 1);
  for (int i = 0; i < 300 && OstrelSim_GetSpillWriteCount() < 3; ++i) Sleep(0.1);
  std::ofstream(fs::path(folder) / "spilling") << OstrelSim_GetSpillWriteCount();
  Sleep(120.0);
}

// kill -9 while spilling: the spill files had no name, so the folder holds
// nothing of the killed process, and the next start finds nothing to remove.
TEST_F(ReplayStorageExportTest, AProcessKilledWhileSpillingLeavesNoFileBehind) {
  const fs::path base = Scratch();
  setenv("OSTREL_TEST_SPILL_CHILD_FOLDER", base.c_str(), 1);
  const pid_t child = fork();
  if (child == 0) {
    execl("/proc/self/exe", "/proc/self/exe", "--gtest_filter=ReplayStorageExportTest.DISABLED_SpillingChildProcess",
          "--gtest_also_run_disabled_tests", static_cast<char*>(nullptr));
    _exit(127);
  }
  unsetenv("OSTREL_TEST_SPILL_CHILD_FOLDER");
  ASSERT_GT(child, 0);
  for (int i = 0; i < 600 && !fs::exists(base / "spilling"); ++i) Sleep(0.1);
  const bool spilled = fs::exists(base / "spilling");
  ::kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(spilled) << "the child never spilled";
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  EXPECT_TRUE(fs::is_directory(base / "spill"));
  EXPECT_FALSE(FolderHoldsNames(base / "spill"));
  Record(base / "spill", 1);
  EXPECT_EQ(LogCapture::Count(L"[REPLAY-STORAGE] removed "), 0u);
}

// Run in a child process by the test below, in a mount namespace of its own
// where OSTREL_TEST_SMALL_DISK is a 2 MB tmpfs: spills until that disk is
// full, then saves (to a folder elsewhere) and stops.
TEST_F(ReplayStorageExportTest, DISABLED_RecordingOntoASmallDiskChild) {
  const char* disk = std::getenv("OSTREL_TEST_SMALL_DISK");
  if (disk == nullptr) GTEST_SKIP() << "run by AReallyFullDiskShortensTheReplayAndLeavesTheDiskEmpty";
  Record(fs::path(disk) / "spill", kLimitMB);
  // What the disk holds and what memory holds make the clip.
  ExpectAFullDiskLineTheBoundAndACleanClip();
  if (HasFatalFailure()) return;
  Ostrel_StopCapture();
  EXPECT_FALSE(FolderHoldsNames(fs::path(disk) / "spill"));
  struct statvfs space {};
  ASSERT_EQ(::statvfs(disk, &space), 0);
  EXPECT_EQ(space.f_bfree, space.f_blocks) << "the spill files' space is not back";
}

// A real disk that fills (a small tmpfs, where the machine lets the test
// mount one in a namespace of its own; the fake world's failing writer
// covers the same everywhere else).
TEST_F(ReplayStorageExportTest, AReallyFullDiskShortensTheReplayAndLeavesTheDiskEmpty) {
  if (std::system("unshare --mount --propagation private true >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "no mount namespace for this user";
  }
  const fs::path disk = Scratch() / "disk";
  fs::create_directories(disk);
  const std::string command =
      "OSTREL_TEST_SMALL_DISK='" + disk.string() +
      "' unshare --mount --propagation private sh -c 'mount -t tmpfs -o size=2m,mode=0700 tmpfs \"$1\" || exit 77; "
      "exec \"$2\" --gtest_filter=ReplayStorageExportTest.DISABLED_RecordingOntoASmallDiskChild "
      "--gtest_also_run_disabled_tests' sh '" + disk.string() + "' '" + fs::read_symlink("/proc/self/exe").string() +
      "'";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot mount a tmpfs here";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the child's checks failed (its output is above)";
}

TEST_F(ReplayStorageExportTest, ADeviceLossRestartLetsGoOfTheSpilledPartAndSpillsAgain) {
  const fs::path folder = Scratch() / "spill";
  Record(folder, kLimitMB);
  Sleep(7.0);
  ASSERT_GT(OstrelSim_GetOpenSpillFileCount(), 0);
  OstrelSim_LoseDevice(0x887A0005);
  ASSERT_TRUE(LogCapture::WaitFor(L"Watchdog: GPU device lost", std::chrono::seconds(6)));
  OstrelSim_LoseDevice(0);
  ASSERT_TRUE(LogCapture::WaitFor(L"Watchdog: capture automatically recovered", std::chrono::seconds(10)));
  EXPECT_EQ(LogCapture::Count(L"[REPLAY-STORAGE] memory limit 4 MB; the older replay goes to "), 2u);
  const uint64_t writes = OstrelSim_GetSpillWriteCount();
  Sleep(7.0);
  EXPECT_GT(OstrelSim_GetSpillWriteCount(), writes);
  const std::string file = SaveClip();
  const ClipInfo clip = ProbeClip(file, /*decode=*/true);
  EXPECT_GT(clip.durationSeconds, 5.0);
  EXPECT_EQ(FfmpegDecodeErrors(file), "");
  Ostrel_GlobalShutdown();
  EXPECT_EQ(OstrelSim_GetOpenSpillFileCount(), 0);
  EXPECT_TRUE(OpenSpillFiles(folder).empty());
}

}  // namespace
}  // namespace ostrel::testing
