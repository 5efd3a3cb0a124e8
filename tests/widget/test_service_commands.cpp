// The messenger service commands of the main window, with a scripted service control manager:
// which box each outcome shows, how it looks, and when the handles are closed.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>

#include "TempDir.h"
#include "common/defaults.h"
#include "forms/ErrorReport.h"
#include "forms/main.h"
#include "send/SendState.h"

using platform::ServiceAccess;
using testing_support::TempDir;

namespace {

// What the scripted manager answers, and everything that happened, in order.
struct Script {
    bool managerOpens = true;
    bool serviceOpens = true;
    bool accepted = true;
    std::vector<std::string> events;
};

class ScriptedService : public platform::TServiceHandle {
public:
    ScriptedService(ServiceAccess access, Script& script)
        : TServiceHandle(access), script_(script) {}
    ~ScriptedService() override { script_.events.push_back("close service"); }

protected:
    bool DoStop() override {
        script_.events.push_back("stop");
        return script_.accepted;
    }
    bool DoStart() override {
        script_.events.push_back("start");
        return script_.accepted;
    }

private:
    Script& script_;
};

class ScriptedManager : public platform::TServiceManager {
public:
    explicit ScriptedManager(Script& script) : script_(script) {}
    ~ScriptedManager() override { script_.events.push_back("close manager"); }

    std::unique_ptr<platform::TServiceHandle> OpenService(const std::string& name,
                                                          ServiceAccess access) override {
        script_.events.push_back("open " + name +
                                 (access == ServiceAccess::Stop ? " for stop" : " for start"));
        if (!script_.serviceOpens) return nullptr;
        return std::make_unique<ScriptedService>(access, script_);
    }

private:
    Script& script_;
};

// The box that opens next: its look is checked and written to the events, then OK is pressed.
void AnswerNextBox(Script& script) {
    QTimer::singleShot(0, [&script] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) {
            script.events.push_back("no box");
            return;
        }
        EXPECT_EQ(box->windowTitle(), ApplicationTitle());
        EXPECT_EQ(box->icon(), QMessageBox::NoIcon);
        EXPECT_EQ(box->windowModality(), Qt::ApplicationModal);
        ASSERT_EQ(box->buttons().size(), 1);
        EXPECT_EQ(box->standardButton(box->buttons().first()), QMessageBox::Ok);
        const QRect screen = box->screen()->availableGeometry();
        EXPECT_LE((box->frameGeometry().center() - screen.center()).manhattanLength(), 2)
            << "box at " << box->frameGeometry().x() << "," << box->frameGeometry().y();
        script.events.push_back("box " + box->text().toStdString());
        box->buttons().first()->click();
    });
}

class ServiceCommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetErrorReportHandler([](const QString& text) { ADD_FAILURE() << text.toStdString(); });
        form = std::make_unique<TQuorvelForm>(dir.file("Quorvel"));
        form->FOpenServiceManager = [this]() -> std::unique_ptr<platform::TServiceManager> {
            script.events.push_back("open manager");
            if (!script.managerOpens) return nullptr;
            return std::make_unique<ScriptedManager>(script);
        };
    }
    void TearDown() override {
        form.reset();
        SetErrorReportHandler({});
        SendInProgress = false;
    }

    TempDir dir;
    std::unique_ptr<TQuorvelForm> form;
    Script script;
};

TEST_F(ServiceCommandsTest, EachOutcomeShowsItsMessageAndClosesTheHandlesAfterTheBox) {
    // The texts as the user reads them.
    const std::string started = "Служба сообщений - запущена";
    const std::string notStarted = "Службу сообщений не удалось запустить";
    const std::string stopped = "Служба сообщений - остановлена";
    const std::string notStopped = "Службу сообщений не удалось остановить";
    struct Case {
        const char* what;
        ServiceAccess command;
        bool managerOpens, serviceOpens, accepted;
        std::vector<std::string> events;
    };
    const Case cases[] = {
        {"start accepted",
         ServiceAccess::Start,
         true,
         true,
         true,
         {"open manager", "open Messenger for start", "start", "box " + started, "close service",
          "close manager"}},
        {"start refused: already running",
         ServiceAccess::Start,
         true,
         true,
         false,
         {"open manager", "open Messenger for start", "start", "box " + notStarted, "close service",
          "close manager"}},
        {"service cannot be opened for start",
         ServiceAccess::Start,
         true,
         false,
         true,
         {"open manager", "open Messenger for start", "box " + notStarted, "close manager"}},
        {"no manager, no start", ServiceAccess::Start, false, true, true, {"open manager"}},
        {"stop accepted",
         ServiceAccess::Stop,
         true,
         true,
         true,
         {"open manager", "open Messenger for stop", "stop", "box " + stopped, "close service",
          "close manager"}},
        {"stop refused: already stopped",
         ServiceAccess::Stop,
         true,
         true,
         false,
         {"open manager", "open Messenger for stop", "stop", "box " + notStopped, "close service",
          "close manager"}},
        {"service cannot be opened for stop",
         ServiceAccess::Stop,
         true,
         false,
         true,
         {"open manager", "open Messenger for stop", "box " + notStopped, "close manager"}},
        {"no manager, no stop", ServiceAccess::Stop, false, true, true, {"open manager"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        script.managerOpens = c.managerOpens;
        script.serviceOpens = c.serviceOpens;
        script.accepted = c.accepted;
        script.events.clear();
        // Only where a box is due does one get answered; a stray one would stay open.
        const bool boxDue = c.managerOpens;
        if (boxDue) AnswerNextBox(script);
        TAction* action =
            c.command == ServiceAccess::Start ? form->actStartMessenger : form->actStopMessenger;
        EXPECT_TRUE(action->Execute());
        EXPECT_EQ(script.events, c.events);
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    }
}

TEST_F(ServiceCommandsTest, CommandsStayEnabledDuringASend) {
    SendInProgress = true;
    form->ActionManager1->UpdateActions();
    EXPECT_FALSE(form->actSend->isEnabled());
    for (TAction* action : {form->actStartMessenger, form->actStopMessenger}) {
        SCOPED_TRACE(action->objectName().toStdString());
        script.events.clear();
        AnswerNextBox(script);
        EXPECT_TRUE(action->isEnabled());
        EXPECT_TRUE(action->Execute());
        ASSERT_GE(script.events.size(), 4u);
        EXPECT_EQ(script.events[3],
                  "box " + std::string(action == form->actStartMessenger ? msg::MessengerStarted
                                                                         : msg::MessengerStopped));
    }
}

}  // namespace
