// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A private X server (Xvfb) for one test, on a display number it picks
// itself, so that parallel tests never meet. kill() ends it abruptly, as a
// crash of the display would; the destructor stops it if still running.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>

namespace vlx::test {

class XServer {
public:
    XServer() {
        int ready[2];
        if (pipe(ready) != 0) throw std::runtime_error("pipe");
        std::fflush(nullptr);
        pid_ = fork();
        if (pid_ < 0) throw std::runtime_error("fork");
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            close(ready[0]);
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
            const std::string fd = std::to_string(ready[1]);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-screen", "0", "640x480x24",
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        close(ready[1]);
        // Xvfb writes its display number once it accepts connections.
        std::string number;
        pollfd p{ready[0], POLLIN, 0};
        char c = 0;
        while (poll(&p, 1, 10'000) > 0 && read(ready[0], &c, 1) == 1 && c != '\n') number += c;
        close(ready[0]);
        if (number.empty()) {
            kill();
            throw std::runtime_error("Xvfb did not start");
        }
        display_ = ":" + number;
    }
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;
    ~XServer() { end(SIGTERM); }

    const std::string& display() const { return display_; }
    void kill() { end(SIGKILL); }

private:
    void end(int signal) {
        if (pid_ <= 0) return;
        ::kill(pid_, signal);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    pid_t pid_ = -1;
    std::string display_;
};

}  // namespace vlx::test
