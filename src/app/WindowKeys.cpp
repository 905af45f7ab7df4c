#include "WindowKeys.h"

#include <QAbstractItemView>
#include <QAction>
#include <QMainWindow>
#include <QShortcut>
#include <QToolButton>
#include <QTreeWidget>
#include <initializer_list>

#include "WindowControls.h"

namespace {

// keys on scope click button; a disabled button ignores them as it ignores the mouse.
void clickOn(QWidget* scope, std::initializer_list<QKeySequence> keys, QToolButton* button,
             Qt::ShortcutContext context) {
  for (const QKeySequence& key : keys) {
    auto* shortcut = new QShortcut(key, scope);
    shortcut->setContext(context);
    QObject::connect(shortcut, &QShortcut::activated, button, &QToolButton::click);
  }
}

// The list's own Delete item also shows its key in the menu.
void deleteOn(QAbstractItemView* list, QAction* item) {
  item->setShortcut(QKeySequence::Delete);
  item->setShortcutContext(Qt::WidgetShortcut);
  list->addAction(item);
}

// Enter on a row is the keyboard's double click.
void openOn(QAbstractItemView* list) {
  for (const int key : {Qt::Key_Return, Qt::Key_Enter}) {
    auto* shortcut = new QShortcut(QKeySequence(key), list);
    shortcut->setContext(Qt::WidgetShortcut);
    QObject::connect(shortcut, &QShortcut::activated, list, [list] {
      const QModelIndex row = list->currentIndex();
      if (row.isValid()) emit list->doubleClicked(row);
    });
  }
}

}  // namespace

void BindWindowKeys(TpopformControls& c) {
  QWidget* window = c.mailbinder->window();
  clickOn(c.TabSheet4, {QKeySequence(Qt::CTRL | Qt::Key_Return), QKeySequence(Qt::CTRL | Qt::Key_Enter)}, c.gosend,
          Qt::WidgetWithChildrenShortcut);
  clickOn(window, {QKeySequence(Qt::Key_F5)}, c.inconnect, Qt::WindowShortcut);
  clickOn(window, {QKeySequence(Qt::CTRL | Qt::Key_R)}, c.mailreply, Qt::WindowShortcut);
  deleteOn(c.pophistlist, c.Delete1);
  deleteOn(c.sendhistlist, c.MenuItem1);
  for (QAbstractItemView* list :
       {static_cast<QAbstractItemView*>(c.pophistlist), static_cast<QAbstractItemView*>(c.sendhistlist),
        static_cast<QAbstractItemView*>(c.queuelist)})
    openOn(list);
}
