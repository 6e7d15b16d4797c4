#include "platform/hresult.h"

#include <cstdio>

namespace ostrel {
namespace {

std::string NarrowDescription(Hresult code) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "HRESULT 0x%08X", static_cast<unsigned>(code));
  return buffer;
}

}  // namespace

HresultError::HresultError(Hresult code) : std::runtime_error(NarrowDescription(code)), code_(code) {}

}  // namespace ostrel
