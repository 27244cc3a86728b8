// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What every timing benchmark prints beside its figures, and the load it
// runs under: the load average, the compiles of the loaded case, and
// p50/p99/max of a set of deviations.
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

// C++ compiles in a loop, as a musician's machine runs them beside the
// music: each process compiles a translation unit heavy with the standard
// library over and over, for as long as this lives.
// A shell command run over and over, in its own process group, until this
// goes.
class ShellLoop {
public:
    explicit ShellLoop(const std::string& command) {
        std::fflush(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            setpgid(0, 0);
            const std::string loop = "while :; do " + command + "; done";
            execlp("sh", "sh", "-c", loop.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~ShellLoop() {
        if (pid_ <= 0) return;
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    ShellLoop(const ShellLoop&) = delete;
    ShellLoop& operator=(const ShellLoop&) = delete;

private:
    pid_t pid_ = -1;
};

class CompileLoops {
public:
    explicit CompileLoops(int n) {
        const std::string dir = "/tmp/vlxarp-bench-compile-" + std::to_string(getpid());
        source_ = dir + ".cpp";
        std::ofstream(source_) << "#include <algorithm>\n#include <map>\n#include <regex>\n#include <string>\n"
                                  "#include <vector>\n#include <iostream>\n"
                                  "int main(int argc, char** argv) {\n"
                                  "  std::map<std::string, std::vector<std::regex>> m;\n"
                                  "  for (int i = 1; i < argc; ++i) m[argv[i]].emplace_back(argv[i]);\n"
                                  "  for (auto& [k, v] : m) std::cout << k << v.size() << std::regex_match(k, v[0]);\n"
                                  "}\n";
        for (int i = 0; i < n; ++i) {
            std::fflush(nullptr);
            const pid_t pid = fork();
            if (pid == 0) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                setpgid(0, 0);
                const std::string loop = "while :; do g++ -O2 -std=c++20 -c " + source_ + " -o /dev/null; done";
                execlp("sh", "sh", "-c", loop.c_str(), static_cast<char*>(nullptr));
                _exit(127);
            }
            if (pid > 0) pids_.push_back(pid);
        }
    }
    ~CompileLoops() {
        for (pid_t pid : pids_) kill(-pid, SIGKILL);
        for (pid_t pid : pids_) kill(pid, SIGKILL);
        for (pid_t pid : pids_) waitpid(pid, nullptr, 0);
        std::remove(source_.c_str());
    }
    CompileLoops(const CompileLoops&) = delete;
    CompileLoops& operator=(const CompileLoops&) = delete;

private:
    std::vector<pid_t> pids_;
    std::string source_;
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
