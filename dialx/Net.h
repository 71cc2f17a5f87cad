// The socket calls of the pool. On POSIX they are the system's own. On Windows the same
// names, inside dialx::detail, stand for Winsock calls that set errno as POSIX would, so
// that the pool's code reads the same on both: descriptors are ints, a wake-up pipe is a
// pair of loopback sockets, and poll() is WSAPoll() skipping negative descriptors.
#pragma once

#if !defined(_WIN32)

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace dialx::detail {
inline bool NetStart()
{
    return true;
}
} // namespace dialx::detail

#else

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cerrno>
#include <cstddef>
#include <sys/types.h>

#ifndef EHOSTDOWN
#define EHOSTDOWN 10064 /* as Winsock numbers it; never set by the calls below */
#endif
#ifndef POLLRDHUP
#define POLLRDHUP 0 /* a peer's close shows as readable with nothing to read */
#endif
#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0 /* Winsock raises no signal */
#endif
#ifndef MSG_DONTWAIT
#define MSG_DONTWAIT 0 /* the pool's sockets are all non-blocking */
#endif
#ifndef SHUT_RDWR
#define SHUT_RDWR SD_BOTH
#endif
/* Flags of socket() and accept4(), taken off before Winsock sees the type. */
#define SOCK_NONBLOCK 0x4000
#define SOCK_CLOEXEC 0x8000
#define O_CLOEXEC 0
#define O_NONBLOCK 0

typedef ADDRESS_FAMILY sa_family_t;

namespace dialx::detail {

struct pollfd {
    int fd;
    short events;
    short revents;
};

int socket(int family, int type, int protocol);
int accept4(int fd, sockaddr *address, socklen_t *length, int flags);
int connect(int fd, const sockaddr *address, socklen_t length);
int bind(int fd, const sockaddr *address, socklen_t length);
int listen(int fd, int backlog);
int getsockname(int fd, sockaddr *address, socklen_t *length);
int setsockopt(int fd, int level, int name, const void *value, socklen_t length);
int getsockopt(int fd, int level, int name, void *value, socklen_t *length);
ssize_t send(int fd, const void *bytes, size_t count, int flags);
ssize_t recv(int fd, void *buffer, size_t count, int flags);
int shutdown(int fd, int how);
int close(int fd);
int poll(pollfd *fds, size_t count, int timeoutMs);
/* A wake-up pair: [0] becomes readable once something is written to [1]. */
int pipe2(int fds[2], int flags);
ssize_t read(int fd, void *buffer, size_t count);
ssize_t write(int fd, const void *bytes, size_t count);
/* Starts Winsock once, before the resolver is used (socket() starts it too). */
bool NetStart();

} // namespace dialx::detail

#endif
