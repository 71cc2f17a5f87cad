// TOML reading for the stand-ins, the simulator and the tools (the driver reads no TOML).
// Include this instead of <toml++/toml.h> everywhere, so that every translation unit sees
// the library with the same assertion hook.
//
// toml++ 3.3 (as packaged) does not report every malformed text: on some it fails an
// internal assertion, which a build with NDEBUG turns into an assumption (undefined
// behaviour), and a non-ASCII byte outside strings and comments reaches an unreachable
// point. A dial directory or station file is typed by hand, so its text must never get
// there: non-ASCII bytes outside strings and comments and table headers that begin with
// neither a key character nor a quote are refused first, and an assertion that still fails
// is noted and turned into a parse error.
#pragma once

#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

namespace tomltext {

inline thread_local bool assertionFailed = false;

inline void NoteFailedAssertion()
{
    assertionFailed = true;
}

} // namespace tomltext

#pragma push_macro("NDEBUG")
#undef NDEBUG
#undef TOML_ASSERT
#define TOML_ASSERT(expr) ((expr) ? (void)0 : tomltext::NoteFailedAssertion())
#include <toml++/toml.h>
#pragma pop_macro("NDEBUG")

namespace tomltext {

struct Refusal {
    std::string what;
    uint32_t line = 0; // 1-based; 0 when the text is fine
};

inline bool BareKeyCharacter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

// What the library must not see, with its line. The library reads a bare key or value up to
// the next blank, comma, bracket or '#', whatever stands in it: a quote or bracket there
// starts no string or array for it, so they are refused, lest a string be skipped here
// that the library reads as part of a bare value.
inline Refusal Check(std::string_view text)
{
    uint32_t line = 1;
    std::string open;   // the arrays ('[') and inline tables ('{') the text is in
    bool key = true;    // a key is expected or being read, not a value
    bool token = false; // inside a bare key or value
    size_t i = 0;
    // Skips a string; false when the library would test a non-ASCII character in it for
    // white space (after a backslash, and after a backslash and blanks in a multi-line
    // string, where such a test reaches an unreachable point for some characters).
    auto skipString = [&](std::string_view quote, bool escapes) {
        auto nonAscii = [&](size_t at) { return at < text.size() && static_cast<unsigned char>(text[at]) >= 0x80; };
        auto blank = [&](size_t at) { return at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\r'); };
        i += quote.size();
        while (i < text.size() && text.substr(i, quote.size()) != quote) {
            if (text[i] == '\n')
                line++;
            if (escapes && text[i] == '\\' && i + 1 < text.size()) {
                if (nonAscii(i + 1))
                    return false;
                if (quote.size() == 3) {
                    size_t next = i + 1;
                    while (blank(next))
                        next++;
                    if (nonAscii(next)) // skipped as white space up to it
                        return false;
                    if (next < text.size() && text[next] == '\n') { // a line-ending backslash
                        while (blank(next) || (next < text.size() && text[next] == '\n'))
                            line += text[next++] == '\n' ? 1 : 0;
                        if (nonAscii(next))
                            return false;
                        i = next;
                        continue;
                    }
                }
                if (text[i + 1] == '\n')
                    line++;
                i++;
            }
            i++;
        }
        i += quote.size();
        return true;
    };
    while (i < text.size()) {
        const char c = text[i];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (c == '\n') {
                line++;
                key = key || open.empty();
            }
            token = false;
            i++;
            continue;
        }
        if (static_cast<unsigned char>(c) >= 0x80)
            return {"a non-ASCII character outside a string", line};
        if (token) {
            const bool ends = c == ',' || c == ']' || c == '}' || c == '#' || (key && (c == '.' || c == '='));
            if (!ends) {
                if (c == '"' || c == '\'' || c == '[' || c == '{')
                    return {"a quote or bracket inside a bare key or value", line};
                i++;
                continue;
            }
            token = false;
        }
        switch (c) {
        case '#':
            while (i < text.size() && text[i] != '\n')
                i++;
            break;
        case '"':
            if (!skipString(text.substr(i, 3) == "\"\"\"" ? "\"\"\"" : "\"", true))
                return {"a non-ASCII character after a backslash", line};
            break;
        case '\'':
            (void)skipString(text.substr(i, 3) == "'''" ? "'''" : "'", false);
            break;
        case '[':
            if (open.empty() && key) { // a table header
                i += text.substr(i, 2) == "[[" ? 2 : 1;
                while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
                    i++;
                if (i >= text.size() || !(BareKeyCharacter(text[i]) || text[i] == '"' || text[i] == '\''))
                    return {"a table header without a name", line};
                break;
            }
            open.push_back('[');
            key = false;
            i++;
            break;
        case '{':
            open.push_back('{');
            key = true;
            i++;
            break;
        case ',':
            key = !open.empty() && open.back() == '{';
            i++;
            break;
        case ']':
        case '}':
            if (!open.empty())
                open.pop_back();
            key = false;
            i++;
            break;
        case '=':
            key = false;
            i++;
            break;
        case '.':
            i++;
            break;
        default:
            token = true;
            i++;
            break;
        }
    }
    return {};
}

// toml::parse with the refusals above and the noted assertions as parse errors.
inline toml::table Parse(std::string_view text, std::string_view source = {})
{
    const Refusal refusal = Check(text);
    if (refusal.line != 0) {
        const toml::source_position at{refusal.line, 1};
        throw toml::parse_error(refusal.what.c_str(), toml::source_region{at, at, nullptr});
    }
    assertionFailed = false;
    toml::table table = toml::parse(text, source);
    if (assertionFailed)
        throw toml::parse_error("malformed text", toml::source_region{});
    return table;
}

// The same for a file, read whole first.
inline toml::table ParseFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw toml::parse_error("File could not be opened for reading", toml::source_region{});
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    return Parse(text, path);
}

} // namespace tomltext
