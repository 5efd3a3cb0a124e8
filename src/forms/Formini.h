// The main window's base: owns the settings file, reads the program's limits and paths before
// any control exists, places the window where it was left, re-applies the window state on every
// show, and writes it all back when destroyed.
#pragma once

#include <QMainWindow>
#include <QSize>
#include <QStringList>
#include <memory>
#include <optional>
#include <string>

#include "common/IniFile.h"
#include "common/Settings.h"

class TFormINI : public QMainWindow {
    Q_OBJECT
public:
    // Layout size (outer) used when the settings hold none.
    static constexpr int kLayoutWidth = 404;
    static constexpr int kLayoutHeight = 492;

    explicit TFormINI(const std::string& exePath, QWidget* parent = nullptr);
    ~TFormINI() override;

    const TSettingsPaths& paths() const { return paths_; }
    TIniFile* iniFile() const { return FIniFile.get(); }

    // 0 normal, 1 minimised, 2 maximised: the state written at exit.
    int windowStateForSave() const;

protected:
    // Places the window from [Window Position]; the derived window calls it once its controls
    // exist, before the first show.
    void CreateParams();
    // Writes [Defaults], [Window Position] and [Window State]. Runs from the destructor; a
    // derived window that needs them written earlier may call it itself (it runs only once).
    void WriteSettings();
    void showEvent(QShowEvent* event) override;
    // Reports an error of the exit steps; the same text is reported once.
    void ReportExitError(const QString& text);

    // While the window sits hidden in the notification area: the state it had before.
    std::optional<Qt::WindowStates> FHiddenToTrayState;
    std::unique_ptr<TIniFile> FIniFile;

private:
    TSettingsPaths paths_;
    QSize pendingOuterSize_;
    bool shownOnce_ = false;
    bool settingsWritten_ = false;
    QStringList exitErrors_;
};
