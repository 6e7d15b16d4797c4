// Platform status codes. Every backend reports 32-bit HRESULT values with the
// Windows numbers, so a "0x%08X" in a log line means the same thing on every
// platform.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace ostrel {

using Hresult = int32_t;

namespace hr {
constexpr Hresult kOk = 0;
constexpr Hresult kFalse = 1;
constexpr Hresult kFail = static_cast<Hresult>(0x80004005);
constexpr Hresult kNoInterface = static_cast<Hresult>(0x80004002);
constexpr Hresult kNotImplemented = static_cast<Hresult>(0x80004001);  // E_NOTIMPL
constexpr Hresult kInvalidArg = static_cast<Hresult>(0x80070057);
constexpr Hresult kOutOfMemory = static_cast<Hresult>(0x8007000E);
constexpr Hresult kAccessDenied = static_cast<Hresult>(0x80070005);
constexpr Hresult kFileNotFound = static_cast<Hresult>(0x80070002);
constexpr Hresult kPathNotFound = static_cast<Hresult>(0x80070003);   // HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)
constexpr Hresult kWriteFault = static_cast<Hresult>(0x8007001D);     // HRESULT_FROM_WIN32(ERROR_WRITE_FAULT)
constexpr Hresult kReadFault = static_cast<Hresult>(0x8007001E);      // HRESULT_FROM_WIN32(ERROR_READ_FAULT)
constexpr Hresult kHandleEof = static_cast<Hresult>(0x80070026);      // HRESULT_FROM_WIN32(ERROR_HANDLE_EOF)
constexpr Hresult kDiskFull = static_cast<Hresult>(0x80070070);       // HRESULT_FROM_WIN32(ERROR_DISK_FULL)
constexpr Hresult kModuleNotFound = static_cast<Hresult>(0x8007007E);  // HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND)
constexpr Hresult kNotFound = static_cast<Hresult>(0x80070490);  // HRESULT_FROM_WIN32(ERROR_NOT_FOUND)
constexpr Hresult kClassNotRegistered = static_cast<Hresult>(0x80040154);  // REGDB_E_CLASSNOTREG
constexpr Hresult kRpcChangedMode = static_cast<Hresult>(0x80010106);
constexpr Hresult kDxgiNotFound = static_cast<Hresult>(0x887A0002);
constexpr Hresult kDxgiWasStillDrawing = static_cast<Hresult>(0x887A000A);
constexpr Hresult kDxgiDeviceRemoved = static_cast<Hresult>(0x887A0005);
constexpr Hresult kDxgiDeviceHung = static_cast<Hresult>(0x887A0006);
constexpr Hresult kDxgiDeviceReset = static_cast<Hresult>(0x887A0007);
constexpr Hresult kDxgiUnsupported = static_cast<Hresult>(0x887A0004);
constexpr Hresult kAudioDeviceInvalidated = static_cast<Hresult>(0x88890004);
constexpr Hresult kAudioNotInitialized = static_cast<Hresult>(0x88890001);
constexpr Hresult kAudioUnsupportedFormat = static_cast<Hresult>(0x88890008);
constexpr Hresult kMfTransformNeedMoreInput = static_cast<Hresult>(0xC00D6D72);
}  // namespace hr

constexpr bool Succeeded(Hresult code) { return code >= 0; }
constexpr bool Failed(Hresult code) { return code < 0; }

// The platform's message text for a status code (FormatMessage on Windows).
std::wstring HresultMessage(Hresult code);

// A failing platform call raised as an error; the portable form of
// winrt::hresult_error.
class HresultError : public std::runtime_error {
 public:
  explicit HresultError(Hresult code);
  // With what() set to `detail`: what exactly was refused.
  HresultError(Hresult code, const std::string& detail) : std::runtime_error(detail), code_(code) {}
  Hresult code() const noexcept { return code_; }
  std::wstring message() const { return HresultMessage(code_); }

 private:
  Hresult code_;
};

// Raises a failed code as HresultError; passes success codes through.
inline Hresult Check(Hresult code) {
  if (Failed(code)) throw HresultError(code);
  return code;
}

}  // namespace ostrel
