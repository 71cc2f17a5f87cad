// The simulator's lines on POSIX: a pseudo-terminal or a serial device, accepted TCP
// connections and alarm calls, each served by its own thread that polls its descriptor
// and the stop pipe.
#if !defined(_WIN32)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sim/Lines.h"

namespace trs::sim {

namespace {

std::string SysError(const char *what) {
    return std::string(what) + ": " + std::strerror(errno);
}

void CloseFd(int &fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

} // namespace

Simulator::Impl::Impl() {
    if (::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) stopPipe[0] = stopPipe[1] = -1;
}

Simulator::Impl::~Impl() {
    StopGrowth();
    CloseFd(stopPipe[0]);
    CloseFd(stopPipe[1]);
}

bool Simulator::Impl::Pause(uint32_t ms) const {
    pollfd p{stopPipe[0], POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(ms)) == 0;
}

bool Simulator::Impl::WriteAll(Line &line, const std::string &bytes) {
    using namespace std::chrono;
    const uint32_t baud = paceBaud.load();
    const nanoseconds character = baud ? CharacterTime(baud) : nanoseconds(0);
    const auto start = baud ? std::max(steady_clock::now(), line.outFree) : steady_clock::time_point{};
    size_t done = 0;
    bool counted = false;
    while (done < bytes.size()) {
        // Paced: hand over only the bytes that have crossed the line by now; each byte
        // arrives one character time after the one before it.
        size_t due = bytes.size();
        if (baud) {
            const auto now = steady_clock::now();
            due = std::min<size_t>(bytes.size(), static_cast<size_t>((now - start) / character));
            if (due <= done) {
                if (!PauseUntil(start + character * static_cast<int64_t>(done + 1))) return false;
                continue;
            }
            // The last byte has crossed the line: counted before the peer can see it, so
            // that the counters are complete once the peer has the reply.
            if (due == bytes.size() && !counted) {
                std::lock_guard lock(mu);
                counters.bytesOut += bytes.size();
                counters.lastOut = now;
                counted = true;
            }
        }
        ssize_t n = ::write(line.fd, bytes.data() + done, due - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        pollfd p[2] = {{line.fd, POLLOUT, 0}, {stopPipe[0], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0 && errno != EINTR) return false;
        if (p[1].revents) return false;
    }
    if (baud) line.outFree = start + character * static_cast<int64_t>(bytes.size());
    if (!counted) {
        std::lock_guard lock(mu);
        counters.bytesOut += bytes.size();
    }
    return true;
}

void Simulator::Impl::Serve(Line &line) {
    char buffer[1024];
    for (;;) {
        pollfd p[2] = {{line.fd, POLLIN, 0}, {stopPipe[0], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (p[1].revents) break;
        if (p[0].revents & POLLIN) {
            ssize_t n = ::read(line.fd, buffer, sizeof buffer);
            if (n > 0) {
                Feed(line, buffer, static_cast<size_t>(n));
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            break; // peer gone
        }
        if (p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) break;
    }
    line.finished = true;
}

void Simulator::Impl::StartLine(int fd, int slaveFd, std::optional<uint32_t> primary) {
    auto line = std::make_unique<Line>();
    line->fd = fd;
    line->slaveFd = slaveFd;
    line->state.primary = primary;
    Line *raw = line.get();
    std::lock_guard lock(linesMu);
    // Reap lines whose peer went away, so a long-running program does not pile them up.
    for (auto it = lines.begin(); it != lines.end();) {
        if ((*it)->finished) {
            (*it)->thread.join();
            CloseFd((*it)->fd);
            CloseFd((*it)->slaveFd);
            it = lines.erase(it);
        } else {
            ++it;
        }
    }
    lines.push_back(std::move(line));
    raw->thread = std::thread([this, raw] { Serve(*raw); });
}

void Simulator::Impl::AcceptLoop() {
    for (;;) {
        pollfd p[2] = {{listenFd, POLLIN, 0}, {stopPipe[0], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (p[1].revents) return;
        if (p[0].revents & POLLIN) {
            int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd >= 0) StartLine(fd, -1, std::nullopt);
        } else if (p[0].revents) {
            return;
        }
    }
}

Simulator::Simulator() : impl_(std::make_unique<Impl>()) {}

Simulator::~Simulator() {
    Stop();
}

std::optional<std::string> Simulator::OpenPty(std::string *error) {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        SetError(error, SysError("posix_openpt"));
        return std::nullopt;
    }
    char name[128] = {};
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::ptsname_r(master, name, sizeof name) != 0) {
        SetError(error, SysError("grantpt/unlockpt/ptsname"));
        ::close(master);
        return std::nullopt;
    }
    int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        SetError(error, SysError("open slave"));
        ::close(master);
        return std::nullopt;
    }
    // Raw at once: a driver that opens the port before setting it up must not see echo or
    // CR translation.
    termios tio{};
    if (::tcgetattr(slave, &tio) != 0 || (::cfmakeraw(&tio), ::tcsetattr(slave, TCSANOW, &tio)) != 0) {
        SetError(error, SysError("tcsetattr"));
        ::close(slave);
        ::close(master);
        return std::nullopt;
    }
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    impl_->StartLine(master, slave, std::nullopt);
    return std::string(name);
}

bool Simulator::OpenSerial(const std::string &device, std::string *error) {
    int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        SetError(error, SysError(device.c_str()));
        return false;
    }
    // Raw bytes both ways; the speed and the character format are the line's.
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        SetError(error, SysError("tcgetattr"));
        ::close(fd);
        return false;
    }
    tio.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF);
    tio.c_oflag &= ~OPOST;
    tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag |= CLOCAL | CREAD;
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        SetError(error, SysError("tcsetattr"));
        ::close(fd);
        return false;
    }
    impl_->StartLine(fd, -1, std::nullopt);
    return true;
}

std::optional<uint16_t> Simulator::ListenTcp(uint16_t port, std::string *error) {
    if (impl_->listenFd >= 0) {
        SetError(error, "already listening");
        return std::nullopt;
    }
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        SetError(error, SysError("socket"));
        return std::nullopt;
    }
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        SetError(error, SysError("bind/listen"));
        ::close(fd);
        return std::nullopt;
    }
    impl_->listenFd = fd;
    impl_->acceptThread = std::thread([this] { impl_->AcceptLoop(); });
    return ntohs(addr.sin_port);
}

