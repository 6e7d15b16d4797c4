#include "save/save_seam.h"

namespace ostrel {

int SaveSeam::OpenOutput(const std::string& utf8Path, AVIOContext** pb) {
  return avio_open2(pb, utf8Path.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr);
}

int SaveSeam::CloseOutput(AVIOContext** pb) { return avio_closep(pb); }

SaveSeam& PlainSaveSeam() {
  static SaveSeam plain;
  return plain;
}

}  // namespace ostrel
