#include "gui/views/alerts.h"

#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

namespace orvu {

void Alerts::ask(QWidget *anchor, const rules::AlertText &text, const QString &confirmLabel,
                 bool destructive, std::function<void()> onConfirm) {
    if (m_answer) {
        m_asked.append(text);
        if (*m_answer && onConfirm)
            onConfirm();
        return;
    }
    auto *box = new QMessageBox(anchor ? anchor->window() : nullptr);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowTitle(QStringLiteral("Orvu"));
    box->setIcon(destructive ? QMessageBox::Warning : QMessageBox::Question);
    box->setText(text.title);
    box->setInformativeText(text.message);
    QPushButton *cancel = box->addButton(QMessageBox::Cancel);
    QPushButton *confirm = box->addButton(confirmLabel, destructive ? QMessageBox::DestructiveRole
                                                                    : QMessageBox::AcceptRole);
    confirm->setAutoDefault(false);
    box->setDefaultButton(cancel);
    box->setEscapeButton(cancel);
    box->setWindowModality(Qt::WindowModal);
    QObject::connect(box, &QMessageBox::buttonClicked, box,
                     [confirm, onConfirm = std::move(onConfirm)](QAbstractButton *clicked) {
                         if (clicked == confirm && onConfirm)
                             onConfirm();
                     });
    box->open();
}

} // namespace orvu
