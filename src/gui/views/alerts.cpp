#include "gui/views/alerts.h"

#include "gui/views/symbol.h"
#include "gui/views/view_style.h"

#include <QIcon>
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
    // The desktop theme's icon, else our own symbol in the matching colour.
    const QIcon themed = QIcon::fromTheme(destructive ? QStringLiteral("dialog-warning")
                                                      : QStringLiteral("dialog-question"));
    const int iconSize = 12 * style::kUnit;
    box->setIconPixmap(!themed.isNull() ? themed.pixmap(iconSize, box->devicePixelRatioF())
                                        : symbolPixmap(QStringLiteral("exclamationmark.triangle"),
                                                       style::tint(destructive ? rules::Tint::orange
                                                                               : rules::Tint::blue,
                                                                   style::current()),
                                                       iconSize, box->devicePixelRatioF()));
    // The title in bold over the body; names and paths are never read as markup.
    box->setText(QStringLiteral("<b>") + text.title.toHtmlEscaped() + QStringLiteral("</b>"));
    box->setInformativeText(QStringLiteral("<p style=\"white-space: pre-wrap\">") +
                            text.message.toHtmlEscaped() + QStringLiteral("</p>"));
    box->setTextFormat(Qt::RichText); // after both texts, so it holds for both
    QPushButton *cancel = box->addButton(QMessageBox::Cancel);
    // Both buttons plain: an icon on Cancel alone would make it the one that stands out.
    cancel->setIcon(QIcon());
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
