#include "shell/QtViewUtilities.h"

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QAbstractSpinBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMetaObject>
#include <QPalette>
#include <QPointer>
#include <QTextEdit>

namespace vorn {

int widgetTag(const QWidget* widget) {
    QVariant tag = widget ? widget->property("tag") : QVariant();
    return tag.isValid() ? tag.toInt() : 0;
}

QString widgetTitle(const QWidget* widget) {
    if (!widget) return {};
    QVariant title = widget->property("identifier");
    if (title.isValid() && !title.toString().isEmpty()) return title.toString();
    if (auto* box = qobject_cast<const QGroupBox*>(widget)) return box->title();
    if (auto* button = qobject_cast<const QAbstractButton*>(widget)) return button->text();
    return widget->windowTitle();
}

namespace {
bool isControl(const QWidget* w) {
    return qobject_cast<const QAbstractButton*>(w) || qobject_cast<const QLineEdit*>(w) ||
           qobject_cast<const QComboBox*>(w) || qobject_cast<const QAbstractSpinBox*>(w) ||
           qobject_cast<const QAbstractSlider*>(w) || qobject_cast<const QTextEdit*>(w) ||
           (qobject_cast<const QLabel*>(w) && widgetTag(w) == kTagGreyWithState);
}

void setTextColour(QWidget* w, bool enabled) {
    QPointer<QWidget> target(w);
    QMetaObject::invokeMethod(
        w,
        [target, enabled] {
            if (!target) return;
            QPalette p = target->palette();
            QColor c = enabled ? QColor(Qt::black) : QColor(Qt::gray);
            p.setColor(QPalette::WindowText, c);
            p.setColor(QPalette::Text, c);
            p.setColor(QPalette::ButtonText, c);
            target->setPalette(p);
        },
        Qt::QueuedConnection);
}
}  // namespace

void viewSetEnabled(QWidget* view, bool enabled) {
    if (!view) return;
    for (QWidget* child : view->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (isControl(child)) {
            int tag = widgetTag(child);
            if (tag == kTagLeaveAlone) continue;
            if (qobject_cast<QAbstractButton*>(child) &&
                child->property("imageName")
                        .toString()
                        .compare(kRevealImageName, Qt::CaseInsensitive) == 0)
                continue;
            child->setEnabled(enabled);
            if (tag == kTagGreyWithState) setTextColour(child, enabled);
        } else {
            viewSetEnabled(child, enabled);
        }
    }
}

QWidget* findSubView(QWidget* view, const QString& title) {
    if (!view) return nullptr;
    for (QWidget* child : view->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        QString t = widgetTitle(child);
        if (!t.isEmpty() && t.compare(title, Qt::CaseInsensitive) == 0) return child;
    }
    return nullptr;
}

}  // namespace vorn
