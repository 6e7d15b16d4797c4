// Sanitizer builds run several times slower: frame timing and rates are
// judged in optimised builds only.
#pragma once

namespace ostrel::testing {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kInstrumentedBuild = true;
#else
constexpr bool kInstrumentedBuild = false;
#endif

}  // namespace ostrel::testing
