// The simulator's lines on Windows: a COM port, accepted TCP connections and alarm calls,
// each served by its own thread. A thread waits at most a tenth of a second at a time and
// looks at the stop flag between waits; Pause waits on the stop event. Windows has no
// pseudo-terminals.
#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstring>

#include "sim/Lines.h"

namespace trs::sim {

namespace {

constexpr int kSliceMs = 100; // the longest wait between two looks at the stop flag

std::string SysError(const char *what, unsigned long code) {
    return std::string(what) + ": error " + std::to_string(code);
}

SOCKET S(intptr_t fd) {
    return static_cast<SOCKET>(fd);
}

void CloseLine(intptr_t &fd, bool comPort) {
    if (fd == -1) return;
    if (comPort)
        CloseHandle(reinterpret_cast<HANDLE>(fd));
    else
        closesocket(S(fd));
    fd = -1;
}

// Waits up to kSliceMs for the socket to become readable: 1 ready, 0 not yet, -1 failed.
int WaitReadable(SOCKET s) {
    WSAPOLLFD p{};
    p.fd = s;
    p.events = POLLRDNORM;
    int n = WSAPoll(&p, 1, kSliceMs);
    return n < 0 ? -1 : n > 0 ? 1 : 0;
}

bool SetReadTimeouts(HANDLE port, DWORD interval, DWORD constant) {
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = interval;
    t.ReadTotalTimeoutConstant = constant;
    return SetCommTimeouts(port, &t) != 0;
}

// Whatever the COM port has, or one byte within kSliceMs: >0 bytes, 0 none yet, -1 failed.
int ReadPort(HANDLE port, char *buffer, DWORD size) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(port, &errors, &status)) return -1;
    DWORD want = status.cbInQue > 0 ? (status.cbInQue < size ? status.cbInQue : size) : 1;
    if (!(status.cbInQue > 0 ? SetReadTimeouts(port, MAXDWORD, 0) : SetReadTimeouts(port, 0, kSliceMs))) return -1;
    DWORD n = 0;
    if (!ReadFile(port, buffer, want, &n, nullptr)) return -1;
    return static_cast<int>(n);
}

bool WinsockStarted() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

} // namespace

Simulator::Impl::Impl() {
    stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    WinsockStarted();
}

Simulator::Impl::~Impl() {
    StopGrowth();
    if (stopEvent) CloseHandle(stopEvent);
}

bool Simulator::Impl::Pause(uint32_t ms) const {
    return WaitForSingleObject(stopEvent, ms) == WAIT_TIMEOUT;
}

bool Simulator::Impl::WriteAll(Line &line, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        if (stopping) return false;
        const size_t left = bytes.size() - done;
        const int chunk = left > 65536 ? 65536 : static_cast<int>(left);
        if (line.comPort) {
            DWORD n = 0;
            if (!WriteFile(reinterpret_cast<HANDLE>(line.fd), bytes.data() + done, static_cast<DWORD>(chunk), &n,
                           nullptr))
                return false;
            done += n;
        } else {
            int n = send(S(line.fd), bytes.data() + done, chunk, 0);
            if (n == SOCKET_ERROR) return false;
            done += static_cast<size_t>(n);
        }
    }
    std::lock_guard lock(mu);
    counters.bytesOut += bytes.size();
    return true;
}

void Simulator::Impl::Serve(Line &line) {
    char buffer[1024];
    while (!stopping) {
        int n;
        if (line.comPort) {
            n = ReadPort(reinterpret_cast<HANDLE>(line.fd), buffer, sizeof buffer);
        } else {
            n = WaitReadable(S(line.fd));
            if (n > 0) {
                n = recv(S(line.fd), buffer, sizeof buffer, 0);
                if (n == 0) n = -1; // the peer has gone
            }
        }
        if (n < 0) break;
        if (n > 0) Feed(line, buffer, static_cast<size_t>(n));
    }
    line.finished = true;
}

void Simulator::Impl::StartLine(intptr_t fd, bool comPort, std::optional<uint32_t> primary) {
    auto line = std::make_unique<Line>();
    line->fd = fd;
    line->comPort = comPort;
    line->state.primary = primary;
    Line *raw = line.get();
    std::lock_guard lock(linesMu);
    // Reap lines whose peer went away, so a long-running program does not pile them up.
    for (auto it = lines.begin(); it != lines.end();) {
        if ((*it)->finished) {
            (*it)->thread.join();
            CloseLine((*it)->fd, (*it)->comPort);
            it = lines.erase(it);
        } else {
            ++it;
        }
    }
    lines.push_back(std::move(line));
    raw->thread = std::thread([this, raw] { Serve(*raw); });
}

