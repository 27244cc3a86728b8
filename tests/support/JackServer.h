#pragma once
// A private JACK server for one test process: `jackd -d dummy` under a name
// no other process uses, so parallel test runs never meet.
//
//   vlx::test::JackServer server(48000, 256);   // starts it, waits until it answers
//   server.makeDefault();                       // JACK_DEFAULT_SERVER=<its name>
//   ... open clients (they find it through JACK_DEFAULT_SERVER or name()) ...
//   server.kill();                              // optional: SIGKILL, to test a lost server
//   // the destructor stops it (SIGTERM, then SIGKILL) and waits for it
//
// Link with the jack library (pkg-config jack). Throws std::runtime_error
// when jackd cannot be started or does not answer within the timeout.
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
// by servers whose test died are given back when the next server starts.
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
    explicit JackServer(int rate = 48000, int period = 256,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10))
        : name_(uniqueName()), rate_(rate), period_(period) {
        reclaimAbandonedSlots();
        start();
        if (!waitUntilAnswers(timeout)) {
            stop();
            throw std::runtime_error("jackd (dummy driver) did not answer as server " + name_);
        }
    }
    JackServer(const JackServer&) = delete;
    JackServer& operator=(const JackServer&) = delete;
    ~JackServer() {
        stop();
        if (killed_) removeLeftovers();  // what the killed server's clients left since
    }

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

    // Lets clients opened with no server name (as the program's host does)
    // find this server.
    void makeDefault() const { ::setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1); }

    // Ends the server abruptly, as a crash would. A killed server keeps its
    // slot in JACK's shared registry (8 servers per machine) until a server
    // of the same name starts again, so one is started and stopped to give
    // the slot back. That one is watched through its socket file only: a
    // process whose clients lost their server must not open new ones before
    // closing those (libjack then frees the old clients under them).
    void kill() {
        killed_ = true;
        end(SIGKILL, std::chrono::seconds(5));
        startAndStopToFreeSlot();
    }

    // Gives back the registry slots of private servers whose test process is
    // gone (killed by a timeout, crashed), so that they cannot pile up to
    // JACK's limit and keep every later server from starting.
    static void reclaimAbandonedSlots() {
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
        std::vector<std::string> args = {"jackd",         "-n", name_, "-d", "dummy", "-r", std::to_string(rate_),
                                         "-p", std::to_string(period_), "-C", "0", "-P", "0"};
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
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execvp("jackd", argv.data());
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
                jack_client_close(probe);
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    // Probing before the server's socket exists only makes libjack complain.
    bool socketExists() const {
        std::error_code ec;
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
        for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec)) {
            const std::string file = entry.path().filename().string();
            if (file.find("_" + name_ + "_") != std::string::npos) std::filesystem::remove_all(entry.path(), ec);
        }
    }

    std::string name_;
    int rate_;
    int period_;
    pid_t pid_ = -1;
    bool killed_ = false;
};

}  // namespace vlx::test
