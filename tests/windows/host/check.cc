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

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return {};
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) {
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
  }
  return out;
}

}  // namespace ostrel::winhost
