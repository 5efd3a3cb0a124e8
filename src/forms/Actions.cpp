#include "forms/Actions.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QMenu>
#include <QSet>

#include "forms/ErrorReport.h"

TAction::TAction(const QString& name, const QString& category, const QString& caption,
                 const QString& hint, int imageIndex, QObject* parent)
    : QAction(caption, parent), category_(category), hint_(hint), imageIndex_(imageIndex) {
    setObjectName(name);
    if (!hint.isEmpty()) setToolTip(hint);
    connect(this, &QAction::triggered, this, [this] { Execute(); });
}

void TAction::Update() {
    if (OnUpdate) OnUpdate(this);
}

bool TAction::Execute() {
    Update();
    if (!isEnabled()) return false;
    RunReportingErrors([this] {
        if (OnExecute) OnExecute();
    });
    emit executed();
    return true;
}

TActionManager::TActionManager(QObject* parent) : QObject(parent) {}

TAction* TActionManager::Add(const QString& name, const QString& category, const QString& caption,
                             const QString& hint, int imageIndex) {
    auto* action = new TAction(name, category, caption, hint, imageIndex, this);
    actions_.push_back(action);
    return action;
}

void TActionManager::UpdateActions() {
    for (TAction* a : actions_) a->Update();
}

void TActionManager::UpdateWhenIdle() {
    if (auto* dispatcher = QAbstractEventDispatcher::instance(thread()))
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this,
                &TActionManager::UpdateActions);
}

QAction* TActionManager::AddItem(QMenu* menu, TAction* action, const QString& caption,
                                 bool withPicture) {
    auto* item = new QAction(menu);
    item->setObjectName(action->objectName() + QStringLiteral("Item"));
    item->setText(caption.isEmpty() ? action->text() : caption);
    auto sync = [item, action, withPicture] {
        item->setEnabled(action->isEnabled());
        item->setVisible(action->isVisible());
        if (withPicture) item->setIcon(action->icon());
    };
    sync();
    if (!action->shortcut().isEmpty()) {
        // Shown in the menu; the window-wide shortcut stays on the action itself.
        item->setShortcut(action->shortcut());
        item->setShortcutContext(Qt::WidgetShortcut);
    }
    connect(action, &QAction::changed, item, sync);
    connect(item, &QAction::triggered, action, [action] { action->Execute(); });
    menu->addAction(item);
    connect(menu, &QMenu::aboutToShow, this, &TActionManager::UpdateActions,
            Qt::UniqueConnection);
    return item;
}

namespace {

QChar AccessKeyOf(const QString& text) {
    for (qsizetype i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != u'&') continue;
        if (text[i + 1] == u'&') {
            ++i;
            continue;
        }
        return text[i + 1].toLower();
    }
    return {};
}

}  // namespace

void TActionManager::AssignAccessKeys(const QList<QAction*>& items) {
    QSet<QChar> used;
    for (QAction* a : items)
        if (QChar key = AccessKeyOf(a->text()); !key.isNull()) used.insert(key);
    for (QAction* a : items) {
        if (a->isSeparator() || !AccessKeyOf(a->text()).isNull()) continue;
        QString text = a->text();
        for (qsizetype i = 0; i < text.size(); ++i) {
            const QChar c = text[i].toLower();
            if (!c.isLetterOrNumber() || used.contains(c)) continue;
            used.insert(c);
            text.insert(i, u'&');
            a->setText(text);
            break;
        }
    }
}
