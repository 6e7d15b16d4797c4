#include "platform/media.h"

#include <exception>

#include "platform/platform.h"

namespace ostrel::platform {

ffmpeg::BufferRefPtr HardwareEncoderDeviceOrNull(const std::string& encoderName) {
  try {
    return GetPlatform().media.HardwareEncoderDevice(encoderName);
  } catch (const std::exception&) {
    return nullptr;
  }
}

}  // namespace ostrel::platform
