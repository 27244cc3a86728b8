// A test build of the program: the real window on the real host, with
// arpeggiation switched on from the keyboard (Alt+A) once the window is up.
// It prints "armed" on stdout when the button is down, so that a driver
// knows when to play.
//
// It then prints "window <id>", the window's native id, and takes commands
// on stdin, one a line: "toggle" presses Alt+A again and answers "on" or
// "off" once the button has moved; "count" answers "raised <n> thru-dropped
// <m>": the MidiInput events the window has received, and the input the JACK
// host had no room to pass through; "stall" makes the window's thread hang
// for 30 s as soon as arpeggiation is switched off (a close that cannot
// finish), and answers "stalling"; "status" answers "status on|off <the
// status line>"; "dismiss" closes the message box shown, if any, as its OK
// button does, and answers "dismissed <its text>"; "peers" answers "peers
// <in>|<out>": the ports the program's host lists on its input and its
// output, each in name order, joined by commas.
//
// With VLX_LATENESS_REPORT=<file> it also notes, for every scheduled note it
// sends, the host millisecond it went out in minus the step's due time, and
// writes "lateness count" lines to that file at exit.
//
// With VLX_LATE_WAKE_US=<n> half of the wake-ups of the window's idle wait,
// chosen at random, come up to n microseconds late (uniformly drawn), as
// when the scheduler or another program holds the window's thread up.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <chrono>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <QTest>

#include "app/Program.h"
#include "host/CreateHost.h"
#include "host/jack/JackHost.h"
#include "host/PortConnections.h"
#include "model/HostTime.h"

namespace {

// Passes every call to the real host, noting how late each scheduled note
// goes out and, when asked, making the window's wake-ups late.
class ProbeHost final : public vlx::HostAutomation, public vlx::PortConnections {
public:
    // `slot` is where the program's driver keeps the probe in use.
    ProbeHost(std::shared_ptr<vlx::HostAutomation> inner, std::shared_ptr<ProbeHost>* slot)
        : inner_(std::move(inner)), slot_(slot), ports_(vlx::PortConnectionsOf(inner_.get())) {
        if (ports_) ports_->OnPortsChanged([this] { RaisePortsChanged(); });
        inner_->OnMidiInput([this](std::int32_t ts, std::int32_t port, std::int32_t s, std::int32_t d1,
                                   std::int32_t d2) {
            ++raised;
            RaiseMidiInput(ts, port, s, d1, d2);
        });
        inner_->OnConnectionLost([this](const std::string& why) { RaiseConnectionLost(why); });
        inner_->OnRenewalDue([this] { RaiseRenewalDue(); });
        if (const char* late = std::getenv("VLX_LATE_WAKE_US")) lateWakeUs_ = std::max(0L, std::atol(late));
    }
    ~ProbeHost() override {
        if (ports_) ports_->OnPortsChanged({});
        inner_->OnMidiInput({});
        inner_->OnConnectionLost({});
        inner_->OnRenewalDue({});
    }

    std::map<std::int32_t, long> lateness;
    long raised = 0;

    std::string HostVersion() override { return inner_->HostVersion(); }
    std::int32_t ExitWithClient() override { return inner_->ExitWithClient(); }
    void ExitWithClient(std::int32_t v) override { inner_->ExitWithClient(v); }
    std::int32_t InstanceNumber() override { return inner_->InstanceNumber(); }
    std::int32_t DivertInput() override { return inner_->DivertInput(); }
    void DivertInput(std::int32_t v) override { inner_->DivertInput(v); }
    std::int32_t RaiseInputEvents() override { return inner_->RaiseInputEvents(); }
    void RaiseInputEvents(std::int32_t v) override { inner_->RaiseInputEvents(v); }
    void SendMidiMessage(std::int32_t port, std::int32_t status, std::int32_t d1, std::int32_t d2) override {
        inner_->SendMidiMessage(port, status, d1, d2);
    }
    void SendMidiMessageAt(std::int32_t due, std::int32_t port, std::int32_t status, std::int32_t d1,
                           std::int32_t d2) override {
        ++lateness[vlx::hosttime::distance(due, inner_->HostTime())];
        inner_->SendMidiMessageAt(due, port, status, d1, d2);
    }
    std::optional<std::int64_t> MonotonicMicrosOf(std::int32_t hostMs) override {
        auto at = inner_->MonotonicMicrosOf(hostMs);
        if (at && lateWakeUs_ > 0 && coin_(rng_)) *at += std::uniform_int_distribution<long>(0, lateWakeUs_)(rng_);
        return at;
    }
    std::int32_t HostTime() override { return inner_->HostTime(); }
    // Input the JACK host had no room to pass through to its output.
    unsigned long long droppedThru() const {
        const auto* jack = dynamic_cast<const vlx::host::JackHost*>(inner_.get());
        return jack ? jack->droppedThru() : 0;
    }
    void SleepMs(std::int32_t n) override { inner_->SleepMs(n); }
    // The reopened host is probed too, and its counts go on from these.
    Reopen Reopener() override {
        Reopen inner = inner_->Reopener();
        if (!inner) return {};
        return [inner, slot = slot_, raisedSoFar = raised, latenessSoFar = lateness,
                lateWakeUs = lateWakeUs_]() -> std::shared_ptr<vlx::HostAutomation> {
            auto probe = std::make_shared<ProbeHost>(inner(), slot);
            probe->raised = raisedSoFar;
            probe->lateness = latenessSoFar;
            probe->lateWakeUs_ = lateWakeUs;
            *slot = probe;
            return probe;
        };
    }
    void Retire() override { inner_->Retire(); }
    void Flush() override { inner_->Flush(); }
    int EventFd() const override { return inner_->EventFd(); }
    void DeliverPending() override { inner_->DeliverPending(); }

