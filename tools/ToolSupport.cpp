#include "tools/ToolSupport.h"

#include <filesystem>
#include <limits.h>
#include <sstream>
#include <stdlib.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace tools {

std::string DefaultModulePath(const char *argv0)
{
    std::error_code error;
    fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (error)
        self = fs::absolute(argv0, error);
    return (self.parent_path().parent_path() / "lib" / "TRSLNK32.so").string();
}

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
    else if (!gate.current.elements.empty()) {
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
