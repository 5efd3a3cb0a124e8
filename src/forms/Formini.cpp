#include "forms/Formini.h"

#include <QGuiApplication>
#include <QScreen>
#include <QShowEvent>
#include <QTimer>

#include "forms/ErrorReport.h"

namespace {
constexpr char kWindowPosition[] = "Window Position";
constexpr char kWindowState[] = "Window State";
}  // namespace

TFormINI::TFormINI(const std::string& exePath, QWidget* parent) : QMainWindow(parent) {
    paths_ = ComputeSettingsPaths(exePath);
    FIniFile = std::make_unique<TIniFile>(paths_.iniFile);
    LoadDefaults(*FIniFile, paths_);
}

TFormINI::~TFormINI() { WriteSettings(); }

void TFormINI::CreateParams() {
    const int top = FIniFile->ReadInteger(kWindowPosition, "Top", 0);
    const int left = FIniFile->ReadInteger(kWindowPosition, "Left", 0);
    const int width = FIniFile->ReadInteger(kWindowPosition, "Width", kLayoutWidth);
    const int height = FIniFile->ReadInteger(kWindowPosition, "Height", kLayoutHeight);
    QRect frame(left, top, width, height);
    // A place on a monitor that is gone would put the window out of reach.
    bool visible = false;
    for (const QScreen* screen : QGuiApplication::screens())
        visible = visible || screen->geometry().intersects(frame);
    if (!visible && QGuiApplication::primaryScreen())
        frame.moveTopLeft(QGuiApplication::primaryScreen()->availableGeometry().topLeft());
    move(frame.topLeft());
    // The stored size is the outer one; the frame is known only once the window is shown.
    resize(frame.size());
    pendingOuterSize_ = frame.size();
}

void TFormINI::showEvent(QShowEvent* event) {
    if (!event->spontaneous()) {
        const int state = FIniFile->ReadInteger(kWindowState, "WindowState", 0);
        Qt::WindowStates current = windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized);
        if (state == 0) {
            setWindowState(current);
        } else if (state == 1) {
            // Only at start-up: coming back from the notification area must not minimise again.
            if (!shownOnce_) setWindowState(current | Qt::WindowMinimized);
        } else if (state == 2) {
            setWindowState(current | Qt::WindowMaximized);
        }
        if (!shownOnce_ && pendingOuterSize_.isValid()) {
            QTimer::singleShot(0, this, [this] {
                const QSize extra = frameGeometry().size() - size();
                if (!isMaximized() && (extra.width() > 0 || extra.height() > 0))
                    resize(pendingOuterSize_ - extra);
                pendingOuterSize_ = QSize();
            });
        }
        shownOnce_ = true;
    }
    QMainWindow::showEvent(event);
}

int TFormINI::windowStateForSave() const {
    const Qt::WindowStates state = FHiddenToTrayState ? *FHiddenToTrayState : windowState();
    if (state & Qt::WindowMinimized) return 1;
    if (state & Qt::WindowMaximized) return 2;
    return 0;
}

void TFormINI::ReportExitError(const QString& text) {
    if (exitErrors_.contains(text)) return;
    exitErrors_.append(text);
    ShowErrorReport(text);
}

void TFormINI::WriteSettings() {
    if (settingsWritten_) return;
    settingsWritten_ = true;
    // Every write is tried even when one fails.
    auto attempt = [&](const std::function<void()>& write) {
        try {
            write();
        } catch (...) {
            ReportExitError(ErrorText(std::current_exception()));
        }
    };
    TIniFile& ini = *FIniFile;
    attempt([&] { SaveDefaults(ini); });
    const int state = windowStateForSave();
    const QRect frame = frameGeometry();
    if (state == 0) {
        attempt([&] { ini.WriteInteger(kWindowPosition, "Top", frame.top()); });
        attempt([&] { ini.WriteInteger(kWindowPosition, "Left", frame.left()); });
    }
    attempt([&] { ini.WriteInteger(kWindowPosition, "Width", frame.width()); });
    attempt([&] { ini.WriteInteger(kWindowPosition, "Height", frame.height()); });
    attempt([&] { ini.WriteInteger(kWindowState, "WindowState", state); });
}
