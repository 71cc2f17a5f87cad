// Profile-file text: "[section]" lines, "key=value" lines, ';' comments. Lines are kept
// as they stand, line ends (LF or CR LF) included, except the one line a write replaces.
#include "platform/common/Profile.h"

#include <ctype.h>
#include <string.h>

namespace {

struct Line {
    size_t begin; /* offset of the first character */
    size_t end;   /* offset of the line end (LF) or of the end of the text */
    size_t next;  /* offset of the next line */
};

bool NextLine(const std::string &text, size_t at, Line *line)
{
    if (at >= text.size())
        return false;
    size_t lf = text.find('\n', at);
    line->begin = at;
    line->end = lf == std::string::npos ? text.size() : lf;
    line->next = lf == std::string::npos ? text.size() : lf + 1;
    return true;
}

/* The line without its CR and the blanks around it. */
std::string Trimmed(const std::string &text, const Line &line)
{
    size_t begin = line.begin, end = line.end;
    while (begin < end && isspace(static_cast<unsigned char>(text[begin])))
        begin++;
    while (end > begin && isspace(static_cast<unsigned char>(text[end - 1])))
        end--;
    return text.substr(begin, end - begin);
}

bool SameName(const std::string &a, const char *b)
{
    if (strlen(b) != a.size())
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string TrimBlanks(const std::string &text)
{
    size_t begin = 0, end = text.size();
    while (begin < end && isspace(static_cast<unsigned char>(text[begin])))
        begin++;
    while (end > begin && isspace(static_cast<unsigned char>(text[end - 1])))
        end--;
    return text.substr(begin, end - begin);
}

/* The section name of a "[name]" line, or false for any other line. */
bool SectionOf(const std::string &trimmed, std::string *name)
{
    if (trimmed.size() < 2 || trimmed[0] != '[')
        return false;
    size_t close = trimmed.find(']');
    if (close == std::string::npos)
        return false;
    *name = TrimBlanks(trimmed.substr(1, close - 1));
    return true;
}

/* The key and value of a "key=value" line, or false for comments and other lines. */
bool EntryOf(const std::string &trimmed, std::string *key, std::string *value)
{
    if (trimmed.empty() || trimmed[0] == ';' || trimmed[0] == '[')
        return false;
    size_t equals = trimmed.find('=');
    if (equals == std::string::npos)
        return false;
    *key = TrimBlanks(trimmed.substr(0, equals));
    *value = TrimBlanks(trimmed.substr(equals + 1));
    // A value in matching quotes is read without them.
    if (value->size() >= 2 && (value->front() == '"' || value->front() == '\'') && value->back() == value->front())
        *value = value->substr(1, value->size() - 2);
    return true;
}

} // namespace

bool ProfileFind(const std::string &text, const char *section, const char *key, std::string *value)
{
    bool inSection = false;
    Line line;
    for (size_t at = 0; NextLine(text, at, &line); at = line.next) {
        std::string trimmed = Trimmed(text, line), name, entryKey, entryValue;
        if (SectionOf(trimmed, &name))
            inSection = SameName(name, section);
        else if (inSection && EntryOf(trimmed, &entryKey, &entryValue) && SameName(entryKey, key)) {
            *value = entryValue;
            return true;
        }
    }
    return false;
}

std::string ProfileSet(const std::string &text, const char *section, const char *key, const char *value)
{
    std::string entry(key);
    entry.append("=").append(value);
    bool inSection = false, sectionFound = false;
    size_t insertAt = std::string::npos; /* after the last entry or header of the section */
    Line line;
    for (size_t at = 0; NextLine(text, at, &line); at = line.next) {
        std::string trimmed = Trimmed(text, line), name, entryKey, entryValue;
        if (SectionOf(trimmed, &name)) {
            inSection = SameName(name, section);
            if (inSection && !sectionFound) {
                sectionFound = true;
                insertAt = line.next;
            }
            continue;
        }
        if (!inSection || trimmed.empty())
            continue;
        if (EntryOf(trimmed, &entryKey, &entryValue) && SameName(entryKey, key)) {
            // Keep the line end as it was (CR LF or LF).
            size_t end = line.end;
            if (end > line.begin && text[end - 1] == '\r')
                end--;
            std::string changed = text.substr(0, line.begin);
            changed.append(entry).append(text, end, std::string::npos);
            return changed;
        }
        insertAt = line.next;
    }
    std::string changed;
    if (sectionFound) {
        // The new line goes after the section's last line (given a line end if it had none).
        changed.append(text, 0, insertAt);
        if (insertAt > 0 && text[insertAt - 1] != '\n')
            changed.append("\n");
        changed.append(entry).append("\n").append(text, insertAt, std::string::npos);
        return changed;
    }
    changed = text;
    if (!changed.empty() && changed.back() != '\n')
        changed.append("\n");
    changed.append("[").append(section).append("]\n").append(entry).append("\n");
    return changed;
}
