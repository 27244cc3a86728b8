// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Program.h"

#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include <QAbstractNativeEventFilter>
#include <QApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QMessageBox>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>

#include "app/CommandLine.h"
#if __has_include(<xcb/xcb.h>)
#include <xcb/xcb.h>
#define VLX_WATCH_XCB 1
#endif

namespace vlx {

namespace {

int signalPipe[2] = {-1, -1};
std::atomic<int> signalsSeen{0};
std::atomic<bool> secondSignalWatched{false};
sem_t secondSignal;

void onTerminate(int) {
    const char byte = 1;
    // Only async-signal-safe work here: the event loop and the deadline's
    // thread do the rest.
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
    if (signalsSeen.fetch_add(1) >= 1 && secondSignalWatched.load()) sem_post(&secondSignal);
}

// From the start of a run: a signal from then on is taken as a request to
// end, however early it comes. A run in the same process (a test's) starts
// with none pending.
bool watchTerminate() {
    if (signalPipe[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) != 0)
        return false;
    char bytes[16];
    while (::read(signalPipe[0], bytes, sizeof bytes) > 0) {
    }
    signalsSeen.store(0);
    struct sigaction action {};
    action.sa_handler = onTerminate;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    // A closed terminal (SIGHUP) ends the program as cleanly as SIGTERM.
    return ::sigaction(SIGTERM, &action, nullptr) == 0 && ::sigaction(SIGINT, &action, nullptr) == 0 &&
           ::sigaction(SIGHUP, &action, nullptr) == 0;
}

QtMessageHandler qtHandler = nullptr;

// Qt ends the program with abort() when it cannot open its window system (a
// DISPLAY naming no reachable X server); say instead how to run it.
void adviseOnFatal(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtFatalMsg) {
        std::fputs(NoDisplayMessage().toLocal8Bit().constData(), stderr);
        std::_Exit(1);
    }
    if (qtHandler)
        qtHandler(type, context, message);
    else
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

// A second signal ends the program at once, whatever its close is doing (a
// save on a file system that hangs, a host that does not let go), once the
// note-offs of switching arpeggiation off have had their time to go out. It
// has a thread of its own, since the window's thread may be the one stuck.
class SecondSignalDeadline {
public:
    // Time for the note-offs handed to the host to leave it.
    static constexpr std::chrono::milliseconds kLetOut{250};

    SecondSignalDeadline() {
        static const bool made = sem_init(&secondSignal, 0, 0) == 0;
        if (!made) return;
        while (sem_trywait(&secondSignal) == 0) {
        }
        thread_ = std::thread([this] { run(); });
        secondSignalWatched.store(true);
    }
    ~SecondSignalDeadline() {
        if (!thread_.joinable()) return;
        secondSignalWatched.store(false);
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        sem_post(&secondSignal);
        thread_.join();
    }
    SecondSignalDeadline(const SecondSignalDeadline&) = delete;
    SecondSignalDeadline& operator=(const SecondSignalDeadline&) = delete;

    // An unattended close has begun.
    void begun() {
        std::lock_guard lock(mutex_);
        begun_ = true;
    }
    // The close has switched arpeggiation off: the note-offs are on their way.
    void silenced() {
        {
            std::lock_guard lock(mutex_);
            if (!begun_ || silencedAt_) return;
            silencedAt_ = std::chrono::steady_clock::now();
        }
        changed_.notify_all();
    }

private:
    void run() {
        while (sem_wait(&secondSignal) != 0 && errno == EINTR) {
        }
        std::unique_lock lock(mutex_);
        // Before the close has switched off, ending would leave notes sounding.
        changed_.wait(lock, [this] { return stopping_ || silencedAt_; });
        if (stopping_) return;
        changed_.wait_until(lock, *silencedAt_ + kLetOut, [this] { return stopping_; });
        if (stopping_) return;
        static const char text[] = "VLXArp: a second signal ends the program before its close has finished\n";
        [[maybe_unused]] const auto written = ::write(STDERR_FILENO, text, sizeof text - 1);
        ::_exit(1);
    }

    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
    bool begun_ = false;
    std::optional<std::chrono::steady_clock::time_point> silencedAt_;
};

// A close nobody watches (a signal, the session ending): as two closes of the
// window, the first switching arpeggiation off, the second saving and ending,
// with every message on stderr instead of in a box.
void closeUnattended(Form1& form, SecondSignalDeadline& deadline) {
    if (form.unloaded()) return;
    form.setUnattended();
    deadline.begun();
    if (!form.Enable->isChecked()) deadline.silenced();
    // A message box still open would hold the close up: it goes first.
    for (int i = 0; i < 8 && QApplication::activeModalWidget(); ++i) QApplication::activeModalWidget()->close();
    form.close();
    deadline.silenced();
    form.close();
}

// The session manager's "die" and any other quit of the application close
// the windows; this one's first close would only switch arpeggiation off and
// stop the quit.
class QuitWatch : public QObject {
public:
    QuitWatch(Form1& form, SecondSignalDeadline& deadline) : form_(form), deadline_(deadline) {}
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == qApp && event->type() == QEvent::Quit) closeUnattended(form_, deadline_);
        return false;
    }

private:
    Form1& form_;
    SecondSignalDeadline& deadline_;
};

