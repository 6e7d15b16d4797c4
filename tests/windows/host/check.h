// Minimal checks for the Windows test host: each failed check prints where
// and what, and the run ends with a "N passed, N failed" line.
#pragma once

#include <string>

#include "text.h"

namespace ostrel::winhost {

// Records one check; prints a line on failure (and with verbose on success).
bool Check(bool ok, const char* what, const char* file, int line, const std::string& detail = {});
// Prints the totals and returns the process exit code.
int Finish();
// Starts a named group of checks (printed as a heading).
void Group(const char* name);

}  // namespace ostrel::winhost

#define CHECK(cond) ::ostrel::winhost::Check((cond), #cond, __FILE__, __LINE__)
#define CHECK_MSG(cond, detail) ::ostrel::winhost::Check((cond), #cond, __FILE__, __LINE__, (detail))
// Evaluates each side once.
#define CHECK_EQ(a, b)                                                                              \
  [&](const auto& actual_, const auto& expected_) {                                                 \
    return ::ostrel::winhost::Check(actual_ == expected_, #a " == " #b, __FILE__, __LINE__,         \
                                    "got " + std::to_string(actual_) + ", expected " +              \
                                        std::to_string(expected_));                                 \
  }((a), (b))
