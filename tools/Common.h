// What trs-host, trs-sim and trs-demo share and that needs neither the driver nor the
// host runtime: exit codes, the time-stamped log, checks of the files and the port that
// a field engineer hands them, and the history chart.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tools {

// Exit codes of the tools (documented in their --help and in docs/TROUBLESHOOTING.md).
enum ExitCode {
    kExitOk = 0,        // done; also after Ctrl-C or SIGTERM
    kExitFailed = 1,    // a job failed: a read, write, log-on, call or file write
    kExitUsage = 2,     // wrong options or a faulty configuration file
    kExitPort = 3,      // the serial port cannot be used (missing, not a terminal, permission, busy)
    kExitDriver = 4     // the driver cannot be loaded or its instance does not start
};

// "2026-05-01 12:00:00.123" (local time) for now, or "2026-05-01 12:00:00" for a time.
std::string NowStamp();
std::string TimeText(std::time_t t);
std::string ClockText(std::time_t t); // "12:00:00"

// The meaning of a driver or host result, e.g. "2 link failure".
std::string ResultText(uint32_t result);

// Text as a JSON string literal, quotes included.
std::string JsonString(const std::string &text);

// A whole string as a finite number; nothing for "abc", "", "1x", "nan", "inf".
std::optional<double> ParseNumber(const std::string &text);
// A whole string as an unsigned decimal within [low, high].
std::optional<unsigned long> ParseUnsigned(const std::string &text, unsigned long low, unsigned long high);

// Log lines with a time stamp each, to standard error or a file, under a threshold.
// Levels are the driver's: 0 per-item progress, 8, 32 errors and notices, 64 trace.
// The tools' own lines are written at level 32 (errors) or 33 (information).
class Log {
public:
    static Log &Get();
    bool Open(const std::string &path, std::string *error); // "" = standard error
    void SetThreshold(int level) { threshold_ = level; }
    int Threshold() const { return threshold_; }
    // Keep lines back (the live table shows them under it) instead of writing them.
    void Hold(bool on);
    std::vector<std::string> Recent(size_t count);
    void Write(int level, const std::string &source, const std::string &text);
    void Error(const std::string &text) { Write(32, program_, text); }
    void Info(const std::string &text) { Write(33, program_, text); }
    void SetProgram(const std::string &program) { program_ = program; }
    const std::string &Program() const { return program_; }
    bool ToTerminal() const;

private:
    std::mutex mutex_;
    int threshold_ = 33;
    bool hold_ = false;
    std::FILE *file_ = nullptr;
    std::vector<std::string> recent_;
    std::string program_ = "trs";
};

// One problem of a configuration file: where it is and what is wrong.
struct ConfigProblem {
    std::string file;
    unsigned line = 0; // 0: the file as a whole
    std::string text;
    bool warning = false; // the driver goes on and nothing is lost
    std::string Format() const; // "file:line: text"
};

// A station line of the initialisation file as the driver takes it.
struct DeclaredStation {
    unsigned number = 0;
    std::string name; // as written, blank and all
    bool secondary = false;
    unsigned line = 0;
};

// The initialisation file that the driver would read for drv number `drv` in `folder`,
// checked line by line with the driver's own rules: every line that the driver would
// log as illegal, out of range or refused is a problem.
struct InitCheck {
    std::string folder;
    std::string file;  // the name the driver opens, "" when none of the three exists
    std::vector<std::string> tried;
    std::vector<ConfigProblem> problems;
    std::map<unsigned, DeclaredStation> stations;
    bool modem = false;
    unsigned comTimeoutSeconds = 0; // as written; 0 = the mode's default
    bool HasErrors() const;
};
InitCheck CheckInitFile(const std::string &folder, unsigned drv);

// Checks a serial port before the driver opens it. Returns "" or what is wrong, naming
// the device: missing, not a character device, not a terminal, permission, busy.
std::string CheckPort(const std::string &portName, std::string *device);
// The device path that the driver opens for a port name ("ttyS0" is /dev/ttyS0).
std::string PortDevice(const std::string &portName);
// Speeds the port field can carry (16 bits) and termios knows.
bool KnownBaudRate(unsigned baud);

// Where a gate, a station or a key sits in a TOML file: the line of the n-th table of an
// array of tables ("gate", 1-based), and of one of its keys (0 when absent).
unsigned TomlLine(const std::string &path, const std::string &array, size_t index, const std::string &key = "");

// A history chart: one polyline per series, time on x, values on y, and a legend.
struct ChartSeries {
    std::string name;
    std::vector<std::pair<std::time_t, double>> points;
};
bool WriteHistorySvg(const std::string &path, const std::string &title, std::vector<ChartSeries> series,
                     std::string *error);

} // namespace tools
