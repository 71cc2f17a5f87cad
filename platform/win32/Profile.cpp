// Profile files through the system's profile calls. A bare name would go to the Windows
// folder, so every name is made relative to the current directory first. A write changes
// a copy of the file and moves it over the file, so that a crash or a full disk leaves the
// old file or the new one, whole; a named mutex per file makes writers of every process
// take turns.
#include <stdio.h>
#include <string.h>
#include <string>
#include <windows.h>

#include "platform/Platform.h"

namespace {

/* The name with '/' as '\\', and ".\\" before a name that has no folder of its own. */
std::string PathOf(const char *file)
{
    std::string path = file ? file : "";
    for (char &c : path)
        if (c == '/')
            c = '\\';
    if (path.find('\\') == std::string::npos && path.find(':') == std::string::npos)
        path.insert(0, ".\\");
    return path;
}

/* A mutex name of its own for each file: its full path, upper case, without the '\\'
 * that a mutex name may not hold. */
std::string LockNameOf(const std::string &path)
{
    char full[MAX_PATH];
    DWORD n = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    std::string name = "TRSLNK profile ";
    name.append(n > 0 && n < sizeof full ? full : path.c_str());
    for (char &c : name) {
        if (c == '\\')
            c = '/';
        else if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    if (name.size() >= MAX_PATH)
        name.resize(MAX_PATH - 1);
    return name;
}

bool HasLineEnd(const char *text)
{
    return strchr(text, '\n') != nullptr || strchr(text, '\r') != nullptr;
}

/* Copies the file (when it exists) to `copy`, changes the copy and moves it over the file. */
bool ChangeByCopy(const std::string &path, const std::string &copy, const char *section, const char *key,
                  const char *value)
{
    if (!CopyFileA(path.c_str(), copy.c_str(), FALSE) && GetLastError() != ERROR_FILE_NOT_FOUND)
        return false;
    // The profile calls keep no file open between calls: the copy is complete once this returns.
    if (!WritePrivateProfileStringA(section, key, value, copy.c_str())) {
        DWORD error = GetLastError();
        DeleteFileA(copy.c_str());
        SetLastError(error);
        return false;
    }
    if (!MoveFileExA(copy.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DWORD error = GetLastError();
        DeleteFileA(copy.c_str());
        SetLastError(error);
        return false;
    }
    return true;
}

} // namespace

uint32_t PlatformGetProfileString(const char *section, const char *key, const char *fallback, char *buffer,
                                  uint32_t size, const char *file)
{
    if (!buffer || size == 0)
        return 0;
    if (!section || !key || !file)
        return static_cast<uint32_t>(CopyText(buffer, size, fallback));
    return GetPrivateProfileStringA(section, key, fallback ? fallback : "", buffer, size, PathOf(file).c_str());
}

bool PlatformWriteProfileString(const char *section, const char *key, const char *value, const char *file)
{
    if (!section || !key || !value || !file || HasLineEnd(section) || HasLineEnd(key) || HasLineEnd(value)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const std::string path = PathOf(file);
    HANDLE lock = CreateMutexA(nullptr, FALSE, LockNameOf(path).c_str());
    if (!lock)
        return false;
    DWORD waited = WaitForSingleObject(lock, INFINITE);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        DWORD error = GetLastError();
        CloseHandle(lock);
        SetLastError(error);
        return false;
    }
    char suffix[48];
    snprintf(suffix, sizeof suffix, ".%lu.%lu.tmp", GetCurrentProcessId(), GetCurrentThreadId());
    bool ok = ChangeByCopy(path, path + suffix, section, key, value);
    DWORD error = GetLastError();
    ReleaseMutex(lock);
    CloseHandle(lock);
    SetLastError(ok ? 0 : error);
    return ok;
}
