#pragma once
// What every timing benchmark prints beside its figures, and the load it
// runs under: the load average, the two busy processes of the loaded case,
// and p50/p99/max of a set of deviations.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace vlx::bench {

inline std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// Processes that only spin, for as long as this lives (and not a moment
// longer than the benchmark: they die with it).
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

struct Spread {
    std::size_t n = 0;
    double p50 = 0, p99 = 0, max = 0;
};

// Of absolute values.
inline Spread spreadOf(std::vector<double> v) {
    Spread s;
    s.n = v.size();
    if (v.empty()) return s;
    for (double& x : v) x = std::fabs(x);
    std::sort(v.begin(), v.end());
    auto at = [&](double q) { return v[std::min(v.size() - 1, static_cast<std::size_t>(q * static_cast<double>(v.size())))]; };
    s.p50 = at(0.5);
    s.p99 = at(0.99);
    s.max = v.back();
    return s;
}

inline void printSpread(const char* what, const Spread& s) {
    std::printf("  %-38s n=%-5zu p50 %7.3f  p99 %7.3f  max %7.3f ms\n", what, s.n, s.p50, s.p99, s.max);
}

}  // namespace vlx::bench
