// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A program run as a child process for a test or a measurement: its stdin
// and stdout on pipes (its stderr into a file, when given one), with the
// arguments given, killed if still running when this goes away.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace vlx::test {

class ChildProgram {
public:
    ChildProgram(const std::string& exe, const std::vector<std::string>& env, const std::string& stderrFile = {},
                 std::vector<std::string> args = {})
        : env_(env) {
        args.insert(args.begin(), exe);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) throw std::runtime_error("pipe");
        pid_ = fork();
        if (pid_ < 0) throw std::runtime_error("fork");
        if (pid_ == 0) {
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
            if (!stderrFile.empty() && !std::freopen(stderrFile.c_str(), "w", stderr)) _exit(126);
            for (auto& e : env_) putenv(e.data());
            execv(exe.c_str(), argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        in_ = in[1];
        out_ = out[0];
    }
    ChildProgram(const ChildProgram&) = delete;
    ChildProgram& operator=(const ChildProgram&) = delete;
    ~ChildProgram() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(in_);
        close(out_);
    }

    pid_t pid() const { return pid_; }

    void send(const std::string& line) {
        const std::string text = line + "\n";
        if (write(in_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            throw std::runtime_error("child stdin");
    }
    // The next line of output that starts with `prefix`; empty on timeout.
    std::string waitFor(const std::string& prefix, int timeoutMs) {
        for (;;) {
            for (auto nl = buffer_.find('\n'); nl != std::string::npos; nl = buffer_.find('\n')) {
                std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                if (line.rfind(prefix, 0) == 0) return line;
            }
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) <= 0) return {};
            char buf[256];
            const auto n = read(out_, buf, sizeof buf);
            if (n <= 0) return {};
            buffer_.append(buf, static_cast<std::size_t>(n));
        }
    }
    // Sends SIGTERM and returns the exit status (-1 when it did not exit).
    int terminate(int timeoutMs) {
        signal(SIGTERM);
        return waitExit(timeoutMs);
    }
    void signal(int number) {
        if (pid_ > 0) kill(pid_, number);
    }
    // The exit status, or 128 + the signal that ended it; -1 when it has not
    // ended within the time.
    int waitExit(int timeoutMs) {
        if (pid_ <= 0) return status_;
        for (int waited = 0; waited < timeoutMs; waited += 10) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return status_;
            }
            usleep(10'000);
        }
        return -1;
    }

private:
    std::vector<std::string> env_;
    pid_t pid_ = -1;
    int status_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string buffer_;
};

}  // namespace vlx::test
