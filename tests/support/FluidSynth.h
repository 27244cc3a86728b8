// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A real synth for a test: FluidSynth with a General MIDI soundfont, its
// MIDI input and audio outputs on a given JACK server.
//
//   std::string why;
//   if (!vlx::test::FluidSynth::available(&why)) GTEST_SKIP() << why;
//   vlx::test::FluidSynth synth(server.name(), "synth", 12);  // GM program 13, marimba
//   ... connect synth.midiIn(), synth.left(), synth.right() ...
//
// The constructor returns once the synth has selected the program and its
// ports are registered; it throws std::runtime_error when it does not get
// there. Its command shell reads a pipe this object holds open; the
// destructor closes it ("quit"), then ends the process if it lingers.
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vlx::test {

class FluidSynth {
public:
    // The small General MIDI soundfont Debian ships, or any other one there.
    static std::string soundfont() {
        for (const char* path : {"/usr/share/sounds/sf2/TimGM6mb.sf2", "/usr/share/sounds/sf2/default-GM.sf2",
                                 "/usr/share/sounds/sf2/FluidR3_GM.sf2"})
            if (std::filesystem::exists(path)) return path;
        return {};
    }
    static bool available(std::string* why) {
        if (!onPath("fluidsynth")) *why = "fluidsynth is not installed";
        else if (soundfont().empty()) *why = "no General MIDI soundfont in /usr/share/sounds/sf2";
        else return true;
        return false;
    }

    FluidSynth(const std::string& serverName, const std::string& name, int program) : name_(name) {
        int in[2], out[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0) throw std::runtime_error("pipe");
        const std::string font = soundfont();
        // No reverb or chorus: a dry tone whose notes begin and end cleanly.
        std::vector<std::string> args = {"fluidsynth", "-a", "jack", "-m", "jack", "-R", "0", "-C", "0", "-g", "0.5",
                                         "-o", "audio.jack.id=" + name, "-o", "midi.jack.id=" + name,
                                         "-o", "audio.jack.server=" + serverName, "-o", "midi.jack.server=" + serverName,
                                         font};
        std::fflush(nullptr);
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork");
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            ::setenv("JACK_DEFAULT_SERVER", serverName.c_str(), 1);
            ::dup2(in[0], STDIN_FILENO);
            ::dup2(out[1], STDOUT_FILENO);
            ::dup2(out[1], STDERR_FILENO);
            for (int fd : {in[0], in[1], out[0], out[1]}) ::close(fd);
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execvp("fluidsynth", argv.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        in_ = in[1];
        out_ = out[0];
        // The shell answers only once the drivers, and so the ports, exist.
        command("prog 0 " + std::to_string(program));
        command("echo synth-ready");
        if (!waitForLine("synth-ready", std::chrono::seconds(20))) {
            stop();
            throw std::runtime_error("fluidsynth did not come up; it said:\n" + said_);
        }
    }
    FluidSynth(const FluidSynth&) = delete;
    FluidSynth& operator=(const FluidSynth&) = delete;
    ~FluidSynth() { stop(); }

    std::string midiIn() const { return name_ + ":midi_00"; }
    std::string left() const { return name_ + ":left"; }
    std::string right() const { return name_ + ":right"; }

private:
    static bool onPath(const std::string& program) {
        const char* path = std::getenv("PATH");
        const std::string dirs = path ? path : "/usr/bin:/bin";
        for (std::size_t from = 0; from <= dirs.size();) {
            const std::size_t to = std::min(dirs.find(':', from), dirs.size());
            const std::string dir = dirs.substr(from, to - from);
            if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0) return true;
            from = to + 1;
        }
        return false;
    }

    void command(const std::string& line) {
        const std::string text = line + "\n";
        if (::write(in_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            throw std::runtime_error("fluidsynth's command shell is gone");
    }

    bool waitForLine(const std::string& line, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (said_.find("\n" + line + "\n") == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{out_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
            char buf[512];
            const auto n = ::read(out_, buf, sizeof buf);
            if (n <= 0) return false;
            said_.append(buf, static_cast<std::size_t>(n));
        }
        return true;
    }

    void stop() {
        if (pid_ <= 0) return;
        if (in_ >= 0) {
            [[maybe_unused]] const auto w = ::write(in_, "quit\n", 5);
            ::close(in_);
            in_ = -1;
        }
        int status = 0;
        bool ended = false;
        for (int i = 0; i < 300 && !(ended = ::waitpid(pid_, &status, WNOHANG) == pid_); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!ended) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
        ::close(out_);
        pid_ = -1;
    }

    std::string name_;
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string said_;
};

}  // namespace vlx::test
