#include "app/Program.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include <QApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QTimer>

#include "app/CommandLine.h"

namespace vlx {

namespace {

int signalPipe[2] = {-1, -1};

void onTerminate(int) {
    const char byte = 1;
    // Only async-signal-safe work here: the event loop does the rest.
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

bool watchTerminate() {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) != 0) return false;
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
    if (const QString advice = DisplayAdvice(command); !advice.isEmpty()) {
        std::fputs(advice.toLocal8Bit().constData(), stderr);
        return 1;
    }
    qtHandler = qInstallMessageHandler(adviseOnFatal);
    QApplication app(argc, argv);
    qInstallMessageHandler(qtHandler);
    QApplication::setApplicationName(QStringLiteral("VLXArp"));
    QApplication::setOrganizationName(QStringLiteral("Veloxa"));
    QApplication::setApplicationVersion(QStringLiteral(VLX_VERSION));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/vlxarp/vlxarp.png")));

    std::unique_ptr<Form1> form;
    try {
        form = std::make_unique<Form1>(createHost);
    } catch (const std::exception& e) {
        const QString text = QObject::tr("VLXArp could not start.\n\n%1").arg(QString::fromUtf8(e.what()));
        std::fprintf(stderr, "%s\n", qPrintable(text));
        if (!headless()) QMessageBox::critical(nullptr, QStringLiteral("Veloxa Arpeggiator"), text);
        return 1;
    }

    if (!watchTerminate()) std::fprintf(stderr, "VLXArp: SIGTERM and SIGINT will not close the window cleanly\n");
    QSocketNotifier terminate(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&terminate, &QSocketNotifier::activated, form.get(), [&form] {
        char bytes[16];
        while (::read(signalPipe[0], bytes, sizeof bytes) > 0) {
        }
        // As two closes of the window: the first switches arpeggiation off,
        // the second, once the last note-offs are out, saves and ends. A
        // message box still open would hold the program up: it goes first.
        auto closeWindow = [&form] {
            for (int i = 0; i < 8 && QApplication::activeModalWidget(); ++i) QApplication::activeModalWidget()->close();
            form->close();
        };
        closeWindow();
        QTimer::singleShot(100, form.get(), closeWindow);
    });

    form->show();
    if (started) QTimer::singleShot(0, form.get(), [&] { started(*form); });
    const int status = QApplication::exec();
    form.reset();
    return status;
}

}  // namespace vlx