    // The real host's connections (both backends have them).
    std::string OwnPortName(vlx::OwnPort p) override { return ports_->OwnPortName(p); }
    std::optional<std::vector<std::string>> Peers(vlx::OwnPort p) override { return ports_->Peers(p); }
    std::vector<std::string> Candidates(vlx::OwnPort p) override { return ports_->Candidates(p); }
    bool Connect(vlx::OwnPort p, const std::string& peer) override { return ports_->Connect(p, peer); }
    bool Disconnect(vlx::OwnPort p, const std::string& peer) override { return ports_->Disconnect(p, peer); }
    bool ConnectPorts(const std::string& from, const std::string& to) override { return ports_->ConnectPorts(from, to); }

private:
    std::shared_ptr<vlx::HostAutomation> inner_;
    std::shared_ptr<ProbeHost>* slot_;
    vlx::PortConnections* ports_;
    long lateWakeUs_ = 0;
    std::mt19937 rng_{std::random_device{}()};
    std::bernoulli_distribution coin_{0.5};
};

}  // namespace

int main(int argc, char** argv) {
    std::shared_ptr<ProbeHost> probe;
    const int status = vlx::RunProgram(
        argc, argv,
        [&probe] {
            probe = std::make_shared<ProbeHost>(vlx::CreateHost(), &probe);
            return probe;
        },
        [&probe](vlx::Form1& form) {
            // The window system's news first: the offscreen platform makes
            // every window it shows active, a notice of the start among them.
            QCoreApplication::processEvents();
            QApplication::setActiveWindow(&form);
            // An X server without a window manager may never say so; the
            // application's own active window is what Alt+A needs.
            if (!QTest::qWaitForWindowActive(&form, 1000)) std::fprintf(stderr, "window not active\n");
            QTest::keyClick(&form, Qt::Key_A, Qt::AltModifier);
            if (!QTest::qWaitFor([&] { return form.Enable->isChecked(); }, 5000)) {
                std::fprintf(stderr, "Alt+A did not switch arpeggiation on\n");
                return;
            }
            std::printf("armed\nwindow %llu\n", static_cast<unsigned long long>(form.winId()));
            std::fflush(stdout);

            // A toggle is answered from the event loop once the button has
            // moved: switched on, the window's own loop keeps running there.
            auto* watch = new QTimer(&form);
            watch->setInterval(5);
            auto* commands = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, &form);
            QObject::connect(commands, &QSocketNotifier::activated, &form, [&form, &probe, commands, watch] {
                char line[64];
                if (!std::fgets(line, sizeof line, stdin)) {
                    commands->setEnabled(false);
                    return;
                }
                if (std::strncmp(line, "toggle", 6) == 0) {
                    const bool was = form.Enable->isChecked();
                    // A message box closed meanwhile may have left no window active.
                    QApplication::setActiveWindow(&form);
                    QTest::keyClick(&form, Qt::Key_A, Qt::AltModifier);
                    QObject::disconnect(watch, nullptr, nullptr, nullptr);
                    QObject::connect(watch, &QTimer::timeout, &form, [&form, was, watch] {
                        if (form.Enable->isChecked() == was) return;
                        watch->stop();
                        std::printf("%s\n", was ? "off" : "on");
                        std::fflush(stdout);
                    });
                    watch->start();
                } else if (std::strncmp(line, "stall", 5) == 0) {
                    QObject::connect(form.Enable, &QPushButton::toggled, &form, [](bool on) {
                        if (!on) std::this_thread::sleep_for(std::chrono::seconds(30));
                    });
                    std::printf("stalling\n");
                    std::fflush(stdout);
                } else if (std::strncmp(line, "dismiss", 7) == 0) {
                    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                    std::printf("dismissed %s\n", box ? qPrintable(box->text()) : "");
                    std::fflush(stdout);
                    if (box) box->accept();
                } else if (std::strncmp(line, "status", 6) == 0) {
                    std::printf("status %s %s\n", form.Enable->isChecked() ? "on" : "off",
                                qPrintable(form.Status->text()));
                    std::fflush(stdout);
                } else if (std::strncmp(line, "peers", 5) == 0) {
                    std::string text;
                    for (const vlx::OwnPort port : {vlx::OwnPort::In, vlx::OwnPort::Out}) {
                        std::vector<std::string> names = probe->Peers(port).value_or(std::vector<std::string>{});
                        std::sort(names.begin(), names.end());
                        std::string joined;
                        for (const std::string& name : names) joined += (joined.empty() ? "" : ",") + name;
                        text += port == vlx::OwnPort::In ? joined + "|" : joined;
                    }
                    std::printf("peers %s\n", text.c_str());
                    std::fflush(stdout);
                } else if (std::strncmp(line, "count", 5) == 0) {
                    std::printf("raised %ld thru-dropped %llu\n", probe->raised, probe->droppedThru());
                    std::fflush(stdout);
                }
            });
        });
    if (const char* report = std::getenv("VLX_LATENESS_REPORT"); report && probe) {
        std::ofstream out(report);
        for (const auto& [ms, count] : probe->lateness) out << ms << ' ' << count << '\n';
    }
    return status;
}
