// quorvel-messenger: receives messenger messages for the user who runs it (see --help).
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QWidget>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "messenger/Message.h"
#include "messenger/MessageLog.h"
#include "messenger/MessageWindow.h"
#include "messenger/Notifier.h"
#include "messenger/Options.h"
#include "messenger/PidFile.h"
#include "messenger/Server.h"

using namespace messenger;

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitRunning = 2;
constexpr int kExitUsage = 64;
constexpr int kMaxOpenWindows = 32;

void Say(const std::string& text) {
    std::fprintf(stderr, "quorvel-messenger: %s\n", text.c_str());
}

bool HasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* v = std::getenv(name);
        if (v && *v) return true;
    }
    return false;
}

// SIGTERM and SIGINT arrive on a descriptor; blocked before any thread exists, so no thread
// is ever interrupted by them.
int SignalDescriptor() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return -1;
    return signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const std::string err = ParseOptions(argc, argv, options); !err.empty()) {
        Say(err);
        std::fprintf(stderr, "Try 'quorvel-messenger --help'.\n");
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(UsageText().c_str(), stdout);
        return 0;
    }
    const bool windowed = !options.noWindow && HasDisplay();

    const int signalFd = SignalDescriptor();
    if (signalFd < 0) {
        Say("cannot set up signal handling");
        return kExitFailure;
    }

    // The pid file first: a second instance must not touch the socket of the first.
    PidFile pidFile;
    if (!options.pidFile.empty()) {
        std::string err;
        switch (pidFile.Acquire(options.pidFile, err)) {
            case PidFile::Lock::Taken:
                break;
            case PidFile::Lock::Busy:
                Say("already running (" + options.pidFile + " is locked)");
                return kExitRunning;
            case PidFile::Lock::Failed:
                Say(err);
                return kExitFailure;
        }
    }
    auto fail = [&](const std::string& err) {
        Say(err);
        pidFile.Remove();
        return kExitFailure;
    };

    MessageLog log(options.logPath.empty() ? DefaultLogPath() : options.logPath);
    if (!log.isOpen()) return fail(log.error());

    std::string err;
    int listenFd = ActivatedSocket(err);
    if (listenFd == -2) return fail(err);
    if (listenFd < 0) listenFd = ListenTcp(options.listen, options.port, err);
    if (listenFd < 0) return fail(err);
    if (!options.pidFile.empty() && !pidFile.WritePid(err)) return fail(err);

    std::unique_ptr<QCoreApplication> app;
    std::unique_ptr<MessageWindows> windows;
    const bool needQt = windowed || options.notify;
    if (windowed) {
        app = std::make_unique<QApplication>(argc, argv);
        static_cast<QApplication*>(app.get())->setQuitOnLastWindowClosed(false);
        windows = std::make_unique<MessageWindows>(kMaxOpenWindows);
    } else if (needQt) {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }

    const std::string codePage = options.codePage;
    MessageSink sink = [&](const WireText& wire, const std::string& peer) {
        Message m = DecodeMessage(wire, codePage.c_str());
        m.received = std::chrono::system_clock::now();
        m.peer = peer;
        // The record comes first: whatever happens to the window, the message is kept.
        const bool logged = log.Append(m);
        if (!logged) Say("cannot write the message log " + log.path());
        if (needQt) {
            QMetaObject::invokeMethod(
                app.get(),
                [&, m] {
                    if (windows && !windows->Show(m)) {
                        Say("too many message windows open; the message is in the log only");
                    }
                    if (options.notify) Notify(m);
                },
                Qt::QueuedConnection);
        }
        return logged || windowed;
    };

    ServerOptions serverOptions;
    serverOptions.timeoutMs = options.timeoutMs;
    serverOptions.maxConnections = options.maxConnections;
    Server server(listenFd, serverOptions, sink);

    bool served = true;
    if (!needQt) {
        served = server.Run(signalFd, err);
    } else {
        const int stop = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (stop < 0) return fail("eventfd failed");
        std::string serverError;
        std::thread serving([&] {
            if (!server.Run(stop, serverError)) {
                QMetaObject::invokeMethod(
                    app.get(), [&] { QCoreApplication::exit(1); }, Qt::QueuedConnection);
            }
        });
        QSocketNotifier onSignal(signalFd, QSocketNotifier::Read);
        QObject::connect(&onSignal, &QSocketNotifier::activated, app.get(),
                         [] { QCoreApplication::quit(); });
        app->exec();
        const std::uint64_t one = 1;
        if (write(stop, &one, sizeof one) != sizeof one) Say("cannot stop the server thread");
        serving.join();
        close(stop);
        served = serverError.empty();
        err = serverError;
        if (windowed) {
            for (QWidget* w : QApplication::topLevelWidgets()) delete w;
        }
        windows.reset();
        app.reset();
    }
    close(listenFd);
    close(signalFd);
    pidFile.Remove();
    if (!served) {
        Say(err);
        return kExitFailure;
    }
    return 0;
}
