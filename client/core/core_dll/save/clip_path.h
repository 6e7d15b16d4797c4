// Where a clip goes: the folder, a separator when needed, and a file name
// from the local time that never names an existing file.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

#include "platform/system.h"

namespace ostrel {

// The separator added between the folder and the file name. Windows takes
// "\" (and "/"); on POSIX "\" is an ordinary file-name character, so the
// platform's own "/" is added there instead.
wchar_t PreferredPathSeparator();

// folder + separator (only when the folder is not empty and does not already
// end in "\" or "/") + name. An empty folder yields the bare name.
std::wstring JoinClipPath(const std::wstring& folder, const std::wstring& name);

// "clip_%04u-%02u-%02u_%02u-%02u-%02u.mp4"; from the second candidate of
// the same second on, "_2", "_3", ... before ".mp4".
std::wstring ClipFileName(const platform::LocalTime& time, unsigned candidate);

// The first candidate path in `folder` for which `exists` is false. Two
// saves within one second thus get distinct files; an existing clip is
// never replaced. Gives up after many candidates and returns the last one.
std::wstring UniqueClipPath(const std::wstring& folder, const platform::LocalTime& time,
                            const std::function<bool(const std::wstring& path)>& exists);

// False when the text holds a surrogate that pairs with nothing (UTF-16) or
// any surrogate or a value past U+10FFFF (UTF-32): such a name cannot be
// handed to the file system unchanged, so a clip saved under it would land
// under another name than the one returned.
bool IsRepresentablePath(const std::wstring& path);

// Wide text <-> std::filesystem::path without the process locale: UTF-16
// natively on Windows, UTF-8 on POSIX (wchar_t holds code points there).
// FromFilesystemPath throws std::system_error for bytes that are not UTF-8.
std::filesystem::path ToFilesystemPath(const std::wstring& path);
std::wstring FromFilesystemPath(const std::filesystem::path& path);

// The folder as an absolute path (a relative one is taken from the working
// folder), so the path a save returns is a full one.
std::wstring AbsoluteFolder(const std::wstring& folder);

// Whether something exists at that path, asked through FFmpeg's own file
// protocol so the answer matches the name avio_open2 will open.
bool ClipPathExists(const std::wstring& path);

}  // namespace ostrel
