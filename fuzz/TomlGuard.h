// Known faults of the TOML library (toml++ 3.3.0, as installed), which the station file
// loader and the dial directory loader hand their text to as it stands:
// - a table header whose first key character is neither a bare-key character nor a
//   quote ("[&", "[\0", "[]") trips an assertion in its parser;
// - a non-ASCII character outside strings and comments ("é = 1", a stray "é" on a line
//   of its own) reaches __builtin_unreachable in its whitespace table.
// Both are undefined behaviour where assertions are off (NDEBUG). The fuzz build routes
// the library's assertions here (TOML_ASSERT; CMakeLists.txt includes this file first): a failed one is noted
// and the parse goes on as in a build without assertions, so that what follows is still
// checked by the sanitizers; the target then leaves the input's other checks out. The
// unreachable point cannot be routed: non-ASCII bytes are left out wherever they are.
// See tests/reliability/KnownFaultsTest.cpp.
#pragma once

#include <string>

namespace fuzz {

inline bool &TomlAssertionFailed()
{
    static bool failed = false;
    return failed;
}

// True when the text holds a byte that could reach the unreachable point.
inline bool TomlUnreachableFault(const std::string &text)
{
    for (const char c : text)
        if (static_cast<unsigned char>(c) >= 0x80)
            return true;
    return false;
}

} // namespace fuzz

inline void FuzzTomlAssertion()
{
    fuzz::TomlAssertionFailed() = true;
}

#define TOML_ASSERT(expr) ((expr) ? (void)0 : FuzzTomlAssertion())
