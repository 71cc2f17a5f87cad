// The tools as child processes: arguments, working directory, output, exit code.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace tools_test {

struct Result { int code = -1; std::string out, err; };

class Child {
public:
    // stdout on a pseudo-terminal when `terminal` (the live table), else a pipe; stdin empty.
    Child(const std::string &path, std::vector<std::string> args, const std::string &dir = "", bool terminal = false)
    {
        int out[2], err[2];
        if ((terminal ? ::openpty(&out[0], &out[1], nullptr, nullptr, nullptr) : ::pipe2(out, O_CLOEXEC)) != 0 ||
            ::pipe2(err, O_CLOEXEC) != 0)
            return;
        std::vector<char *> argv{const_cast<char *>(path.c_str())};
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if ((pid_ = ::fork()) == 0) {
            const int none = ::open("/dev/null", O_RDONLY);
            if (::dup2(none, 0) < 0 || ::dup2(out[1], 1) < 0 || ::dup2(err[1], 2) < 0 || (!dir.empty() && ::chdir(dir.c_str())))
                ::_exit(127);
            ::execv(path.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        fds_[0] = out[0];
        fds_[1] = err[0];
    }
    ~Child()
    {
        if (pid_ > 0 && !done_ && ::kill(pid_, SIGKILL) == 0)
            ::waitpid(pid_, nullptr, 0);
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    // One line of stdout (or stderr) without its end, waiting at most 10 s.
    std::string Line(bool fromStderr = false)
    {
        std::string line;
        char c;
        for (pollfd p{fds_[fromStderr], POLLIN, 0}; ::poll(&p, 1, 10000) > 0 && ::read(p.fd, &c, 1) == 1 && c != '\n';)
            line += c;
        return line;
    }
    void Signal(int sig) { ::kill(pid_, sig); }
    // Reads both outputs to their end, then the exit code.
    Result Wait()
    {
        Result r;
        std::string *texts[2] = {&r.out, &r.err};
        char buffer[4096];
        for (pollfd p[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}}; (p[0].fd >= 0 || p[1].fd >= 0) && ::poll(p, 2, 120000) > 0;)
            for (int i = 0; i < 2; i++) {
                const ssize_t n = p[i].revents ? ::read(p[i].fd, buffer, sizeof buffer) : 1;
                if (n <= 0)
                    p[i].fd = -1; // at its end (closed with the child)
                else if (p[i].revents)
                    texts[i]->append(buffer, static_cast<size_t>(n));
            }
        int status = 0;
        if (::waitpid(pid_, &status, 0) == pid_ && (done_ = true))
            r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return r;
    }

private:
    pid_t pid_ = -1;
    int fds_[2] = {-1, -1};
    bool done_ = false;
};

inline Result Run(const std::string &path, std::vector<std::string> args, const std::string &dir = "")
{
    return Child(path, std::move(args), dir).Wait();
}

// A private folder (with `exampleInit`, holding the example initialisation file), removed at the end.
struct Folder {
    explicit Folder(bool exampleInit = false)
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "trs-tools-XXXXXX").string();
        path = ::mkdtemp(pattern.data()) ? pattern : "";
        if (exampleInit)
            std::filesystem::copy_file(TRS_EXAMPLES "/TRSLNK01.INT", path + "/TRSLNK01.INT");
    }
    ~Folder() { std::filesystem::remove_all(path); }
    std::string Write(const std::string &name, const std::string &text) const
    {
        std::ofstream(path + "/" + name, std::ios::binary) << text;
        return path + "/" + name;
    }
    const std::string &Path() const { return path; }
    std::string path;
};

// A simulator on a pseudo-terminal with the example plant, and trs-host's arguments for its
// line, the example gates and the built driver.
struct Station {
    explicit Station(std::vector<std::string> extra = {})
    {
        extra.insert(extra.begin(), {"--pty", "--config", TRS_EXAMPLES "/stations.toml"});
        sim = std::make_unique<Child>(TRS_SIM_PATH, extra);
        const std::string line = sim->Line();
        port = line.rfind("PORT /dev/", 0) == 0 ? line.substr(10) : "";
    }
    std::vector<std::string> HostArgs(std::vector<std::string> extra) const
    {
        extra.insert(extra.begin(), {"--module", TRSLNK32_PATH, "--port", port, "--gates", TRS_EXAMPLES "/gates.toml"});
        return extra;
    }
    std::unique_ptr<Child> sim;
    std::string port;
};

} // namespace tools_test
