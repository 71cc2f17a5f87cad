// Small pieces the command-line tools share.
#pragma once

#include <string>

#include "host/Host.h"

namespace tools {

// TRSLNK32.so next to the tool's build tree: <dir of the program>/../lib/TRSLNK32.so
// (on Windows TRSLNK32.dll beside the program).
std::string DefaultModulePath(const char *argv0);

// A private temporary directory that the tool works in and removes at the end.
class ScratchDirectory {
public:
    explicit ScratchDirectory(const std::string &prefix);
    ~ScratchDirectory();
    bool Enter(std::string *error); // creates it and makes it the current directory
    const std::string &Path() const { return path_; }

private:
    std::string prefix_, path_, previous_;
};

// A gate's current value as an operator reads it.
std::string FormatGateValue(const kiv::GateState &gate);

} // namespace tools
