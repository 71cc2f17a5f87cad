// The tools as child processes: arguments, working directory, output, exit code.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace tools_test {

struct Result {
    int code = -1;
    std::string out, err;
};

class Child {
public:
    // stdout on a pseudo-terminal when `terminal` (the live table), else a pipe.
    Child(const std::string &path, std::vector<std::string> args, const std::string &dir = "", bool terminal = false)
    {
        int out[2], err[2];
        if ((terminal ? ::openpty(&out[0], &out[1], nullptr, nullptr, nullptr) : ::pipe2(out, O_CLOEXEC)) != 0 ||
            ::pipe2(err, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        ::posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        ::posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        if (!dir.empty())
            ::posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
        std::vector<char *> argv{const_cast<char *>(path.c_str())};
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        ::posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        fds_[0] = out[0];
        fds_[1] = err[0];
    }
    ~Child()
    {
        if (pid_ > 0 && !done_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        for (int fd : fds_)
            if (fd >= 0)
                ::close(fd);
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
        for (pollfd p[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}}; (p[0].fd >= 0 || p[1].fd >= 0) && ::poll(p, 2, 120000) > 0;)
            for (int i = 0; i < 2; i++) {
                char buffer[4096];
                const ssize_t n = p[i].revents ? ::read(p[i].fd, buffer, sizeof buffer) : 1;
                if (n <= 0)
                    p[i].fd = -1; // at its end; closed with the child
                else if (p[i].revents)
                    texts[i]->append(buffer, static_cast<size_t>(n));
            }
        int status = 0;
        if (::waitpid(pid_, &status, 0) == pid_) {
            done_ = true;
            r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
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

// A private folder with files in it (with `exampleInit`, the example initialisation file),
// removed at the end.
class Folder {
public:
    explicit Folder(bool exampleInit = false)
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "trs-tools-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data()) ? pattern : "";
        if (exampleInit)
            std::filesystem::copy_file(TRS_EXAMPLES "/TRSLNK01.INT", path_ + "/TRSLNK01.INT");
    }
    ~Folder() { std::filesystem::remove_all(path_); }
    std::string Write(const std::string &name, const std::string &text) const
    {
        std::ofstream(path_ + "/" + name, std::ios::binary) << text;
        return path_ + "/" + name;
    }
    const std::string &Path() const { return path_; }

private:
    std::string path_;
};

// A simulator on a pseudo-terminal with the example plant; the port as trs-host takes it.
class Station {
public:
    explicit Station(std::vector<std::string> extra = {})
    {
        std::vector<std::string> args = {"--pty", "--config", TRS_EXAMPLES "/stations.toml"};
        args.insert(args.end(), extra.begin(), extra.end());
        sim_ = std::make_unique<Child>(TRS_SIM_PATH, args);
        const std::string line = sim_->Line();
        port_ = line.rfind("PORT /dev/", 0) == 0 ? line.substr(10) : "";
    }
    const std::string &Port() const { return port_; }
    Child &Sim() { return *sim_; }
    // trs-host's arguments for this station's line, the example gates and the built driver.
    std::vector<std::string> HostArgs(std::vector<std::string> extra) const
    {
        std::vector<std::string> args = {"--module", TRSLNK32_PATH, "--port", port_, "--gates", TRS_EXAMPLES "/gates.toml"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

private:
    std::unique_ptr<Child> sim_;
    std::string port_;
};

} // namespace tools_test
