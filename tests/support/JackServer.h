// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A private JACK server for one test process, under a name no other process
// uses, so parallel test runs never meet. Either JACK 2 (`jackd -d dummy`)
// or PipeWire's daemon serving JACK programs through its libjack, chosen by
// VLX_TEST_JACK:
//
//   (unset) or jack2   jackd with the dummy driver
//   pipewire           `pipewire` with its dummy driver, in a runtime folder of
//                      this process (PIPEWIRE_RUNTIME_DIR), the quantum and
//                      rate forced to the period and rate asked for. The test
//                      process and every program it starts must load
//                      PipeWire's libjack (LD_LIBRARY_PATH=<libdir>/pipewire-0.3/jack,
//                      as pw-jack sets it); the server refuses to start
//                      otherwise, and so does a JACK 2 server under
//                      PipeWire's libjack. PipeWire's libjack connects to
//                      the server PIPEWIRE_REMOTE names whatever name a
//                      client asks for, so the server started last is the
//                      one every client of this process finds.
//
//   vlx::test::JackServer server(48000, 256);   // starts it, waits until it answers
//   server.makeDefault();                       // clients opened by no name find it
//   ... open clients (they find it through makeDefault() or name()) ...
//   server.kill();                              // optional: SIGKILL, to test a lost server
//   server.crash(); ... server.restart();       // killed, then back under the same name
//   // the destructor stops it (SIGTERM, then SIGKILL) and waits for it
//
// Link with the jack library (pkg-config jack). Throws std::runtime_error
// when the server cannot be started or does not answer within the timeout.
//
// Opening clients: libjack (JACK 2) names a client's notification socket
// after the client alone, not its server, so two clients of the same name
// opening at the same moment on two servers (parallel test processes)
// break each other's handshake. Open clients while holding
// JackServer::lockClientOpens(), which serialises opens across processes:
//
//   std::unique_ptr<vlx::host::JackHost> host;
//   { auto lock = vlx::test::JackServer::lockClientOpens(); host = std::make_unique<vlx::host::JackHost>(); }
//
// (JackTester takes the lock itself.) A test whose clients open in another
// process (the program itself) cannot take it: give that ctest test the
// property RESOURCE_LOCK jack_clients, as the host's JACK tests have.
//
// A test process that dies takes its server along, and registry slots left
// by JACK 2 servers whose test died are given back when the next server
// starts.
#include <fcntl.h>
#include <jack/jack.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vlx::test {

class JackServer {
public:
    // Real-time, as jackd runs by default; Normal as it runs for a user
    // without real-time rights (jackd -r; PipeWire's daemon has no such
    // switch and runs as it can).
    enum class Scheduling { RealTime, Normal };

