// SPDX-License-Identifier: GPL-3.0-or-later
// A test build of the program: the real window on the real host, with
// arpeggiation switched on from the keyboard (Alt+A) once the window is up.
// It prints "armed" on stdout when the button is down, so that a driver
// knows when to play.
//
// It then prints "window <id>", the window's native id, and takes commands
// on stdin, one a line: "toggle" presses Alt+A again and answers "on" or
// "off" once the button has moved; "count" answers "raised <n> thru-dropped
// <m>": the messages that reached the player's input path, and what the
// output had no room for; "stall" makes the window's thread hang
// for 30 s as soon as arpeggiation is switched off (a close that cannot
// finish), and answers "stalling"; "status" answers "status on|off <the
// status line>"; "dismiss" closes the message box shown, if any, as its OK
// button does, and answers "dismissed <its text>"; "notice" answers "notice
// <the text of the notice shown beside the window>" (empty without one);
// "peers" answers "peers
// <in>|<out>": the ports the program's host lists on its input and its
// output, each in name order, joined by commas; "box" opens a message box
// (as a refused tempo does) and answers "box"; "menu" opens the window's
// menu and answers "menu"; "close-popups" closes them and answers "closed";
// "select <list> <item>" picks the item of the list named (Octaves,
// Resolution, Sustain, Cycle) as a click in it would, and answers
// "selected <list> <item>"; "switch <name>" answers "switch <name> on|off"
// for the window's button or menu entry of that object name (Latch, KeepBeat).
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <QTest>

#include "app/Program.h"
#include "host/CreateHost.h"
#include "host/api/CycleProcessor.h"
#include "host/api/PortConnections.h"

namespace {

// Passes every call to the real host; the program's driver keeps it in use.
class ProbeHost final : public vlx::HostAutomation, public vlx::PortConnections, public vlx::CycleDriver {
public:
    // `slot` is where the program's driver keeps the probe in use.
    ProbeHost(std::shared_ptr<vlx::HostAutomation> inner, std::shared_ptr<ProbeHost>* slot)
        : inner_(std::move(inner)), slot_(slot), ports_(vlx::PortConnectionsOf(inner_.get())) {
        if (ports_) ports_->OnPortsChanged([this] { RaisePortsChanged(); });
        inner_->OnConnectionLost([this](const std::string& why) { RaiseConnectionLost(why); });
        inner_->OnRenewalDue([this] { RaiseRenewalDue(); });
    }
    ~ProbeHost() override {
        if (ports_) ports_->OnPortsChanged({});
        inner_->OnConnectionLost({});
        inner_->OnRenewalDue({});
    }

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
    std::int32_t HostTime() override { return inner_->HostTime(); }
    void SleepMs(std::int32_t n) override { inner_->SleepMs(n); }
    void Drive(vlx::CycleProcessor* processor) override {
        if (vlx::CycleDriver* driver = vlx::CycleDriverOf(inner_.get())) driver->Drive(processor);
    }
    // The reopened host is probed too.
    Reopen Reopener() override {
        Reopen inner = inner_->Reopener();
        if (!inner) return {};
        return [inner, slot = slot_]() -> std::shared_ptr<vlx::HostAutomation> {
            auto probe = std::make_shared<ProbeHost>(inner(), slot);
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
                } else if (std::strncmp(line, "notice", 6) == 0) {
                    QString text;
                    for (auto* box : form.findChildren<QMessageBox*>())
                        if (box->isVisible() && !box->isModal()) text = box->text();
                    std::printf("notice %s\n", qPrintable(text));
                    std::fflush(stdout);
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
                    const auto counts = form.player()->counters();
                    std::printf("raised %llu thru-dropped %llu\n", static_cast<unsigned long long>(counts.received),
                                static_cast<unsigned long long>(counts.unsent));
                    std::fflush(stdout);
                } else if (std::strncmp(line, "box", 3) == 0) {
                    // As a refused tempo shows it: a box that waits for OK.
                    auto* box = new QMessageBox(QMessageBox::NoIcon, form.windowTitle(),
                                                QStringLiteral("Value must be between 8 and 240"), QMessageBox::Ok, &form);
                    box->setAttribute(Qt::WA_DeleteOnClose);
                    box->open();
                    std::printf("box\n");
                    std::fflush(stdout);
                } else if (std::strncmp(line, "menu", 4) == 0) {
                    form.Menu->popup(form.mapToGlobal(form.rect().center()));
                    std::printf("menu\n");
                    std::fflush(stdout);
                } else if (std::strncmp(line, "select ", 7) == 0) {
                    const QStringList words = QString::fromLatin1(line + 7).trimmed().split(u' ');
                    auto* list = words.size() == 2 ? form.findChild<QComboBox*>(words[0]) : nullptr;
                    if (list) list->setCurrentText(words[1]);
                    std::printf("selected %s\n", list ? qPrintable(words.join(u' ') ) : "nothing");
                    std::fflush(stdout);
                } else if (std::strncmp(line, "switch ", 7) == 0) {
                    const QString name = QString::fromLatin1(line + 7).trimmed();
                    auto* button = form.findChild<QAbstractButton*>(name);
                    auto* entry = form.findChild<QAction*>(name);
                    const bool on = button ? button->isChecked() : entry && entry->isChecked();
                    std::printf("switch %s %s\n", qPrintable(name), button || entry ? (on ? "on" : "off") : "none");
                    std::fflush(stdout);
                } else if (std::strncmp(line, "close-popups", 12) == 0) {
                    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) box->accept();
                    form.Menu->close();
                    std::printf("closed\n");
                    std::fflush(stdout);
                }
            });
        });
    return status;
}
