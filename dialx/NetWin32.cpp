// Winsock behind the POSIX socket calls of the pool (see Net.h). Empty on other systems.
#if defined(_WIN32)

#include "dialx/Net.h"

#include <mutex>
#include <vector>

namespace dialx::detail {

namespace {

/* Winsock is started on first use and stays up for the life of the process. */
bool Started()
{
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

/* The errno of a Winsock error, for the pool's checks and messages. */
int ErrnoOf(int error)
{
    switch (error) {
    case WSAEWOULDBLOCK: return EWOULDBLOCK;
    case WSAEINPROGRESS: return EINPROGRESS;
    case WSAEINTR: return EINTR;
    case WSAECONNREFUSED: return ECONNREFUSED;
    case WSAETIMEDOUT: return ETIMEDOUT;
    case WSAECONNRESET: return ECONNRESET;
    case WSAECONNABORTED: return ECONNABORTED;
    case WSAENOTCONN: return ENOTCONN;
    case WSAESHUTDOWN: return EPIPE;
    case WSAEHOSTUNREACH: return EHOSTUNREACH;
    case WSAENETUNREACH: return ENETUNREACH;
    case WSAENETDOWN: return ENETDOWN;
    case WSAENETRESET: return ECONNRESET;
    case WSAEHOSTDOWN: return EHOSTDOWN;
    case WSAEMFILE: return EMFILE;
    case WSAENOBUFS: return ENOBUFS;
    case WSAEADDRINUSE: return EADDRINUSE;
    case WSAEADDRNOTAVAIL: return EADDRNOTAVAIL;
    case WSAEAFNOSUPPORT: return EAFNOSUPPORT;
    case WSAEACCES: return EACCES;
    case WSAEINVAL: return EINVAL;
    case WSAENOTSOCK: return EBADF;
    default: return EIO;
    }
}

int Failed()
{
    errno = ErrnoOf(WSAGetLastError());
    return -1;
}

SOCKET S(int fd)
{
    return static_cast<SOCKET>(static_cast<uintptr_t>(static_cast<unsigned>(fd)));
}

int Fd(SOCKET s)
{
    return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}

bool NonBlocking(SOCKET s)
{
    u_long on = 1;
    return ioctlsocket(s, FIONBIO, &on) == 0;
}

} // namespace

int socket(int family, int type, int protocol)
{
    if (!Started()) {
        errno = ENETDOWN;
        return -1;
    }
    SOCKET s = ::socket(family, type & ~(SOCK_NONBLOCK | SOCK_CLOEXEC), protocol);
    if (s == INVALID_SOCKET)
        return Failed();
    // A socket handle is not inherited by programs that the host starts.
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    if ((type & SOCK_NONBLOCK) && !NonBlocking(s)) {
        int error = WSAGetLastError();
        ::closesocket(s);
        WSASetLastError(error);
        return Failed();
    }
    return Fd(s);
}

int accept4(int fd, sockaddr *address, socklen_t *length, int flags)
{
    SOCKET s = ::accept(S(fd), address, length);
    if (s == INVALID_SOCKET)
        return Failed();
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    if ((flags & SOCK_NONBLOCK) && !NonBlocking(s)) {
        int error = WSAGetLastError();
        ::closesocket(s);
        WSASetLastError(error);
        return Failed();
    }
    return Fd(s);
}

int connect(int fd, const sockaddr *address, socklen_t length)
{
    if (::connect(S(fd), address, length) == 0)
        return 0;
    // A non-blocking connect under way is WSAEWOULDBLOCK in Winsock, EINPROGRESS in POSIX.
    int error = WSAGetLastError();
    errno = error == WSAEWOULDBLOCK ? EINPROGRESS : ErrnoOf(error);
    return -1;
}

int bind(int fd, const sockaddr *address, socklen_t length)
{
    return ::bind(S(fd), address, length) == 0 ? 0 : Failed();
}

int listen(int fd, int backlog)
{
    return ::listen(S(fd), backlog) == 0 ? 0 : Failed();
}

int getsockname(int fd, sockaddr *address, socklen_t *length)
{
    return ::getsockname(S(fd), address, length) == 0 ? 0 : Failed();
}

int setsockopt(int fd, int level, int name, const void *value, socklen_t length)
{
    return ::setsockopt(S(fd), level, name, static_cast<const char *>(value), length) == 0 ? 0 : Failed();
}

int getsockopt(int fd, int level, int name, void *value, socklen_t *length)
{
    if (::getsockopt(S(fd), level, name, static_cast<char *>(value), length) != 0)
        return Failed();
    // A pending error is a Winsock number: the pool reads errno numbers.
    if (level == SOL_SOCKET && name == SO_ERROR && value && *length >= static_cast<socklen_t>(sizeof(int))) {
        int *error = static_cast<int *>(value);
        if (*error != 0)
            *error = ErrnoOf(*error);
    }
    return 0;
}

ssize_t send(int fd, const void *bytes, size_t count, int flags)
{
    int n = ::send(S(fd), static_cast<const char *>(bytes), static_cast<int>(count), flags);
    return n == SOCKET_ERROR ? Failed() : n;
}

ssize_t recv(int fd, void *buffer, size_t count, int flags)
{
    int n = ::recv(S(fd), static_cast<char *>(buffer), static_cast<int>(count), flags);
    return n == SOCKET_ERROR ? Failed() : n;
}

int shutdown(int fd, int how)
{
    return ::shutdown(S(fd), how) == 0 ? 0 : Failed();
}

int close(int fd)
{
    return ::closesocket(S(fd)) == 0 ? 0 : Failed();
}

int poll(pollfd *fds, size_t count, int timeoutMs)
{
    // Negative descriptors are left out, as POSIX poll() ignores them.
    std::vector<WSAPOLLFD> waits;
    std::vector<size_t> index;
    for (size_t i = 0; i < count; ++i) {
        fds[i].revents = 0;
        if (fds[i].fd < 0)
            continue;
        WSAPOLLFD wait{};
        wait.fd = S(fds[i].fd);
        wait.events = fds[i].events;
        waits.push_back(wait);
        index.push_back(i);
    }
    if (waits.empty()) {
        Sleep(timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
        return 0;
    }
    int ready = WSAPoll(waits.data(), static_cast<ULONG>(waits.size()), timeoutMs);
    if (ready == SOCKET_ERROR)
        return Failed();
    for (size_t i = 0; i < waits.size(); ++i)
        fds[index[i]].revents = waits[i].revents;
    return ready;
}

int pipe2(int fds[2], int)
{
    // A datagram socket on the loopback address that a second socket sends to: readable
    // once a byte is written, as the read end of a pipe.
    int reader = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    if (reader < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int writer = -1;
    if (bind(reader, reinterpret_cast<sockaddr *>(&address), length) == 0 &&
        getsockname(reader, reinterpret_cast<sockaddr *>(&address), &length) == 0 &&
        (writer = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0)) >= 0 &&
        connect(writer, reinterpret_cast<sockaddr *>(&address), length) == 0) {
        fds[0] = reader;
        fds[1] = writer;
        return 0;
    }
    int error = errno;
    if (writer >= 0)
        close(writer);
    close(reader);
    errno = error;
    return -1;
}

ssize_t read(int fd, void *buffer, size_t count)
{
    return recv(fd, buffer, count, 0);
}

ssize_t write(int fd, const void *bytes, size_t count)
{
    return send(fd, bytes, count, 0);
}

bool NetStart()
{
    return Started();
}

} // namespace dialx::detail

#endif
