// Commands as action objects: an execute handler, an optional update handler polled when the
// application is idle and again just before the action runs, and menu items that present them.
#pragma once

#include <QAction>
#include <QList>
#include <QString>
#include <functional>
#include <vector>

class QMenu;

class TAction : public QAction {
    Q_OBJECT
public:
    TAction(const QString& name, const QString& category, const QString& caption,
            const QString& hint, int imageIndex, QObject* parent);

    const QString& category() const { return category_; }
    int imageIndex() const { return imageIndex_; }
    const QString& hint() const { return hint_; }

    std::function<void()> OnExecute;
    std::function<void(TAction*)> OnUpdate;

    // Update handler first; then the execute handler, only if the action is still enabled.
    // An error escaping the handler goes to the general error report. True if it ran.
    bool Execute();
    void Update();

signals:
    void executed();

private:
    QString category_;
    QString hint_;
    int imageIndex_;
};

class TActionManager : public QObject {
    Q_OBJECT
public:
    explicit TActionManager(QObject* parent = nullptr);

    TAction* Add(const QString& name, const QString& category, const QString& caption,
                 const QString& hint, int imageIndex);
    const std::vector<TAction*>& actions() const { return actions_; }

    // Polls every update handler.
    void UpdateActions();
    // Polls whenever the main thread's event loop is about to wait.
    void UpdateWhenIdle();

    // A menu item presenting the action: its own caption (the action's when empty), with or
    // without the picture, enabled and executed through the action.
    QAction* AddItem(QMenu* menu, TAction* action, const QString& caption = {},
                     bool withPicture = true);
    // Gives every item of the menu without an access key the first free character of its caption.
    static void AssignAccessKeys(const QList<QAction*>& items);

private:
    std::vector<TAction*> actions_;
};
