#include "gui/views/relink_row_view.h"

#include "gui/views/panel_controls.h"
#include "gui/views/view_rules.h"
#include "gui/views/view_style.h"

#include <QHBoxLayout>
#include <QLabel>

namespace orvu {

RelinkRowView::RelinkRowView(const RepoBinding &binding, std::function<void()> onRelink,
                             std::function<void()> onRemove, QWidget *parent)
    : QWidget(parent) {
    const QPalette palette = style::current();
    const QColor orange = style::tint(rules::Tint::orange, palette);
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    auto *row = new QHBoxLayout;
    row->setContentsMargins(style::kEdge, style::kGap, style::kEdge, style::kGap);
    row->setSpacing(0);
    row->addSpacing((style::kLeadColumn - 8) / 2);
    auto *dot = new StatusDot(this);
    dot->setColor(orange);
    dot->setAccessibleDescription(QStringLiteral("Needs re-linking"));
    row->addWidget(dot);
    row->addSpacing((style::kLeadColumn - 8) / 2 + style::kGap);
    auto *texts = new QVBoxLayout;
    texts->setSpacing(0);
    m_name = new QLabel(this);
    m_name->setFont(style::subheadline(true));
    texts->addWidget(m_name);
    auto *note = new QLabel(QStringLiteral("Needs re-linking"), this);
    note->setFont(style::caption());
    style::setTextColor(note, orange);
    texts->addWidget(note);
    row->addLayout(texts, 1);
    row->addSpacing(style::kGap);

    m_relink = new PlainButton(this);
    m_relink->setLabel(QStringLiteral("Re-link"));
    m_relink->setFont(style::caption());
    style::setTextColor(m_relink, style::tint(rules::Tint::blue, palette));
    markAsRow(m_relink);
    connect(m_relink, &QToolButton::clicked, this, [onRelink = std::move(onRelink)] {
        if (onRelink)
            onRelink();
    });
    row->addWidget(m_relink);
    m_remove = new PlainButton(this);
    m_remove->setSymbol(QStringLiteral("xmark.circle"), 12, style::secondary(palette));
    m_remove->setToolTipText(QStringLiteral("Remove from Orvu"));
    connect(m_remove, &QToolButton::clicked, this, [onRemove = std::move(onRemove)] {
        if (onRemove)
            onRemove();
    });
    row->addWidget(m_remove);
    column->addLayout(row);
    column->addWidget(new Divider(this));
    setBinding(binding);
}

void RelinkRowView::setBinding(const RepoBinding &binding) {
    m_bindingId = binding.id();
    m_name->setText(rules::relinkName(binding.displayName, binding.folderPath));
    m_relink->setObjectName(QStringLiteral("relinkRepo_") + binding.slug);
    m_remove->setObjectName(QStringLiteral("removeRelink_") + binding.slug);
}

} // namespace orvu
