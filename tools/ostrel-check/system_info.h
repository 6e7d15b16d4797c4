// What the report says about the machine: Windows build (or Wine) and GPUs.
#pragma once

#include <string>
#include <vector>

namespace ostrel::check {

struct SystemInfo {
  std::string os;                 // "Windows 10.0.22631.3007 (23H2)" or "... under Wine 8.0"
  std::vector<std::string> gpus;  // display adapters, the primary one first
};

SystemInfo ReadSystemInfo();

}  // namespace ostrel::check
