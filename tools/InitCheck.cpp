// The initialisation file checked before the driver reads it. The driver logs a faulty
// line and goes on without it, so an instance can start with a station missing or the
// wrong time-out; the host tool refuses to start instead, naming the file and the line.
// The rules are the driver's (docs/CONFIG.md): the first form that matches decides a
// line, lines are read in pieces of 255 characters, CR LF reads as LF.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "tools/Common.h"

namespace tools {

namespace {

bool IsWhite(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool StartsWith(const std::string &text, const char *prefix)
{
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

std::string Upper(std::string text)
{
    for (char &c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

// An unsigned decimal after white space and an optional '+'; saturates at 2^32 - 1.
bool ScanUnsigned(const std::string &text, size_t &at, unsigned maxDigits, uint32_t &value)
{
    size_t p = at;
    while (p < text.size() && IsWhite(text[p]))
        p++;
    if (p < text.size() && text[p] == '+')
        p++;
    if (p >= text.size() || !std::isdigit(static_cast<unsigned char>(text[p])))
        return false;
    uint64_t number = 0;
    for (unsigned digits = 0; p < text.size() && std::isdigit(static_cast<unsigned char>(text[p])) &&
                              (maxDigits == 0 || digits < maxDigits);
         digits++, p++)
        number = std::min<uint64_t>(number * 10 + static_cast<unsigned>(text[p] - '0'), uint64_t{UINT32_MAX} + 1);
    value = number > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(number);
    at = p;
    return true;
}

// The driver's pattern matcher: a blank skips white space, %s takes a word, %u a number.
bool Match(const std::string &line, const char *pattern, std::string &word, uint32_t *numbers)
{
    size_t p = 0;
    for (const char *f = pattern; *f; f++) {
        if (*f == ' ') {
            while (p < line.size() && IsWhite(line[p]))
                p++;
        } else if (f[0] == '%' && f[1] == 's') {
            f++;
            while (p < line.size() && IsWhite(line[p]))
                p++;
            const size_t start = p;
            while (p < line.size() && !IsWhite(line[p]))
                p++;
            word = line.substr(start, p - start);
            if (word.empty())
                return false;
        } else if (f[0] == '%' && f[1] == 'u') {
            f++;
            if (!ScanUnsigned(line, p, 0, *numbers++))
                return false;
        } else if (p < line.size() && line[p] == *f) {
            p++;
        } else {
            return false;
        }
    }
    return true;
}

struct Checker {
    InitCheck &check;
    unsigned line = 0;

    void Problem(const std::string &text, bool warning = false)
    {
        check.problems.push_back({check.file, line, text, warning});
    }

    void Station(const std::string &text, uint32_t number)
    {
        const std::string where = "station " + std::to_string(number) + ": ";
        if (number > 255)
            return Problem(where + "the station number must be 0 to 255");
        const size_t nameStart = text.find('\'');
        const size_t nameEnd = nameStart == std::string::npos ? nameStart : text.find('\'', nameStart + 1);
        size_t p = nameEnd == std::string::npos ? nameEnd : nameEnd + 1;
        while (p != std::string::npos && p < text.size() && IsWhite(text[p]))
            p++;
        bool good = p != std::string::npos && p < text.size() && text[p] == ',';
        if (good) {
            p++;
            while (p < text.size() && IsWhite(text[p]))
                p++;
            good = p < text.size() && text[p] == '\'';
        }
        size_t codeEnd = good ? text.find('\'', p + 1) : 0;
        if (good && codeEnd == std::string::npos)
            codeEnd = text.size();
        if (!good || codeEnd == p + 1)
            return Problem(where + "write it as nnn = 'name' , 'access code' (the access code may not be empty)");
        const std::string name = text.substr(nameStart + 1, nameEnd - nameStart - 1);
        const std::string code = text.substr(p + 1, codeEnd - p - 1);
        if (name.size() > 64)
            return Problem(where + "the name has " + std::to_string(name.size()) + " characters, at most 64 are allowed");
        if (code.size() > 8)
            return Problem(where + "the access code has " + std::to_string(code.size()) +
                           " characters, at most 8 are allowed");
        if (auto it = check.stations.find(number); it != check.stations.end())
            return Problem(where + "already declared on line " + std::to_string(it->second.line) +
                           " (the first declaration stays)");
        check.stations[number] = {number, name, name.find(' ') != std::string::npos, line};
    }

    void Line(const std::string &text)
    {
        std::string word;
        uint32_t numbers[3] = {0, 0, 0};
        size_t at = 0;
        if (Match(text, " MODEM = %s", word, numbers)) {
            word = Upper(word);
            check.modem = StartsWith(word, "YES");
            if (!check.modem && !StartsWith(word, "NO"))
                Problem("MODEM must be YES or NO, not '" + word + "' (the driver takes NO)");
        } else if (Match(text, " COM_TIMEOUT = %u", word, numbers)) {
            check.comTimeoutSeconds = numbers[0];
            if (numbers[0] > 20)
                Problem("COM_TIMEOUT = " + std::to_string(numbers[0]) +
                            " s is above 20 s: every failed reply costs that long", true);
        } else if (StartsWith(text, "CS_POPUP") || StartsWith(text, "JL_POPUP") || StartsWith(text, "HS_POPUP") ||
                   StartsWith(text, "READ_STATUS") || StartsWith(text, "NO_RECORD") ||
                   StartsWith(text, "STORE_LAST_EVENT")) {
            // switches: whatever follows is ignored
        } else if (Match(text, " IFG = %u", word, numbers)) {
        } else if (Match(text, "ONLINE_SAMPLE = %s", word, numbers)) {
            const std::string upper = Upper(word);
            if (!StartsWith(upper, "ALWAYS") && !StartsWith(upper, "MONITOR"))
                Problem("ONLINE_SAMPLE must be ALWAYS or MONITOR, not '" + word + "'");
        } else if (Match(text, "ALERTS = %u , %u , %u", word, numbers)) {
            if (numbers[0] > 5)
                Problem("ALERTS: the class must be 0 to 5, not " + std::to_string(numbers[0]) + " (the line is ignored)");
            else if (numbers[1] > 50000)
                Problem("ALERTS: the severity must be 0 to 50000 (the line is ignored)");
            else if (numbers[2] > 50000)
                Problem("ALERTS: the zone must be 0 to 50000 (the line is ignored)");
        } else if (Match(text, "CLOCK_SYNC = %s", word, numbers)) {
            word = Upper(word);
            if (!StartsWith(word, "NEVER") && !StartsWith(word, "TIMESTAMP") && !StartsWith(word, "MODEM"))
                Problem("CLOCK_SYNC must be NEVER, TIMESTAMP or MODEM, not '" + word + "'");
        } else if (Match(text, " NO_COM_ERROR = %s", word, numbers)) {
            word = Upper(word);
            if (!StartsWith(word, "YES") && !StartsWith(word, "NO"))
                Problem("NO_COM_ERROR must be YES or NO, not '" + word + "'");
        } else if (ScanUnsigned(text, at, 3, numbers[0])) {
            Station(text, numbers[0]);
        } else if (text.empty() || StartsWith(text, "//")) {
        } else {
            std::string hint;
            if (text.find_first_not_of(" \t\v\f\r\n") == std::string::npos)
                hint = " (blanks only: make the line empty)";
            else if (IsWhite(text[0]))
                hint = " (keys such as CS_POPUP, ALERTS and CLOCK_SYNC must start in column 1)";
            else if (text.find('=') == std::string::npos)
                hint = " (not a known key; comments start with //)";
            else
                hint = " (unknown key, or a value that is not a number where one is needed)";
            Problem("illegal line '" + text + "'" + hint);
        }
    }
};

} // namespace

InitCheck CheckInitFile(const std::string &folder, unsigned drv)
{
    InitCheck check;
    check.folder = folder;
    char names[3][32];
    std::snprintf(names[0], sizeof names[0], "TRSLNK%02u.INT", drv);
    std::snprintf(names[1], sizeof names[1], "TRSLNK%01u.INT", drv);
    std::snprintf(names[2], sizeof names[2], "TRSLNK.INT");
    std::ifstream in;
    for (const char *name : names) {
        if (!check.tried.empty() && check.tried.back() == name)
            continue;
        check.tried.push_back(name);
        const std::string path = folder.empty() ? name : folder + "/" + name;
        in.open(path, std::ios::binary);
        if (in) {
            check.file = path;
            break;
        }
        in.clear();
    }
    if (check.file.empty())
        return check;

    Checker checker{check};
    std::string piece;
    int c;
    auto handle = [&] {
        checker.line++;
        if (!piece.empty() && (piece.back() == '\n' || piece.back() == '\r'))
            piece.pop_back();
        checker.Line(piece);
        piece.clear();
    };
    while ((c = in.get()) != EOF) {
        if (c == '\r' && in.peek() == '\n')
            c = in.get();
        piece += static_cast<char>(c);
        if (c == '\n' || piece.size() == 255)
            handle();
    }
    if (!piece.empty())
        handle();
    return check;
}

} // namespace tools