bool Simulator::CallIn(const std::string &host, uint16_t port, uint32_t identity, std::string *error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const std::string service = std::to_string(port);
    if (int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
        SetError(error, std::string("getaddrinfo: ") + ::gai_strerror(rc));
        return false;
    }
    int fd = -1;
    for (addrinfo *a = found; a && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd >= 0 && ::connect(fd, a->ai_addr, a->ai_addrlen) != 0) CloseFd(fd);
    }
    ::freeaddrinfo(found);
    if (fd < 0) {
        SetError(error, SysError("connect"));
        return false;
    }
    const std::string hello = std::to_string(identity) + "\n";
    if (::send(fd, hello.data(), hello.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(hello.size())) {
        SetError(error, SysError("send"));
        ::close(fd);
        return false;
    }
    {
        std::lock_guard lock(impl_->mu);
        impl_->counters.bytesOut += hello.size();
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    impl_->StartLine(fd, -1, identity);
    return true;
}

void Simulator::Stop() {
    Impl &d = *impl_;
    if (d.stopPipe[1] >= 0) {
        const char byte = 1;
        (void)!::write(d.stopPipe[1], &byte, 1);
    }
    if (d.acceptThread.joinable()) d.acceptThread.join();
    std::vector<std::unique_ptr<Line>> lines;
    {
        std::lock_guard lock(d.linesMu);
        lines.swap(d.lines);
    }
    for (auto &line : lines) {
        if (line->thread.joinable()) line->thread.join();
        CloseFd(line->fd);
        CloseFd(line->slaveFd);
    }
    CloseFd(d.listenFd);
    // Ready for the next line.
    char drain[16];
    while (d.stopPipe[0] >= 0 && ::read(d.stopPipe[0], drain, sizeof drain) > 0) {
    }
}

} // namespace trs::sim

#endif
