// Profile files on POSIX. A write reads the file, changes the one line and puts a new file
// in its place by rename, so that a crash or a full disk leaves the old file or the new
// one, whole; a lock on the file's folder makes writers of every process take turns.
#include <atomic>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/common/Profile.h"
#include "platform/Platform.h"

namespace {

/* Larger files are no profile files of ours: they are not read, nor rewritten. */
const off_t kMaxProfileSize = 1 << 20;

std::string PathOf(const char *file)
{
    std::string path = file ? file : "";
    for (char &c : path)
        if (c == '\\')
            c = '/';
    return path;
}

std::string FolderOf(const std::string &path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

/* The whole file; false with errno set when it cannot be read (ENOENT when missing). */
bool ReadWhole(const std::string &path, std::string *text)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info;
    int error = 0;
    if (fstat(fd, &info) != 0)
        error = errno;
    else if (!S_ISREG(info.st_mode))
        error = EISDIR;
    else if (info.st_size > kMaxProfileSize)
        error = EFBIG;
    if (error != 0) {
        close(fd);
        errno = error;
        return false;
    }
    text->clear();
    char block[4096];
    for (;;) {
        ssize_t n = read(fd, block, sizeof block);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int error = errno;
            close(fd);
            errno = error;
            return false;
        }
        if (n == 0)
            break;
        text->append(block, static_cast<size_t>(n));
        if (text->size() > static_cast<size_t>(kMaxProfileSize)) {
            close(fd);
            errno = EFBIG;
            return false;
        }
    }
    close(fd);
    return true;
}

bool WriteAll(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

/* Writes text to a new file beside path and renames it over path. */
bool ReplaceFile(const std::string &path, const std::string &text, mode_t mode)
{
    static std::atomic<unsigned> counter{0};
    char suffix[64];
    snprintf(suffix, sizeof suffix, ".%ld.%u.tmp", static_cast<long>(getpid()), ++counter);
    const std::string temporary = path + suffix;
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    bool written = WriteAll(fd, text) && fsync(fd) == 0;
    int error = errno;
    if (close(fd) != 0 && written) {
        written = false;
        error = errno;
    }
    if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
        if (written)
            error = errno;
        unlink(temporary.c_str());
        errno = error;
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
    std::string text, value;
    const char *result = fallback ? fallback : "";
    if (section && key && ReadWhole(PathOf(file), &text) && ProfileFind(text, section, key, &value))
        result = value.c_str();
    return static_cast<uint32_t>(CopyText(buffer, size, result));
}

bool PlatformWriteProfileString(const char *section, const char *key, const char *value, const char *file)
{
    if (!section || !key || !value || !file || strchr(key, '\n') || strchr(value, '\n') || strchr(section, '\n')) {
        errno = EINVAL;
        return false;
    }
    const std::string path = PathOf(file);
    // The lock is on the folder: the file itself is replaced by every write.
    int folder = open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return false;
    int rc;
    do
        rc = flock(folder, LOCK_EX);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        int error = errno;
        close(folder);
        errno = error;
        return false;
    }
    std::string text;
    mode_t mode = 0644;
    struct stat info;
    bool ok = true;
    if (stat(path.c_str(), &info) == 0)
        mode = info.st_mode & 07777;
    if (!ReadWhole(path, &text)) {
        ok = errno == ENOENT;
        text.clear();
    }
    if (ok)
        ok = ReplaceFile(path, ProfileSet(text, section, key, value), mode);
    int error = errno;
    if (ok)
        (void)fsync(folder); /* the rename itself reaches the disk */
    flock(folder, LOCK_UN);
    close(folder);
    errno = error;
    return ok;
}