void Simulator::Impl::AcceptLoop() {
    while (!stopping) {
        int ready = WaitReadable(S(listenFd));
        if (ready < 0) return;
        if (ready == 0) continue;
        SOCKET s = accept(S(listenFd), nullptr, nullptr);
        if (s != INVALID_SOCKET) StartLine(static_cast<intptr_t>(s), false, std::nullopt);
    }
}

Simulator::Simulator() : impl_(std::make_unique<Impl>()) {}

Simulator::~Simulator() {
    Stop();
}

std::optional<std::string> Simulator::OpenPty(std::string *error) {
    SetError(error, "Windows has no pseudo-terminals: serve a COM port (OpenSerial) or TCP (ListenTcp)");
    return std::nullopt;
}

bool Simulator::OpenSerial(const std::string &device, std::string *error) {
    const std::string path = device.find('\\') == std::string::npos ? "\\\\.\\" + device : device;
    HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        SetError(error, SysError(device.c_str(), GetLastError()));
        return false;
    }
    // Raw bytes both ways, no flow control; the speed and the character format are the port's.
    DCB state{};
    state.DCBlength = sizeof state;
    if (GetCommState(port, &state)) {
        state.fBinary = TRUE;
        state.fOutxCtsFlow = FALSE;
        state.fOutxDsrFlow = FALSE;
        state.fOutX = FALSE;
        state.fInX = FALSE;
        state.fNull = FALSE;
        state.fErrorChar = FALSE;
        state.fAbortOnError = FALSE;
        (void)SetCommState(port, &state);
    }
    COMMTIMEOUTS timeouts{};
    timeouts.ReadTotalTimeoutConstant = kSliceMs;
    if (!SetCommTimeouts(port, &timeouts)) {
        SetError(error, SysError("SetCommTimeouts", GetLastError()));
        CloseHandle(port);
        return false;
    }
    impl_->StartLine(reinterpret_cast<intptr_t>(port), true, std::nullopt);
    return true;
}

std::optional<uint16_t> Simulator::ListenTcp(uint16_t port, std::string *error) {
    if (impl_->listenFd != -1) {
        SetError(error, "already listening");
        return std::nullopt;
    }
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) {
        SetError(error, SysError("socket", WSAGetLastError()));
        return std::nullopt;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof addr;
    if (bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(s, 16) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        SetError(error, SysError("bind/listen", WSAGetLastError()));
        closesocket(s);
        return std::nullopt;
    }
    impl_->listenFd = static_cast<intptr_t>(s);
    impl_->acceptThread = std::thread([this] { impl_->AcceptLoop(); });
    return ntohs(addr.sin_port);
}

bool Simulator::CallIn(const std::string &host, uint16_t port, uint32_t identity, std::string *error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const std::string service = std::to_string(port);
    if (int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
        SetError(error, SysError("getaddrinfo", static_cast<unsigned long>(rc)));
        return false;
    }
    SOCKET s = INVALID_SOCKET;
    for (addrinfo *a = found; a && s == INVALID_SOCKET; a = a->ai_next) {
        s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s != INVALID_SOCKET && connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
            closesocket(s);
            s = INVALID_SOCKET;
        }
    }
    freeaddrinfo(found);
    if (s == INVALID_SOCKET) {
        SetError(error, SysError("connect", WSAGetLastError()));
        return false;
    }
    const std::string hello = std::to_string(identity) + "\n";
    if (send(s, hello.data(), static_cast<int>(hello.size()), 0) != static_cast<int>(hello.size())) {
        SetError(error, SysError("send", WSAGetLastError()));
        closesocket(s);
        return false;
    }
    {
        std::lock_guard lock(impl_->mu);
        impl_->counters.bytesOut += hello.size();
    }
    impl_->StartLine(static_cast<intptr_t>(s), false, identity);
    return true;
}

void Simulator::Stop() {
    Impl &d = *impl_;
    d.stopping = true;
    if (d.stopEvent) SetEvent(d.stopEvent);
    if (d.acceptThread.joinable()) d.acceptThread.join();
    std::vector<std::unique_ptr<Line>> lines;
    {
        std::lock_guard lock(d.linesMu);
        lines.swap(d.lines);
    }
    for (auto &line : lines) {
        if (line->thread.joinable()) line->thread.join();
        CloseLine(line->fd, line->comPort);
    }
    if (d.listenFd != -1) {
        closesocket(S(d.listenFd));
        d.listenFd = -1;
    }
    // Ready for the next line.
    if (d.stopEvent) ResetEvent(d.stopEvent);
    d.stopping = false;
}

} // namespace trs::sim

#endif
