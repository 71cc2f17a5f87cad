#include "tools/Common.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "platform/common/TomlText.h"

namespace tools {

std::string TimeText(std::time_t t)
{
    std::tm local{};
    localtime_r(&t, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

std::string ClockText(std::time_t t)
{
    std::tm local{};
    localtime_r(&t, &local);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

std::string NowStamp()
{
    const auto now = std::chrono::system_clock::now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    char text[48];
    std::snprintf(text, sizeof text, "%s.%03d", TimeText(std::chrono::system_clock::to_time_t(now)).c_str(),
                  static_cast<int>(ms));
    return text;
}

std::string ResultText(uint32_t result)
{
    const char *meaning = "unknown result";
    switch (result) {
    case 0: meaning = "ok"; break;
    case 1: meaning = "failed: refused, or no or a wrong reply"; break;
    case 2: meaning = "link failure: port, modem line or log-on"; break;
    case 3: meaning = "already running for this station"; break;
    case 1000: meaning = "no driver loaded"; break;
    case 1001: meaning = "no driver instance running"; break;
    case 1002: meaning = "no such gate"; break;
    case 1003: meaning = "gate not bound: the driver refused its address"; break;
    case 1004: meaning = "wrong gate type for this value"; break;
    default: break;
    }
    return std::to_string(result) + " " + meaning;
}

std::string JsonString(const std::string &text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::optional<double> ParseNumber(const std::string &text)
{
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])))
        return std::nullopt;
    errno = 0;
    char *end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || errno == ERANGE || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<unsigned long> ParseUnsigned(const std::string &text, unsigned long low, unsigned long high)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const unsigned long value = std::stoul(text);
    if (value < low || value > high)
        return std::nullopt;
    return value;
}

// ---- log ----

Log &Log::Get()
{
    static Log *log = new Log; // never destroyed: driver threads may log while the process ends
    return *log;
}

bool Log::Open(const std::string &path, std::string *error)
{
    std::lock_guard lock(mutex_);
    if (path.empty())
        return true;
    std::FILE *file = std::fopen(path.c_str(), "a");
    if (!file) {
        *error = path + ": cannot open the log file: " + std::strerror(errno);
        return false;
    }
    file_ = file;
    return true;
}

bool Log::ToTerminal() const
{
    return file_ == nullptr && isatty(STDERR_FILENO);
}

void Log::Hold(bool on)
{
    std::lock_guard lock(mutex_);
    hold_ = on;
}

std::vector<std::string> Log::Recent(size_t count)
{
    std::lock_guard lock(mutex_);
    const size_t from = recent_.size() > count ? recent_.size() - count : 0;
    return {recent_.begin() + static_cast<long>(from), recent_.end()};
}

void Log::Write(int level, const std::string &source, const std::string &text)
{
    if (level > threshold_)
        return;
    std::string line = NowStamp();
    line.append(" ");
    if (source.empty())
        line.append("[").append(std::to_string(level)).append("] "); // a driver line: its level
    else
        line.append(source).append(": ");
    line.append(text);
    std::lock_guard lock(mutex_);
    if (hold_ && file_ == nullptr) {
        recent_.push_back(line);
        if (recent_.size() > 200)
            recent_.erase(recent_.begin(), recent_.begin() + 100);
        return;
    }
    std::FILE *out = file_ ? file_ : stderr;
    std::fprintf(out, "%s\n", line.c_str());
    std::fflush(out);
}

// ---- configuration problems ----

std::string ConfigProblem::Format() const
{
    std::string where = file;
    if (line > 0)
        where.append(":").append(std::to_string(line));
    where.append(": ").append(warning ? "warning: " : "").append(text);
    return where;
}

bool InitCheck::HasErrors() const
{
    if (file.empty())
        return true;
    for (const ConfigProblem &p : problems)
        if (!p.warning)
            return true;
    return false;
}

unsigned TomlLine(const std::string &path, const std::string &array, size_t index, const std::string &key)
{
    try {
        toml::table root = tomltext::ParseFile(path);
        const toml::array *list = root[array].as_array();
        if (!list || index == 0 || index > list->size())
            return 0;
        const toml::node &item = *list->get(index - 1);
        if (!key.empty())
            if (const toml::table *table = item.as_table())
                if (const toml::node *node = table->get(key))
                    return node->source().begin.line;
        return item.source().begin.line;
    } catch (const toml::parse_error &) {
        return 0;
    }
}

// ---- serial port ----

std::string PortDevice(const std::string &portName)
{
    if (portName == "NUL")
        return "/dev/null";
    return portName.empty() || portName[0] == '/' ? portName : "/dev/" + portName;
}

bool KnownBaudRate(unsigned baud)
{
    for (unsigned known : {50u, 75u, 110u, 134u, 150u, 200u, 300u, 600u, 1200u, 1800u, 2400u, 4800u, 9600u, 19200u,
                           38400u, 57600u})
        if (baud == known)
            return true;
    return false;
}

std::string CheckPort(const std::string &portName, std::string *device)
{
    *device = PortDevice(portName);
    if (portName == "NUL")
        return "";
    const std::string &path = *device;
    struct stat info{};
    if (stat(path.c_str(), &info) != 0)
        return path + ": " + (errno == ENOENT ? "no such device (is the adapter plugged in? ls /dev/tty*)"
                                              : std::string(std::strerror(errno)));
    if (!S_ISCHR(info.st_mode))
        return path + ": not a character device (a serial port is one, e.g. /dev/ttyS0)";
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == EACCES || error == EPERM)
            return path + ": permission denied (add the user to the device's group, usually dialout: "
                          "sudo usermod -aG dialout $USER, then log in again)";
        if (error == EBUSY)
            return path + ": busy: another program holds the port exclusively";
        return path + ": cannot open: " + std::strerror(error);
    }
    std::string problem;
    termios settings{};
    if (tcgetattr(fd, &settings) != 0)
        problem = path + ": not a terminal (serial) device";
    else if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        problem = path + ": busy: another program has the port open (fuser -v " + path + " tells which)";
    close(fd); // drops the lock again
    return problem;
}

} // namespace tools
