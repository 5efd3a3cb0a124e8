// Program entry: one instance per user. A later start hands its first argument (a recipient)
// to the running instance, which comes to the front, and ends without a window.
#include <QApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "forms/ErrorReport.h"
#include "forms/Startup.h"
#include "forms/main.h"
#include "platform/CodePage.h"
#include "platform/InstanceChannel.h"
#include "platform/InstanceServer.h"
#include "platform/Version.h"
#include "send/SendState.h"

namespace {

constexpr int kHandOffTimeoutMs = 3000;

int signalPipe[2] = {-1, -1};

void OnTerminationSignal(int) {
    const char byte = 1;
    [[maybe_unused]] ssize_t n = write(signalPipe[1], &byte, 1);
}

// SIGTERM and SIGINT close the main window the normal way, so everything is saved. Installed
// before a later start can find this instance; a signal that comes before the window exists
// ends the program as soon as the event loop runs.
void CloseOnTerminationSignals(QApplication& app, TQuorvelForm* const& form) {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) return;
    fcntl(signalPipe[1], F_SETFL, O_NONBLOCK);
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app, &form] {
        char buf[16];
        [[maybe_unused]] ssize_t n = read(signalPipe[0], buf, sizeof buf);
        if (form) form->close();
        else app.quit();
    });
    struct sigaction sa {};
    sa.sa_handler = OnTerminationSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
}

bool HasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value && *value) return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    // The first argument only, in the program's 8-bit code page; empty when there is none.
    const std::string argument = argc > 1 ? platform::Utf8ToCp1251(argv[1]) : std::string();

    std::string error;
    const std::string dir = platform::InstanceDirectory(&error);
    std::unique_ptr<platform::InstanceLock> lock;
    if (!dir.empty()) {
        try {
            lock = platform::InstanceLock::TryAcquire(dir);
        } catch (const std::exception& e) {
            error = e.what();
        }
        if (!lock && error.empty()) {
            // Another instance runs: hand over and end, touching no file and opening no window.
            if (platform::HandOffToRunningInstance(dir, argument, kHandOffTimeoutMs)) return 0;
            std::fprintf(stderr, "Quorvel: the running instance does not answer.\n");
            return 1;
        }
    }
    if (!error.empty())
        std::fprintf(stderr, "Quorvel: single-instance check unavailable (%s)\n", error.c_str());

    if (!HasDisplay()) {
        std::fprintf(stderr,
                     "Quorvel needs a graphical display, and none is set (DISPLAY is empty).\n"
                     "Start it on a desktop, or under a virtual X server:\n"
                     "    xvfb-run -a %s\n",
                     argv[0]);
        return 2;
    }

    QApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("Quorvel"));
    app.setOrganizationName(QStringLiteral("Quorvel"));
    // The window hides in the notification area; only closing the main window ends the program.
    app.setQuitOnLastWindowClosed(false);

    TQuorvelForm* form = nullptr;
    CloseOnTerminationSignals(app, form);

    platform::InstanceServer server;
    if (lock) {
        QString listenError;
        if (!server.listen(dir, &listenError))
            std::fprintf(stderr, "Quorvel: cannot listen for later starts: %s\n",
                         listenError.toLocal8Bit().constData());
    }

    form = new TQuorvelForm(platform::ExecutablePath());
    QObject::connect(form, &TQuorvelForm::closed, &app, &QApplication::quit, Qt::QueuedConnection);
    ConnectHandOff(server, *form);
    // The end of the desktop session closes the window the normal way.
    QObject::connect(&app, &QGuiApplication::commitDataRequest, form, [form] { form->close(); });

    // This instance's own argument takes the same road as one handed over later.
    form->WMCopyData(QByteArray(argument.data(), qsizetype(argument.size())));
    form->show();
    const int rc = app.exec();
    TQuorvelForm* closing = form;
    form = nullptr;
    delete closing;
    // A send still under way is not waited for; its threads end with the process, without
    // meeting the static destructors.
    if (SendInProgress.load()) {
        std::fflush(nullptr);
        _exit(rc);
    }
    return rc;
}
