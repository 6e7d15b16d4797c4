// CPU cost of the two audio capture threads on the fake world: runs the
// desktop (loopback) and microphone threads for a while and prints each
// thread's CPU time as a share of one core. The figure includes the fake
// endpoints' sample synthesis, which runs on the capture thread.
//
// Usage: audio_capture_bench [seconds]   (default 10)
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "audio/audio_capture.h"
#include "platform/sim/sim_audio.h"

namespace {

double ThreadCpuSeconds(std::thread& thread) {
  clockid_t clock;
  if (pthread_getcpuclockid(thread.native_handle(), &clock) != 0) return -1.0;
  timespec ts{};
  if (clock_gettime(clock, &ts) != 0) return -1.0;
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

struct Source {
  const char* name;
  ostrel::platform::DataFlow flow;
  ostrel::AudioRing ring;
  uint64_t lines = 0;
  std::thread thread;
};

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
  if (!(seconds > 0.0)) {
    std::fprintf(stderr, "usage: %s [seconds > 0]\n", argv[0]);
    return 2;
  }
  ostrel::sim::ResetSimAudio();
  // A short replay window, so that eviction (and the reuse of freed chunk
  // memory) is part of the measured stretch as in a long capture.
  ostrel::ReplayWindow window(4.0);
  window.MarkStart();
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> logLines{0};
  ostrel::LogSink sink = [&](const std::wstring&) { logLines.fetch_add(1); };

  Source sources[2] = {{"desktop-audio", ostrel::platform::DataFlow::Render, {}, 0, {}},
                       {"mic-audio", ostrel::platform::DataFlow::Capture, {}, 0, {}}};
  for (Source& source : sources) {
    std::string tag(source.name);
    source.thread = std::thread([&, tag] {
      ostrel::RunAudioCapture(source.flow, source.ring, window, stop, std::wstring(tag.begin(), tag.end()), sink,
                              L"");
    });
  }

  // What the 10 ms idle poll alone costs on this machine: a thread that
  // does nothing but the same sleeps.
  std::thread idle([&] {
    while (!stop.load()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  });

  // Skip start-up, then measure a steady stretch.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  double cpuStart[2];
  for (int i = 0; i < 2; ++i) cpuStart[i] = ThreadCpuSeconds(sources[i].thread);
  const double idleStart = ThreadCpuSeconds(idle);
  const auto wallStart = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  double cpuEnd[2];
  for (int i = 0; i < 2; ++i) cpuEnd[i] = ThreadCpuSeconds(sources[i].thread);
  const double idleCpu = ThreadCpuSeconds(idle) - idleStart;
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();

  stop.store(true);
  for (Source& source : sources) source.thread.join();
  idle.join();

  std::printf("audio capture threads, %.1f s of 48 kHz stereo float per source\n", wall);
  for (int i = 0; i < 2; ++i) {
    const double cpu = cpuEnd[i] - cpuStart[i];
    std::printf("  %-14s cpu %.4f s  = %.3f %% of one core  chunks %zu  bytes %llu\n", sources[i].name, cpu,
                100.0 * cpu / wall, sources[i].ring.Size(),
                static_cast<unsigned long long>(sources[i].ring.TotalBytes()));
  }
  std::printf("  %-14s cpu %.4f s  = %.3f %% of one core  (a bare 10 ms sleep loop, for reference)\n",
              "idle-poll", idleCpu, 100.0 * idleCpu / wall);
  std::printf("  log lines: %llu (2 expected: one device line per thread)\n",
              static_cast<unsigned long long>(logLines.load()));
  return 0;
}