    explicit JackServer(int rate = 48000, int period = 256, Scheduling scheduling = Scheduling::RealTime,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10))
        : name_(uniqueName()), rate_(rate), period_(period), scheduling_(scheduling) {
        checkLibrary();
        reclaimAbandonedSlots();
        start();
        if (!waitUntilAnswers(timeout)) {
            stop();
            throw std::runtime_error(std::string(pipewire() ? "pipewire" : "jackd") +
                                     " (dummy driver) did not answer as server " + name_);
        }
    }
    JackServer(const JackServer&) = delete;
    JackServer& operator=(const JackServer&) = delete;
    ~JackServer() {
        stop();
        if (crashed_ && !pipewire()) startAndStopToFreeSlot();
        if (killed_) removeLeftovers();  // what the killed server's clients left since
        if (pipewire()) {
            std::error_code ec;
            std::filesystem::remove_all(configHome(), ec);
        }
    }

    // Whether the servers are PipeWire's (VLX_TEST_JACK=pipewire).
    static bool pipewire() {
        const char* kind = std::getenv("VLX_TEST_JACK");
        return kind && std::string(kind) == "pipewire";
    }
    // For messages: "JACK 2" or "PipeWire".
    static const char* kindName() { return pipewire() ? "PipeWire" : "JACK 2"; }

    // Held while a client opens; see the top of this file.
    class ClientOpenLock {
    public:
        ClientOpenLock() : fd_(::open("/tmp/vlx-jack-client-open.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666)) {
            if (fd_ >= 0) ::flock(fd_, LOCK_EX);
        }
        ~ClientOpenLock() {
            if (fd_ >= 0) ::close(fd_);  // releases the lock
        }
        ClientOpenLock(const ClientOpenLock&) = delete;
        ClientOpenLock& operator=(const ClientOpenLock&) = delete;

    private:
        int fd_;
    };
    [[nodiscard]] static std::unique_ptr<ClientOpenLock> lockClientOpens() { return std::make_unique<ClientOpenLock>(); }

    const std::string& name() const { return name_; }
    int rate() const { return rate_; }
    int period() const { return period_; }
    bool running() const { return pid_ > 0; }

    pid_t pid() const { return pid_; }

    // Lets clients opened with no server name (as the program's host does)
    // find this server; programs started later inherit it. PipeWire's libjack
    // takes the server from PIPEWIRE_REMOTE instead of JACK_DEFAULT_SERVER.
    void makeDefault() const {
        ::setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
        if (pipewire()) ::setenv("PIPEWIRE_REMOTE", name_.c_str(), 1);
    }

    // Ends the server abruptly, as a crash would. A killed server keeps its
    // slot in JACK's shared registry (8 servers per machine) until a server
    // of the same name starts again, so one is started and stopped to give
    // the slot back. That one is watched through its socket file only: a
    // process whose clients lost their server must not open new ones before
    // closing those (libjack then frees the old clients under them).
    void kill() {
        killed_ = true;
        end(SIGKILL, std::chrono::seconds(5));
        if (!pipewire()) startAndStopToFreeSlot();
    }
    // Ends the server abruptly and keeps its name for restart() (a JACK 2
    // server's registry slot goes back when it restarts, or at the end).
    void crash() {
        killed_ = crashed_ = true;
        end(SIGKILL, std::chrono::seconds(5));
    }
    // Starts the server again under its name and waits until it answers,
    // opening a client here: clients of this process that lost the server
    // must be closed first (see kill()).
    void restart(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        stop();
        removeLeftovers();
        start();
        crashed_ = false;
        if (!waitUntilAnswers(timeout)) throw std::runtime_error("the server did not come back as " + name_);
    }

    // Gives back the registry slots of private servers whose test process is
    // gone (killed by a timeout, crashed), so that they cannot pile up to
    // JACK's limit and keep every later server from starting.
    static void reclaimAbandonedSlots() {
        if (pipewire()) return removeAbandonedRuntimeFolders();
        const int lockFd = ::open("/tmp/vlx-jack-reclaim.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (lockFd >= 0) ::flock(lockFd, LOCK_EX);
        std::ifstream registry("/dev/shm/jack-shm-registry", std::ios::binary);
        const std::string data((std::istreambuf_iterator<char>(registry)), std::istreambuf_iterator<char>());
        static const std::regex entry(R"(:(vlxtest-(\d+)-\d+):)");
        std::vector<std::string> abandoned;
        for (std::sregex_iterator it(data.begin(), data.end(), entry), end; it != end; ++it) {
            const auto owner = static_cast<pid_t>(std::stol((*it)[2].str()));
            if (::kill(owner, 0) != 0 && errno == ESRCH) abandoned.push_back((*it)[1].str());
        }
        for (const auto& name : abandoned) {
            JackServer slot(AbandonedName{name});
            if (!slot.stopOrphan()) slot.startAndStopToFreeSlot();
        }
        if (lockFd >= 0) ::close(lockFd);
    }

    // Ends the server in order; idempotent.
    void stop() {
        end(SIGTERM, std::chrono::seconds(5));
    }

private:
    // PipeWire: the runtime folder of this process, where the servers' sockets live.
    static const std::string& runtimeFolder() {
        static const std::string folder = [] {
            const std::string path = "/tmp/vlxtest-pw-" + std::to_string(::getpid());
            std::filesystem::create_directories(path);
            std::filesystem::permissions(path, std::filesystem::perms::owner_all);
            ::setenv("PIPEWIRE_RUNTIME_DIR", path.c_str(), 1);
            std::atexit([] {
                std::error_code ec;
                std::filesystem::remove_all("/tmp/vlxtest-pw-" + std::to_string(::getpid()), ec);
            });
            return path;
        }();
        return folder;
    }
    std::string configHome() const { return runtimeFolder() + "/" + name_ + ".config"; }

    static void removeAbandonedRuntimeFolders() {
        std::error_code ec;
        static const std::regex folder(R"(vlxtest-pw-(\d+))");
        for (const auto& entry : std::filesystem::directory_iterator("/tmp", ec)) {
            std::smatch m;
            const std::string file = entry.path().filename().string();
            if (!std::regex_match(file, m, folder)) continue;
            const auto owner = static_cast<pid_t>(std::stol(m[1].str()));
            if (::kill(owner, 0) != 0 && errno == ESRCH) std::filesystem::remove_all(entry.path(), ec);
        }
    }

    // The libjack loaded here must be the one of the servers asked for.
    static void checkLibrary() {
        const bool pipewireLibrary = std::strstr(jack_get_version_string(), "PipeWire") != nullptr;
        if (pipewireLibrary != pipewire())
            throw std::runtime_error(std::string("VLX_TEST_JACK asks for ") + kindName() +
                                     " servers, but the libjack loaded is " + jack_get_version_string() +
                                     (pipewire() ? " (set LD_LIBRARY_PATH to PipeWire's jack folder)" : ""));
    }

    struct AbandonedName {
        std::string name;
    };
    explicit JackServer(AbandonedName n) : name_(std::move(n.name)), rate_(48000), period_(1024) {}

    void startAndStopToFreeSlot() {
        removeLeftovers();
        start();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        int status = 0;
        while (!socketExists() && std::chrono::steady_clock::now() < deadline) {
            // It refuses to start while the dead server's process lingers
            // unreaped; a later run frees the slot then.
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        stop();
        removeLeftovers();
    }

    // A server of this name that outlived its test process: stopped by its
    // process id, found by its command line. False when there is none.
    bool stopOrphan() const {
        std::error_code ec;
        for (const auto& proc : std::filesystem::directory_iterator("/proc", ec)) {
            const std::string pid = proc.path().filename().string();
            if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
            std::ifstream cmdline(proc.path() / "cmdline", std::ios::binary);
            std::vector<std::string> args;
            for (std::string arg; std::getline(cmdline, arg, '\0');) args.push_back(arg);
            const bool isJackd = !args.empty() && std::filesystem::path(args[0]).filename() == "jackd";
            bool named = false;
            for (std::size_t i = 0; i + 1 < args.size(); ++i) named = named || (args[i] == "-n" && args[i + 1] == name_);
            if (!isJackd || !named) continue;
            const auto orphan = static_cast<pid_t>(std::stol(pid));
            ::kill(orphan, SIGTERM);
            for (int i = 0; i < 500 && ::kill(orphan, 0) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            return true;
        }
        return false;
    }

    static std::string uniqueName() {
        static std::atomic<int> counter{0};
        return "vlxtest-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
    }

    void start() {
        std::vector<std::string> args = {"jackd", "-n", name_};
        if (scheduling_ == Scheduling::Normal) args.push_back("-r");
        for (const std::string& a : {std::string("-d"), std::string("dummy"), std::string("-r"), std::to_string(rate_),
                                     std::string("-p"), std::to_string(period_), std::string("-C"), std::string("0"),
                                     std::string("-P"), std::string("0")})
            args.push_back(a);
        if (pipewire()) {
            args = {"pipewire"};
            ::setenv("PIPEWIRE_REMOTE", name_.c_str(), 1);
            const std::filesystem::path conf = configHome() + "/pipewire/pipewire.conf.d";
            std::filesystem::create_directories(conf);
            // The stock daemon with its dummy driver, at the rate and period asked for.
            std::ofstream(conf / "vlxtest.conf")
                << "context.properties = {\n  default.clock.rate = " << rate_ << "\n  default.clock.allowed-rates = [ "
                << rate_ << " ]\n  default.clock.quantum = " << period_ << "\n  default.clock.min-quantum = " << period_
                << "\n  default.clock.max-quantum = " << period_ << "\n}\n";
        }
        std::fflush(nullptr);  // or the child would write our buffered output a second time
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork failed while starting jackd");
        if (pid_ == 0) {
            // A test process that dies or is killed takes its server along
            // (SIGTERM, so the server still leaves JACK's registry in order).
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            // jackd chatters on stdout; keep the test output readable.
            const char* verbose = std::getenv("VLX_JACKD_VERBOSE");
            if (!verbose) {
                FILE* null = std::freopen("/dev/null", "w", stdout);
                (void)null;
                null = std::freopen("/dev/null", "w", stderr);
                (void)null;
            }
            if (pipewire()) {
                // Its socket is named after the server; nothing of the
                // user's own PipeWire setup is read.
                ::setenv("PIPEWIRE_RUNTIME_DIR", runtimeFolder().c_str(), 1);
                ::setenv("PIPEWIRE_CORE", name_.c_str(), 1);
                ::setenv("XDG_CONFIG_HOME", configHome().c_str(), 1);
                ::unsetenv("PIPEWIRE_REMOTE");
            }
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execvp(argv[0], argv.data());
            ::_exit(127);
        }
    }

    bool waitUntilAnswers(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            if (!socketExists()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                continue;
            }
            jack_status_t js{};
            ClientOpenLock lock;
            jack_client_t* probe = jack_client_open(
                "probe", static_cast<jack_options_t>(JackNoStartServer | JackServerName), &js, name_.c_str());
            if (probe) {
                const bool asked = static_cast<int>(jack_get_buffer_size(probe)) == period_ &&
                                   static_cast<int>(jack_get_sample_rate(probe)) == rate_;
                jack_client_close(probe);
                if (!asked)
                    throw std::runtime_error("server " + name_ + " does not run at the period and rate asked for");
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    // Probing before the server's socket exists only makes libjack complain.
    bool socketExists() const {
        std::error_code ec;
        if (pipewire()) return std::filesystem::is_socket(runtimeFolder() + "/" + name_, ec);
        for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec))
            if (entry.path().filename().string().starts_with("jack_" + name_ + "_") && entry.is_socket(ec)) return true;
        return false;
    }

    void end(int signal, std::chrono::milliseconds grace) {
        if (pid_ <= 0) return;
        ::kill(pid_, signal);
        const auto deadline = std::chrono::steady_clock::now() + grace;
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) != pid_) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        pid_ = -1;
    }

    // A killed server leaves its semaphores and sockets behind; they carry
    // its name, which no other server shares.
    void removeLeftovers() const {
        std::error_code ec;
        if (pipewire()) {
            std::filesystem::remove(runtimeFolder() + "/" + name_, ec);
            std::filesystem::remove(runtimeFolder() + "/" + name_ + ".lock", ec);
            return;
        }
        for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec)) {
            const std::string file = entry.path().filename().string();
            if (file.find("_" + name_ + "_") != std::string::npos) std::filesystem::remove_all(entry.path(), ec);
        }
    }

    std::string name_;
    int rate_;
    int period_;
    Scheduling scheduling_;
    pid_t pid_ = -1;
    bool killed_ = false;
    bool crashed_ = false;  // killed, its name kept for restart()
};

}  // namespace vlx::test
