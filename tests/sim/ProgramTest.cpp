// The trs-sim program, run as a harness runs it: options, the PORT line, exit.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "SimClient.h"

namespace {

using trs::sim::Frame;

// trs-sim as a child process with pipes on stdin, stdout and stderr.
class Program {
public:
    explicit Program(std::vector<std::string> args) {
        int in[2], out[2], err[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        ::posix_spawn_file_actions_init(&actions);
        for (auto [from, to] : {std::pair{in[0], 0}, {out[1], 1}, {err[1], 2}})
            ::posix_spawn_file_actions_adddup2(&actions, from, to); // dup2 clears close-on-exec
        std::vector<char *> argv{const_cast<char *>(TRS_SIM_PATH)};
        for (auto &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, TRS_SIM_PATH, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        ::posix_spawn_file_actions_destroy(&actions);
        for (int fd : {in[0], out[1], err[1]}) ::close(fd);
        stdin_ = in[1];
        stdout_ = out[0];
        stderr_ = err[0];
    }
    ~Program() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        for (int fd : {stdin_, stdout_, stderr_})
            if (fd >= 0) ::close(fd);
    }
    // One line of the program's standard output, without its newline.
    std::string ReadLine() { return Read(stdout_, true); }
    std::string ReadAllErr() { return Read(stderr_, false); }
    void CloseStdin() {
        ::close(stdin_);
        stdin_ = -1;
    }
    void Signal(int sig) { ::kill(pid_, sig); }
    int Wait() {
        int status = 0;
        if (pid_ <= 0 || ::waitpid(pid_, &status, 0) != pid_) return -1;
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    static std::string Read(int fd, bool oneLine) {
        std::string text;
        char c;
        for (pollfd p{fd, POLLIN, 0}; ::poll(&p, 1, 5000) > 0 && ::read(fd, &c, 1) == 1 && !(oneLine && c == '\n');)
            text += c;
        return text;
    }
    pid_t pid_ = -1;
    int stdin_ = -1, stdout_ = -1, stderr_ = -1;
    bool exited_ = false;
};

TEST(SimProgram, PtyWithQuickStations) {
    Program program({"--pty", "--station", "5:PLC1:1234", "--secondary", "7:SEC7:77", "--set", "5:AI12=42", "--verbose",
                     "--exit-on-eof"});
    const std::string line = program.ReadLine();
    ASSERT_EQ(line.rfind("PORT /dev/", 0), 0u) << line;
    sim_test::Client client;
    ASSERT_TRUE(client.OpenPty(line.substr(5)));
    EXPECT_EQ(client.Ask("PLC1\tVAR?\tAI12\t1\t"), Frame("VAR=\tAI12\t42\t"));
    EXPECT_EQ(client.Ask("SEC7\tACCES\t77\t"), Frame("STATUT\t000\t"));
    program.CloseStdin();
    EXPECT_EQ(program.Wait(), 0);
    EXPECT_EQ(program.ReadAllErr(), "<- PLC1\\tVAR?\\tAI12\\t1\\t\n"
                                    "-> VAR=\\tAI12\\t42\\tl\\r\n"
                                    "<- SEC7\\tACCES\\t77\\t\n"
                                    "-> STATUT\\t000\\ty\\r\n"
                                    "telegrams 2, checksum errors 0, wake-ups 0, overflows 0\n");
}

TEST(SimProgram, TcpWithDefaultStationEndsOnSignal) {
    Program program({"--tcp", "0"});
    const std::string line = program.ReadLine();
    ASSERT_EQ(line.rfind("TCP ", 0), 0u) << line;
    sim_test::Client client;
    ASSERT_TRUE(client.ConnectTcp(static_cast<uint16_t>(std::stoi(line.substr(4)))));
    EXPECT_EQ(client.Ask("IDENT?\t"), Frame("IDENT=\t001\t"));
    EXPECT_EQ(client.Ask("ACCES\t1234\t"), Frame("STATUT\t000\t"));
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0);
    EXPECT_TRUE(client.PeerGone());
}

TEST(SimProgram, StationsRecordEventsWhileRunning) {
    Program program({"--pty", "--events-every", "5", "--exit-on-eof"});
    const std::string line = program.ReadLine();
    ASSERT_EQ(line.rfind("PORT /dev/", 0), 0u) << line;
    sim_test::Client client;
    ASSERT_TRUE(client.OpenPty(line.substr(5)));
    // Nothing but the line tells when the other process has recorded: ask until it has.
    std::string reply;
    for (int i = 0; i < 2000 && (reply = client.Ask("J?\t")) == Frame("STATUT\t001\t"); ++i) ::poll(nullptr, 0, 5);
    ASSERT_EQ(reply.size(), 48u) << trs::sim::Printable(reply);
    EXPECT_EQ(reply.substr(0, 10), "J=\tE\t0001\t");
    EXPECT_EQ(reply.substr(24, 22), "\t0000\t-\t001\t-\t-\t1\t-\t-\t");
    program.CloseStdin();
    EXPECT_EQ(program.Wait(), 0);
}

TEST(SimProgram, BadOptionsFail) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"--pty", "--station", "abc"},
        {"--pty", "--station", "0"},
        {"--pty", "--set", "5:AI12=1"},           // no station 5
        {"--pty", "--station", "5", "--set", "5:QQ1=1"},
        {"--call-in", "localhost:99"},
        {"--call-in", "localhost:0:5"},
        {"--pty", "--config", "/nonexistent.toml"},
        {"--tcp", "70000"},
        {"--pty", "--events-every", "0"},
    };
    for (const auto &args : cases) {
        Program program(args);
        EXPECT_NE(program.Wait(), 0) << (args.empty() ? std::string("(no options)") : args.back());
    }
}

} // namespace
