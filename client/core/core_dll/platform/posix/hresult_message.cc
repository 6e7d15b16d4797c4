#include "platform/hresult.h"

#include "log/log.h"

namespace ostrel {

// The texts Windows' FormatMessage gives for the codes this library meets, so
// log lines read the same on every backend.
std::wstring HresultMessage(Hresult code) {
  switch (static_cast<uint32_t>(code)) {
    case 0x00000000: return L"The operation completed successfully.";
    case 0x80004005: return L"Unspecified error";
    case 0x80004001: return L"Not implemented";
    case 0x80004002: return L"No such interface supported";
    case 0x80070057: return L"The parameter is incorrect.";
    case 0x8007000E: return L"Not enough memory resources are available to complete this operation.";
    case 0x80070005: return L"Access is denied.";
    case 0x80070002: return L"The system cannot find the file specified.";
    case 0x80070490: return L"Element not found.";
    case 0x80070003: return L"The system cannot find the path specified.";
    case 0x8007001D: return L"The system cannot write to the specified device.";
    case 0x8007001E: return L"The system cannot read from the specified device.";
    case 0x80070026: return L"Reached the end of the file.";
    case 0x80070070: return L"There is not enough space on the disk.";
    case 0x80010106: return L"Cannot change thread mode after it is set.";
    case 0x887A0002: return L"The object was not found.";
    case 0x887A0004: return L"The specified device interface or feature level is not supported on this system.";
    case 0x887A0005: return L"The GPU device instance has been suspended.";
    case 0x887A0006: return L"The GPU will not respond to more commands.";
    case 0x887A0007: return L"The GPU did not respond to commands and was reset.";
    case 0x887A000A: return L"The GPU was busy at the moment when a call was made to perform an operation.";
    case 0x88890001: return L"The audio client has not been successfully initialized.";
    case 0x88890004: return L"The audio endpoint device has been unplugged, or the audio hardware or associated hardware resources have been reconfigured, disabled, removed, or otherwise made unavailable for use.";
    case 0x88890008: return L"The requested audio format is not supported.";
    case 0x88890010: return L"The audio service is not running.";
    case 0xC00D6D72: return L"The transform needs more input.";
    default: return L"Unknown error 0x" + Hex32(static_cast<uint32_t>(code));
  }
}

}  // namespace ostrel
