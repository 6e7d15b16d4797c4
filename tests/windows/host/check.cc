#include "check.h"

#include <windows.h>

#include <cstdio>

namespace ostrel::winhost {
namespace {

int g_passed = 0;
int g_failed = 0;

}  // namespace

bool Check(bool ok, const char* what, const char* file, int line, const std::string& detail) {
  if (ok) {
    ++g_passed;
    return true;
  }
  ++g_failed;
  std::printf("FAILED %s:%d: %s%s%s\n", file, line, what, detail.empty() ? "" : " -- ", detail.c_str());
  std::fflush(stdout);
  return false;
}

void Group(const char* name) {
  std::printf("== %s\n", name);
  std::fflush(stdout);
}

int Finish() {
  std::printf("%d passed, %d failed\n", g_passed, g_failed);
  std::fflush(stdout);
  return g_failed == 0 && g_passed > 0 ? 0 : 1;
}

}  // namespace ostrel::winhost
