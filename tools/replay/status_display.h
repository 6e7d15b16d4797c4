// What ostrel-replay shows: on a terminal, one live status line (or a save's
// progress bar) redrawn in place, with events printed above it; elsewhere,
// the events as plain lines only. Any thread.
#pragma once

#include <mutex>
#include <string>

#include "recorder.h"

namespace ostrel::replay {

class StatusDisplay {
 public:
  explicit StatusDisplay(bool terminal) : terminal_(terminal) {}
  bool Terminal() const { return terminal_; }

  // An event: a line of its own on stdout.
  void Event(const std::string& line);
  // Redraws the live line from the recorder's state (terminal only): the
  // status, or the progress bar while `saving`.
  void Refresh(const Recorder& recorder, const std::string& target, int saves, bool saving);
  // Removes the live line, before the program ends.
  void Clear();

 private:
  void DrawLocked(const std::string& text);

  const bool terminal_;
  std::mutex mutex_;
  std::string live_;
};

// "[#########-----------] writing video 3/8" for a running save.
std::string ProgressBar(const SaveProgress& progress, int width);

}  // namespace ostrel::replay