// Qt ends the process with exit(1) when the connection to the X server
// breaks. The window cannot close then, but the notes can stop and the
// settings be saved, from here.
Form1* liveForm = nullptr;
pthread_t windowThread;

void endWithTheProcess() {
    Form1* form = std::exchange(liveForm, nullptr);
    if (!form || !pthread_equal(pthread_self(), windowThread)) return;
    std::fprintf(stderr, "VLXArp: the window's display went away; arpeggiation is switched off\n");
    form->endWithoutClose(true);
}

#ifdef VLX_WATCH_XCB
// What the X server does to the window from outside:
// - destroys it (xdotool windowclose, a window manager gone wrong): Qt
//   carries on without it, and so would the arpeggio, with nothing left to
//   close;
// - asks it to close (the window manager's close, WM_DELETE_WINDOW) while a
//   message waits for OK: Qt drops a close request to a window a modal box
//   blocks, and the program would play on. The box ends as if OK were
//   clicked, and the close goes on as any close does.
class WindowWatch : public QAbstractNativeEventFilter {
public:
    explicit WindowWatch(Form1& form) : form_(form) {
        auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
        xcb_connection_t* c = x11 ? x11->connection() : nullptr;
        if (!c) return;
        auto atom = [c](const char* name) {
            xcb_intern_atom_reply_t* reply =
                xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
            const xcb_atom_t a = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
            std::free(reply);
            return a;
        };
        wmProtocols_ = atom("WM_PROTOCOLS");
        wmDeleteWindow_ = atom("WM_DELETE_WINDOW");
    }
    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
        if (type != "xcb_generic_event_t") return false;
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        const int kind = event->response_type & 0x7F;
        if (kind == XCB_CLIENT_MESSAGE && wmDeleteWindow_ != XCB_ATOM_NONE) {
            const auto* asked = reinterpret_cast<const xcb_client_message_event_t*>(event);
            if (form_.unloaded() || asked->window != form_.internalWinId() || asked->type != wmProtocols_ ||
                asked->data.data32[0] != wmDeleteWindow_)
                return false;
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal) return false;  // Qt closes the window itself
            if (auto* box = qobject_cast<QMessageBox*>(modal))
                box->done(QMessageBox::Ok);
            else
                modal->close();
            // Once the box's own loop has returned.
            QMetaObject::invokeMethod(&form_, [this] { form_.close(); }, Qt::QueuedConnection);
            return true;
        }
        if (kind == XCB_DESTROY_NOTIFY && gone_ == 0) {
            const auto* destroyed = reinterpret_cast<const xcb_destroy_notify_event_t*>(event);
            if (form_.unloaded() || destroyed->window != form_.internalWinId()) return false;
            gone_ = destroyed->window;
            QMetaObject::invokeMethod(
                &form_,
                [this] {
                    std::fprintf(stderr, "VLXArp: the window was destroyed; arpeggiation is switched off\n");
                    form_.endWithoutClose(true);
                    QCoreApplication::exit(1);
                },
                Qt::QueuedConnection);
            return true;
        }
        // Qt's own requests on the window that is gone fail, as expected.
        if (kind == 0 && gone_ != 0 && reinterpret_cast<const xcb_generic_error_t*>(event)->resource_id == gone_)
            return true;
        return false;
    }

