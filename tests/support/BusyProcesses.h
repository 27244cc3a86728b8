// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Processes that only spin, for as long as this lives (and not a moment
// longer than the test: they die with it), so that the cores are busy.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

namespace vlx::test {

class BusyProcesses {
public:
    explicit BusyProcesses(int n) {
        for (int i = 0; i < n; ++i) {
            std::fflush(nullptr);
            const pid_t pid = fork();
            if (pid == 0) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                volatile unsigned long spin = 0;
                for (;;) spin = spin + 1;
            }
            if (pid > 0) pids_.push_back(pid);
        }
    }
    ~BusyProcesses() {
        for (pid_t pid : pids_) kill(pid, SIGKILL);
        for (pid_t pid : pids_) waitpid(pid, nullptr, 0);
    }
    BusyProcesses(const BusyProcesses&) = delete;
    BusyProcesses& operator=(const BusyProcesses&) = delete;

private:
    std::vector<pid_t> pids_;
};

}  // namespace vlx::test
