// The initialisation file of an instance: its name rule, keys, station lines and messages.
//
// Every line is untrusted text. Lines are matched with a small scanf-like matcher that
// copies words into bounded buffers and reads numbers without overflow: a number too big
// for 32 bits reads as 4294967295 (so range checks reject it), and a number with a minus
// sign does not match at all (it is not an unsigned number, and wrapping it would turn
// "COM_TIMEOUT = -1" into a time-out of years).
#include <new>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "config/Config.h"
#include "entry/KivRun.h"
#include "platform/Platform.h"

namespace {

const char kBaseName[] = "TRSLNK";

enum {
    LINE_SIZE = 256,      /* one read: at most 255 characters and a NUL */
    WORD_SIZE = LINE_SIZE,
    FILE_NAME_SIZE = 64,
    MAX_STATION_DIGITS = 3,
    MAX_COM_TIMEOUT_SECONDS = 20,
    MAX_ALERT_CLASS = 5,
    MAX_ALERT_LIMIT = 50000
};

struct LineContext {
    DriverInstance *instance;
    uint32_t drvNumber;
    const char *fileName;
    uint16_t lineNumber; /* counts the pieces read; wraps like the 16-bit counter it is */
};

bool IsWhite(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

const char *SkipBlanks(const char *text)
{
    while (IsWhite(*text))
        text++;
    return text;
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

char Upper(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

void UpperCase(char *text)
{
    for (; *text; text++)
        *text = Upper(*text);
}

bool StartsWith(const char *text, const char *prefix)
{
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

bool StartsWithNoCase(const char *text, const char *prefix)
{
    for (; *prefix; text++, prefix++)
        if (Upper(*text) != Upper(*prefix))
            return false;
    return true;
}

/* scanf's %u without its two traps: white space, an optional '+', then digits (at most
 * maxDigits when that is not 0). Saturates at 4294967295; a '-' does not match. */
bool ScanUnsigned(const char *&text, unsigned maxDigits, uint32_t *value)
{
    const char *p = text;
    while (IsWhite(*p))
        p++;
    if (*p == '+')
        p++;
    if (!IsDigit(*p))
        return false;
    uint64_t number = 0;
    for (unsigned digits = 0; IsDigit(*p) && (maxDigits == 0 || digits < maxDigits); digits++, p++) {
        number = number * 10 + static_cast<unsigned>(*p - '0');
        if (number > UINT32_MAX)
            number = UINT32_MAX + uint64_t{1}; // stays above the limit; keeps the loop bounded
    }
    *value = number > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(number);
    text = p;
    return true;
}

/* Matches the start of line against a scanf-like pattern: a blank skips any run of white
 * space (none included), "%s" takes one word into word, "%u" takes the next number into
 * numbers, any other character must be there itself. True when the whole pattern matched;
 * what follows it in the line is ignored. */
bool Match(const char *line, const char *pattern, char *word, uint32_t *numbers)
{
    const char *p = line;
    for (const char *f = pattern; *f; f++) {
        if (*f == ' ') {
            while (IsWhite(*p))
                p++;
        } else if (f[0] == '%' && f[1] == 's') {
            f++;
            while (IsWhite(*p))
                p++;
            size_t n = 0;
            while (*p && !IsWhite(*p)) {
                if (n + 1 < WORD_SIZE)
                    word[n++] = *p;
                p++;
            }
            word[n] = '\0';
            if (n == 0)
                return false;
        } else if (f[0] == '%' && f[1] == 'u') {
            f++;
            if (!ScanUnsigned(p, 0, numbers++))
                return false;
        } else if (*p == *f) {
            p++;
        } else {
            return false;
        }
    }
    return true;
}

/* One read of at most size-1 characters, up to and including a LF, as a text-mode read
 * gives it: a CR LF pair reads as LF. False at the end of the file. */
bool ReadPiece(FILE *file, char *line, size_t size, size_t *length)
{
    size_t n = 0;
    while (n + 1 < size) {
        int c = getc(file);
        if (c == EOF)
            break;
        if (c == '\r') {
            int next = getc(file);
            if (next == '\n')
                c = '\n';
            else if (next != EOF)
                ungetc(next, file);
        }
        line[n++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    line[n] = '\0';
    *length = n;
    return n > 0;
}

void ReadModem(LineContext &context, char *word)
{
    UpperCase(word);
    if (StartsWith(word, "YES")) {
        context.instance->modemMode = 1;
        return;
    }
    context.instance->modemMode = 0;
    if (!StartsWith(word, "NO"))
        KivErr(LOG_ERROR, "TRSLNK> ReadIntFile() illegal line 'MODEM=%s', line %u in '%s'", word,
               unsigned{context.lineNumber}, context.fileName);
}

void ReadComTimeout(LineContext &context, uint32_t seconds)
{
    if (seconds > MAX_COM_TIMEOUT_SECONDS)
        KivErr(LOG_ERROR, "TRSLNK> ReadInitFile() WARNING: COM_TIMEOUT is bigger than 20 seconds");
    // Hundredths of a second in 32 bits: a bigger number of seconds is held at the limit.
    context.instance->comTimeout = seconds > UINT32_MAX / 100 ? UINT32_MAX : seconds * 100;
}

void ReadOnlineSample(LineContext &context, const char *word)
{
    if (StartsWithNoCase(word, "ALWAYS"))
        context.instance->onlineSampleFlag = 4;
    else if (StartsWithNoCase(word, "MONITOR"))
        context.instance->onlineSampleFlag = 8;
    else
        KivErr(LOG_ERROR, "TRSLNK> ReadIntFile() illegal line 'ONLINE_SAMPLE=%s', line %u in '%s'", word,
               unsigned{context.lineNumber}, context.fileName);
}

void ReadAlerts(LineContext &context, const char *line, const uint32_t *numbers)
{
    if (numbers[0] > MAX_ALERT_CLASS) {
        KivErr(LOG_ERROR, "TRSLNK> ReadIntFile() illegal alert class in '%s', line %u in '%s'", line,
               unsigned{context.lineNumber}, context.fileName);
    } else if (numbers[1] > MAX_ALERT_LIMIT) {
        KivErr(LOG_ERROR, "TRSLNK> ReadIntFile() illegal alert severity in '%s', line %u in '%s'", line,
               unsigned{context.lineNumber}, context.fileName);
    } else if (numbers[2] > MAX_ALERT_LIMIT) {
        KivErr(LOG_ERROR, "TRSLNK> ReadIntFile() illegal alert zone in '%s', line %u in '%s'", line,
               unsigned{context.lineNumber}, context.fileName);
    } else {
        context.instance->alertClass = static_cast<uint16_t>(numbers[0]);
        context.instance->alertSeverity = static_cast<uint16_t>(numbers[1]);
        context.instance->alertZone = static_cast<uint16_t>(numbers[2]);
    }
}

void ReadClockSync(LineContext &context, char *word)
{
    const int drv = static_cast<int>(context.drvNumber);
    UpperCase(word);
    if (StartsWith(word, "NEVER")) {
        context.instance->clockSync = 0;
        KivErr(LOG_ERROR, "TRSLNK%02d: ReadInitFile() CLOCK_SYNC set to 'NEVER'", drv);
    } else if (StartsWith(word, "TIMESTAMP")) {
        context.instance->clockSync = 1;
        KivErr(LOG_ERROR, "TRSLNK%02d: ReadInitFile() CLOCK_SYNC set to 'TIMESTAMP'", drv);
    } else if (StartsWith(word, "MODEM")) {
        context.instance->clockSync = 2;
        KivErr(LOG_ERROR, "TRSLNK%02d: ReadInitFile() CLOCK_SYNC set to 'MODEM'", drv);
    } else {
        context.instance->clockSync = 1;
        KivErr(LOG_ERROR, "TRSLNK> ReadIntFile() illegal line 'CLOCK_SYNC = %s', line %u in '%s'", word,
               unsigned{context.lineNumber}, context.fileName);
    }
}

void ReadNoComError(LineContext &context, char *word)
{
    const int drv = static_cast<int>(context.drvNumber);
    UpperCase(word);
    if (StartsWith(word, "YES")) {
        context.instance->noComError = 1;
        KivErr(LOG_ERROR, "TRSLNK%02d: ReadInitFile() NO_COM_ERROR = TRUE", drv);
        return;
    }
    context.instance->noComError = 0;
    if (StartsWith(word, "NO"))
        KivErr(LOG_ERROR, "TRSLNK%02d: ReadInitFile() NO_COM_ERROR = FALSE", drv);
    else
        KivErr(LOG_ERROR, "TRSLNK> ReadIntFile() illegal line 'NO_COM_ERROR=%s', line %u in '%s'", word,
               unsigned{context.lineNumber}, context.fileName);
}

/* nnn = 'name' , 'access code'. The station number has been read from the line start. */
void ReadStation(LineContext &context, const char *line, uint32_t number)
{
    if (number >= MAX_STATIONS) {
        KivErr(LOG_ERROR, "TRSLNK> ReaddInitFile() error, illegal station number %u, '%s' line %u", number,
               context.fileName, unsigned{context.lineNumber});
        return;
    }
    // The name lies between the first pair of quotes; a comma follows it, then the access
    // code from the next quote up to the one after it or to the end of the line.
    // Only blanks may stand around the comma.
    const char *nameStart = strchr(line, '\'');
    const char *nameEnd = nameStart ? strchr(nameStart + 1, '\'') : nullptr;
    const char *comma = nameEnd ? SkipBlanks(nameEnd + 1) : nullptr;
    if (comma && *comma != ',')
        comma = nullptr;
    const char *codeStart = comma ? SkipBlanks(comma + 1) : nullptr;
    if (codeStart && *codeStart != '\'')
        codeStart = nullptr;
    if (codeStart)
        codeStart++;
    const char *codeEnd = codeStart ? strchr(codeStart, '\'') : nullptr;
    if (codeStart && !codeEnd)
        codeEnd = codeStart + strlen(codeStart);
    if (!codeStart || codeEnd == codeStart) {
        KivErr(LOG_ERROR, "TRSLNK> ReaddInitFile() error, illegal station definition, station %u, '%s' line %u",
               number, context.fileName, unsigned{context.lineNumber});
        return;
    }
    const size_t nameLength = static_cast<size_t>(nameEnd - nameStart - 1);
    const size_t codeLength = static_cast<size_t>(codeEnd - codeStart);
    if (nameLength >= STATION_NAME_SIZE) {
        KivErr(LOG_ERROR,
               "TRSLNK> ReaddInitFile() error, illegal length of station name, station %u, '%s' line %u", number,
               context.fileName, unsigned{context.lineNumber});
        return;
    }
    if (codeLength >= ACCESS_CODE_SIZE) {
        KivErr(LOG_ERROR,
               "TRSLNK> ReaddInitFile() error, illegal length of access code, station %u, '%s' line %u", number,
               context.fileName, unsigned{context.lineNumber});
        return;
    }
    if (context.instance->stations[number].load() != nullptr) {
        KivErr(LOG_ERROR, "TRSLNK> ReaddInitFile() error, station %u already defined, '%s' line %u", number,
               context.fileName, unsigned{context.lineNumber});
        return;
    }
    StationRecord *station = new (std::nothrow) StationRecord();
    if (!station) {
        KivErr(LOG_ERROR, "TRSLNK> ReaddInitFile() error, malloc data station %u failed, '%s' line %u", number,
               context.fileName, unsigned{context.lineNumber});
        return;
    }
    char name[STATION_NAME_SIZE];
    char accessCode[ACCESS_CODE_SIZE];
    memcpy(name, nameStart + 1, nameLength);
    name[nameLength] = '\0';
    memcpy(accessCode, codeStart, codeLength);
    accessCode[codeLength] = '\0';

    station->loggedOn = 0;
    station->connRef = 255;
    station->onlineState = 0;
    station->journalBusy = 0;
    station->statesBusy = 0;
    station->readAllBusy = 0;
    station->disconnectAfterRead = 1;
    station->incomingCall = 0;
    // A name with a blank names a secondary station, reached through another one; the
    // station itself answers to the part after the blank.
    const char *blank = strchr(name, ' ');
    station->secondary = blank ? 1 : 0;
    CopyText(station->name, sizeof station->name, blank ? blank + 1 : name);
    CopyText(station->accessCode, sizeof station->accessCode, accessCode);
    context.instance->stations[number].store(station);
    KivErr(LOG_TRACE, "TRSLNK> station %03u = '%s', access code '%s'", number, name, accessCode);
}

void HandleLine(LineContext &context, char *line)
{
    DriverInstance *instance = context.instance;
    const int drv = static_cast<int>(context.drvNumber);
    char word[WORD_SIZE];
    uint32_t numbers[3] = {0, 0, 0};
    const char *rest = line;

    if (Match(line, " MODEM = %s", word, numbers)) {
        ReadModem(context, word);
    } else if (Match(line, " COM_TIMEOUT = %u", word, numbers)) {
        ReadComTimeout(context, numbers[0]);
    } else if (StartsWith(line, "CS_POPUP")) {
        instance->statesPopup = 1;
        KivErr(LOG_ERROR, "TRSLNK%02d:  ReadInitFile() 'Reading Current States' POPUP enabled", drv);
    } else if (StartsWith(line, "JL_POPUP")) {
        instance->journalPopup = 1;
        KivErr(LOG_ERROR, "TRSLNK%02d:  ReadInitFile() 'Reading Journal' POPUP enabled", drv);
    } else if (StartsWith(line, "HS_POPUP")) {
        instance->historyPopup = 1;
        KivErr(LOG_ERROR, "TRSLNK%02d:  ReadInitFile() 'Reading History' POPUP enabled", drv);
    } else if (StartsWith(line, "READ_STATUS")) {
        instance->readStatus = 1;
        KivErr(LOG_ERROR, "TRSLNK%02d: ReadInitFile() Reading status after incoming call enabled", drv);
    } else if (StartsWith(line, "NO_RECORD")) {
        instance->noRecord = 1;
        KivErr(LOG_ERROR, "TRSLNK> ReadInitFile() Recording to History of current statuses disabled");
    } else if (StartsWith(line, "STORE_LAST_EVENT")) {
        instance->storeLastEvent = 1;
        KivErr(LOG_ERROR, "TRSLNK%02d: ReadInitFile() last event no. will be stored in 'Last_eve.ini' file", drv);
    } else if (Match(line, " IFG = %u", word, numbers)) {
        instance->ifg = numbers[0];
    } else if (Match(line, "ONLINE_SAMPLE = %s", word, numbers)) {
        ReadOnlineSample(context, word);
    } else if (Match(line, "ALERTS = %u , %u , %u", word, numbers)) {
        ReadAlerts(context, line, numbers);
    } else if (Match(line, "CLOCK_SYNC = %s", word, numbers)) {
        ReadClockSync(context, word);
    } else if (Match(line, " NO_COM_ERROR = %s", word, numbers)) {
        ReadNoComError(context, word);
    } else if (ScanUnsigned(rest, MAX_STATION_DIGITS, &numbers[0])) {
        ReadStation(context, line, numbers[0]);
    } else if (line[0] == '\0' || StartsWith(line, "//")) {
        // comment
    } else {
        KivErr(LOG_ERROR, "TRSLNK> ReadIntFile() error, illegal line %u in '%s'", unsigned{context.lineNumber},
               context.fileName);
    }
}

} // namespace

FILE *OpenInitFile(const char *base, char *name, size_t nameSize, uint32_t drvNumber)
{
    // TRSLNK01.INT, then TRSLNK1.INT, then TRSLNK.INT; the first one that opens is used.
    for (int form = 0; form < 3; form++) {
        int length = 0;
        if (form == 0)
            length = snprintf(name, nameSize, "%s%02u.INT", base, drvNumber);
        else if (form == 1)
            length = snprintf(name, nameSize, "%s%01u.INT", base, drvNumber);
        else
            length = snprintf(name, nameSize, "%s.INT", base);
        // A name cut short by the buffer is not the file's name: never open it.
        if (length < 0 || static_cast<size_t>(length) >= nameSize)
            continue;
        FILE *file = fopen(name, "r");
        if (file)
            return file;
    }
    return nullptr;
}

void ReadInitFile(RequestBlock *request)
{
    DriverInstance *instance = InstanceOf(request);
    char fileName[FILE_NAME_SIZE];
    FILE *file = OpenInitFile(kBaseName, fileName, sizeof fileName, request->drvNumber);
    if (!file) {
        KivErr(LOG_ERROR, "TRSLNK> ReadInitFile() warning, initialisation file not found!!!");
        return;
    }

    LineContext context{instance, request->drvNumber, fileName, 0};
    char line[LINE_SIZE];
    size_t length = 0;
    while (ReadPiece(file, line, sizeof line, &length)) {
        context.lineNumber++;
        if (line[length - 1] == '\n' || line[length - 1] == '\r')
            line[length - 1] = '\0';
        HandleLine(context, line);
    }

    const int drv = static_cast<int>(request->drvNumber);
    KivErr(LOG_ERROR, "TRSLNK%02d: ReadInitFile() IFG set to %d", drv, static_cast<int>(instance->ifg));
    KivErr(LOG_ERROR, "TRSLNK%02d: ReadInitFile() COM_TIMEOUT set to %d seconds", drv,
           static_cast<int>(instance->comTimeout / 100));
    if (instance->modemMode)
        KivErr(LOG_ERROR, "TRSLNK%02d: is set for MULTI_MODEM communication", drv);
    else
        KivErr(LOG_ERROR, "TRSLNK%02d: is set for SERIAL communication", drv);
    fclose(file);
}