private:
    Form1& form_;
    xcb_window_t gone_ = 0;
    xcb_atom_t wmProtocols_ = XCB_ATOM_NONE;
    xcb_atom_t wmDeleteWindow_ = XCB_ATOM_NONE;
};
#endif

bool headless() {
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

}  // namespace

int RunProgram(int& argc, char** argv, const Form1::HostFactory& createHost,
               const std::function<void(Form1&)>& started) {
    // Answered before Qt starts: --help and --version need no display.
    const CommandLine command = ParseCommandLine(argc, argv);
    if (!command.run) {
        std::fputs(command.text.toLocal8Bit().constData(), command.exitStatus == 0 ? stdout : stderr);
        return command.exitStatus;
    }
    // First of all: Qt and the MIDI client take a while to start.
    if (!watchTerminate()) std::fprintf(stderr, "VLXArp: SIGTERM and SIGINT will not close the window cleanly\n");
    SecondSignalDeadline deadline;
    if (const QString advice = DisplayAdvice(command); !advice.isEmpty()) {
        std::fputs(advice.toLocal8Bit().constData(), stderr);
        return 1;
    }
    qtHandler = qInstallMessageHandler(adviseOnFatal);
    QApplication app(argc, argv);
    qInstallMessageHandler(qtHandler);
    // Asked to end before anything was opened: nothing to close or save.
    if (signalsSeen.load() > 0) return 0;
    QApplication::setApplicationName(QStringLiteral("VLXArp"));
    QApplication::setOrganizationName(QStringLiteral("Veloxa"));
    QApplication::setApplicationVersion(QStringLiteral(VLX_VERSION));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/vlxarp/vlxarp.png")));
    QSocketNotifier terminate(signalPipe[0], QSocketNotifier::Read);

    std::unique_ptr<Form1> form;
    try {
        form = std::make_unique<Form1>(createHost, command.options);
    } catch (const std::exception& e) {
        const QString text = QObject::tr("VLXArp could not start.\n\n%1").arg(QString::fromUtf8(e.what()));
        std::fprintf(stderr, "%s\n", qPrintable(text));
        if (headless() || signalsSeen.load() > 0) return 1;
        // Said on stderr already: a signal ends the box as its OK does.
        QMessageBox box(QMessageBox::Critical, QStringLiteral("Veloxa Arpeggiator"), text, QMessageBox::Ok);
        QObject::connect(&terminate, &QSocketNotifier::activated, &box, [&box] { box.done(QMessageBox::Ok); });
        box.exec();
        return 1;
    }
    // Registered after the host and the application exist, so that it runs
    // before their libraries' own exit-time clean-up.
    static const bool atExit = std::atexit(endWithTheProcess) == 0;
    if (!atExit) std::fprintf(stderr, "VLXArp: losing the display will not stop the notes cleanly\n");
    liveForm = form.get();
    windowThread = pthread_self();

    // Right after Enable_Click has sent the note-offs, before whatever else
    // reacts to the switch-off.
    QObject::connect(form->Enable, &QAbstractButton::toggled, form.get(), [&deadline](bool on) {
        if (!on) deadline.silenced();
    });
    QObject::connect(&terminate, &QSocketNotifier::activated, form.get(), [&form, &deadline] {
        char bytes[16];
        while (::read(signalPipe[0], bytes, sizeof bytes) > 0) {
        }
        closeUnattended(*form, deadline);
    });
    QuitWatch quitWatch(*form, deadline);
    app.installEventFilter(&quitWatch);
#ifdef VLX_WATCH_XCB
    WindowWatch windowWatch(*form);
    app.installNativeEventFilter(&windowWatch);
#endif

    int status = 0;
    if (signalsSeen.load() > 0) {
        // Asked to end while the window was made: it closes before it shows.
        closeUnattended(*form, deadline);
    } else {
        form->show();
        if (started) QTimer::singleShot(0, form.get(), [&] { started(*form); });
        status = QApplication::exec();
    }
    // Ended without a close of the window (QCoreApplication::exit).
    if (!form->unloaded()) form->endWithoutClose(false);
    status = std::max(status, form->exitStatus());
#ifdef VLX_WATCH_XCB
    app.removeNativeEventFilter(&windowWatch);
#endif
    app.removeEventFilter(&quitWatch);
    liveForm = nullptr;
    form.reset();
    return status;
}

}  // namespace vlx
