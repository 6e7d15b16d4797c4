// UTF-8 for printing the library's wide-character texts.
#pragma once

#include <string>

namespace ostrel::winhost {

std::string Narrow(const std::wstring& text);

}  // namespace ostrel::winhost
