#include "tools/ToolSupport.h"

#include <filesystem>
#include <limits.h>
#include <sstream>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace tools {

#if defined(_WIN32)
// On Windows the DLL is built beside the programs.
std::string DefaultModulePath(const char *argv0)
{
    char self[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    std::error_code error;
    fs::path program = n > 0 && n < sizeof self ? fs::path(self) : fs::absolute(argv0, error);
    return (program.parent_path() / "TRSLNK32.dll").string();
}

namespace {

// mkdtemp: a new directory of the pattern, its six X replaced until the name is free.
char *mkdtemp(char *pattern)
{
    const size_t length = strlen(pattern);
    if (length < 6)
        return nullptr;
    for (unsigned attempt = 0; attempt < 1000; attempt++) {
        snprintf(pattern + length - 6, 7, "%06u", static_cast<unsigned>((GetTickCount() + attempt * 7919u) % 1000000u));
        if (CreateDirectoryA(pattern, nullptr))
            return pattern;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            return nullptr;
    }
    return nullptr;
}

} // namespace
#else
std::string DefaultModulePath(const char *argv0)
{
    std::error_code error;
    fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (error)
        self = fs::absolute(argv0, error);
    return (self.parent_path().parent_path() / "lib" / "TRSLNK32.so").string();
}
#endif

ScratchDirectory::ScratchDirectory(const std::string &prefix) : prefix_(prefix) {}

ScratchDirectory::~ScratchDirectory()
{
    if (path_.empty())
        return;
    std::error_code error;
    if (!previous_.empty())
        fs::current_path(previous_, error);
    fs::remove_all(path_, error);
}

bool ScratchDirectory::Enter(std::string *error)
{
    std::string pattern = (fs::temp_directory_path() / (prefix_ + "-XXXXXX")).string();
    if (!mkdtemp(pattern.data())) {
        *error = "cannot create a temporary directory";
        return false;
    }
    path_ = pattern;
    std::error_code code;
    previous_ = fs::current_path(code).string();
    fs::current_path(path_, code);
    if (code) {
        *error = "cannot enter " + path_ + ": " + code.message();
        return false;
    }
    return true;
}

std::string FormatGateValue(const kiv::GateState &gate)
{
    std::ostringstream out;
    if (gate.spec.type == GATE_TYPE_TEXT)
        out << "'" << gate.current.text << "'";
    else if (gate.current.elements.size() == 3 && gate.spec.address.size() >= 5 &&
             (gate.spec.address.compare(3, 2, "TM") == 0 || gate.spec.address.compare(3, 2, "DT") == 0)) {
        // A station clock block reads as the clock it is: 12:05:07 or 05/12/03.
        const char separator = gate.spec.address[3] == 'T' ? ':' : '/';
        char text[32];
        snprintf(text, sizeof text, "%02d%c%02d%c%02d", static_cast<int>(gate.current.elements[0]), separator,
                 static_cast<int>(gate.current.elements[1]), separator, static_cast<int>(gate.current.elements[2]));
        out << text;
    } else if (!gate.current.elements.empty()) {
        const char *separator = "[";
        for (double element : gate.current.elements) {
            out << separator << element;
            separator = ", ";
        }
        out << "]";
    } else
        out << gate.current.value;
    return out.str();
}

} // namespace tools
