#include "gui/views/pending_change_row_view.h"

#include "gui/views/panel_controls.h"
#include "gui/views/symbol.h"
#include "gui/views/view_rules.h"
#include "gui/views/view_style.h"

#include <QCheckBox>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QStackedWidget>

namespace orvu {

namespace {

enum MarkPage { letterPage, spinnerPage, donePage };

} // namespace

PendingChangeRowView::PendingChangeRowView(Actions actions, QWidget *parent)
    : QWidget(parent), m_actions(std::move(actions)) {
    setAttribute(Qt::WA_Hover);
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::PointingHandCursor);
    markAsRow(this);
    const QPalette palette = style::current();

    auto *outer = new QHBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    m_content = new QWidget(this);
    m_dimming = new QGraphicsOpacityEffect(m_content);
    m_dimming->setOpacity(0.5);
    m_dimming->setEnabled(false);
    m_content->setGraphicsEffect(m_dimming);
    outer->addWidget(m_content);

    auto *row = new QHBoxLayout(m_content);
    row->setContentsMargins(16, 3, 12, 3);
    row->setSpacing(6);

    // The row takes the keyboard for it (Space), so the box itself is not a tab stop.
    m_checkBox = new QCheckBox(m_content);
    m_checkBox->setFocusPolicy(Qt::NoFocus);
    connect(m_checkBox, &QCheckBox::toggled, this, [this](bool checked) {
        if (checked != m_selected && m_actions.setSelected)
            m_actions.setSelected(m_change.path, checked);
    });
    row->addWidget(m_checkBox);

    m_mark = new QStackedWidget(m_content);
    m_mark->setFixedWidth(14);
    m_letter = new QLabel(m_mark);
    m_letter->setFont(style::monospacedCallout(true));
    m_letter->setAlignment(Qt::AlignCenter);
    m_mark->addWidget(m_letter);
    auto *spinnerBox = new QWidget(m_mark);
    auto *spinnerLayout = new QHBoxLayout(spinnerBox);
    spinnerLayout->setContentsMargins(0, 0, 0, 0);
    spinnerLayout->addWidget(new BusyIndicator(10, spinnerBox), 0, Qt::AlignCenter);
    m_mark->addWidget(spinnerBox);
    m_doneMark = new QLabel(m_mark);
    m_doneMark->setAlignment(Qt::AlignCenter);
    m_doneMark->setPixmap(symbolPixmap(QStringLiteral("checkmark"),
                                       style::tint(rules::Tint::green, palette), 11,
                                       devicePixelRatioF()));
    m_doneMark->setAccessibleName(QStringLiteral("Done"));
    m_mark->addWidget(m_doneMark);
    row->addWidget(m_mark);

    m_fileIcon = new QLabel(m_content);
    m_fileIcon->setFixedWidth(16);
    m_fileIcon->setAlignment(Qt::AlignCenter);
    row->addWidget(m_fileIcon);

    m_path = new ElidedLabel(Qt::ElideLeft, m_content);
    m_path->setFont(style::monospacedCallout());
    row->addWidget(m_path, 1);

    m_discardButton = new PlainButton(m_content);
    m_discardButton->setSymbol(QStringLiteral("xmark.circle"), 12, style::secondary(palette));
    m_discardButton->setToolTipText(QStringLiteral("Discard change"));
    m_discardButton->setFocusPolicy(Qt::NoFocus); // Delete on the row does the same
    m_discardButton->setVisible(false);
    connect(m_discardButton, &QToolButton::clicked, this, [this] {
        if (m_actions.askDiscard)
            m_actions.askDiscard(m_change);
    });
    // Keeps the row's height whether or not the button shows.
    QSizePolicy keep = m_discardButton->sizePolicy();
    keep.setRetainSizeWhenHidden(true);
    m_discardButton->setSizePolicy(keep);
    row->addWidget(m_discardButton);
}

void PendingChangeRowView::setValues(const PendingChange &change, bool selected,
                                     std::optional<FileTransferStatus> status) {
    const QPalette palette = style::current();
    const bool first = !m_hasValues;
    m_hasValues = true;
    if (first || change != m_change) {
        const bool pathChanged = first || change.path != m_change.path;
        const bool typeChanged = first || change.changeType != m_change.changeType;
        m_change = change;
        if (pathChanged) {
            m_path->setText(change.path);
            m_checkBox->setAccessibleName(change.path);
            setAccessibleName(change.path);
            m_fileIcon->setPixmap(symbolPixmap(rules::changeIcon(change.path),
                                               style::secondary(palette), 13, devicePixelRatioF()));
        }
        if (typeChanged) {
            const rules::ChangeMark mark = rules::changeLetter(change.changeType);
            m_letter->setText(mark.letter);
            style::setTextColor(m_letter, style::tint(mark.tint, palette));
            style::setTextColor(m_path, change.changeType == PendingChange::ChangeType::deleted
                                            ? style::secondary(palette)
                                            : style::primary(palette));
        }
    }
    if (first || selected != m_selected) {
        m_selected = selected;
        const QSignalBlocker quiet(m_checkBox);
        m_checkBox->setChecked(selected);
        m_dimming->setEnabled(!selected);
    }
    if (first || status != m_status) {
        m_status = status;
        showMark();
        updateDiscardButton();
    }
}

void PendingChangeRowView::showMark() {
    if (!m_status || *m_status == FileTransferStatus::waiting)
        m_mark->setCurrentIndex(letterPage);
    else if (*m_status == FileTransferStatus::transferring)
        m_mark->setCurrentIndex(spinnerPage);
    else
        m_mark->setCurrentIndex(donePage);
}

void PendingChangeRowView::updateDiscardButton() {
    // A file taking part in a run cannot be discarded under it.
    m_discardButton->setVisible(m_hovered && !m_status);
}

void PendingChangeRowView::paintEvent(QPaintEvent *) {
    if (m_hovered)
        QPainter(this).fillRect(rect(), style::wash(style::current(), 0.08));
}

void PendingChangeRowView::enterEvent(QEnterEvent *event) {
    m_hovered = true;
    updateDiscardButton();
    update();
    QWidget::enterEvent(event);
}

void PendingChangeRowView::leaveEvent(QEvent *event) {
    m_hovered = hasFocus();
    updateDiscardButton();
    update();
    QWidget::leaveEvent(event);
}

void PendingChangeRowView::focusInEvent(QFocusEvent *event) {
    m_hovered = true;
    updateDiscardButton();
    update();
    QWidget::focusInEvent(event);
}

void PendingChangeRowView::focusOutEvent(QFocusEvent *event) {
    m_hovered = underMouse();
    updateDiscardButton();
    update();
    QWidget::focusOutEvent(event);
}

void PendingChangeRowView::mouseReleaseEvent(QMouseEvent *event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) &&
        m_actions.reveal)
        m_actions.reveal(m_change.path);
    QWidget::mouseReleaseEvent(event);
}

void PendingChangeRowView::keyPressEvent(QKeyEvent *event) {
    switch (event->key()) {
    case Qt::Key_Space:
        m_checkBox->toggle();
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (m_actions.reveal)
            m_actions.reveal(m_change.path);
        return;
    case Qt::Key_Delete:
        if (!m_status && m_actions.askDiscard)
            m_actions.askDiscard(m_change);
        return;
    case Qt::Key_Up:
    case Qt::Key_Down:
        if (focusNeighbourRow(this, event->key() == Qt::Key_Down ? 1 : -1))
            return;
        break;
    default:
        break;
    }
    QWidget::keyPressEvent(event);
}

} // namespace orvu
