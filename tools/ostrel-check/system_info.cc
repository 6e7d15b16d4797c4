#include "system_info.h"

#include <windows.h>

#include <algorithm>

#include "text.h"

namespace ostrel::check {
namespace {

using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOW*);
using WineGetVersionFunction = const char*(CDECL*)();

// A value of HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion, read only.
std::wstring CurrentVersionString(const wchar_t* name) {
  wchar_t value[128] = L"";
  DWORD size = sizeof value;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", name, RRF_RT_REG_SZ,
                   nullptr, value, &size) != ERROR_SUCCESS) {
    return {};
  }
  return value;
}

DWORD CurrentVersionNumber(const wchar_t* name) {
  DWORD value = 0;
  DWORD size = sizeof value;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", name, RRF_RT_REG_DWORD,
                   nullptr, &value, &size) != ERROR_SUCCESS) {
    return 0;
  }
  return value;
}

}  // namespace

SystemInfo ReadSystemInfo() {
  SystemInfo info;
  // GetVersionEx lies to programs without a manifest; ntdll does not.
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof version;
  auto rtlGetVersion =
      reinterpret_cast<RtlGetVersionFunction>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
  if (rtlGetVersion != nullptr) rtlGetVersion(&version);
  std::string& os = info.os;
  os.append("Windows ").append(std::to_string(version.dwMajorVersion)).append(".");
  os.append(std::to_string(version.dwMinorVersion)).append(".").append(std::to_string(version.dwBuildNumber));
  if (const DWORD revision = CurrentVersionNumber(L"UBR"); revision != 0) os.append(".").append(std::to_string(revision));
  const std::wstring display = CurrentVersionString(L"DisplayVersion");
  if (!display.empty()) os.append(" (").append(winhost::Narrow(display)).append(")");
  const std::wstring product = CurrentVersionString(L"ProductName");
  if (!product.empty()) os.append(", ").append(winhost::Narrow(product));
  auto wineGetVersion =
      reinterpret_cast<WineGetVersionFunction>(reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
  if (wineGetVersion != nullptr) os.append(" under Wine ").append(wineGetVersion());

  DISPLAY_DEVICEW device{};
  device.cb = sizeof device;
  for (DWORD i = 0; EnumDisplayDevicesW(nullptr, i, &device, 0); ++i) {
    std::string name = winhost::Narrow(device.DeviceString);
    const bool primary = (device.StateFlags & DISPLAY_DEVICE_PRIMARY_DEVICE) != 0;
    if (std::find(info.gpus.begin(), info.gpus.end(), name) == info.gpus.end()) {
      if (primary) info.gpus.insert(info.gpus.begin(), name);
      else info.gpus.push_back(name);
    }
    device = DISPLAY_DEVICEW{};
    device.cb = sizeof device;
  }
  return info;
}

}  // namespace ostrel::check
