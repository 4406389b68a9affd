#include "gui/repos/add_repo_window.h"

#include "core/repos/add_repo_model.h"
#include "gui/repos/add_repo_panel.h"

#include "gui/views/view_style.h"

#include <QPointer>
#include <QScrollArea>
#include <QVBoxLayout>

namespace orvu {

AddRepoWindow::AddRepoWindow(std::unique_ptr<AddRepoModel> model, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint),
      m_model(std::move(model)) {
    setWindowTitle(QStringLiteral("Add Repo"));
    setMinimumWidth(AddRepoPanel::kWidth);
    // The panel scrolls only when a large font on a small screen leaves no other way.
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    auto *area = new QScrollArea(this);
    area->setFrameShape(QFrame::NoFrame);
    area->setWidgetResizable(true);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    area->setFocusPolicy(Qt::NoFocus);
    layout->addWidget(area);
    m_panel = new AddRepoPanel(
        *m_model,
        [window = QPointer<AddRepoWindow>(this)] {
            if (window)
                window->close();
        },
        area);
    area->setWidget(m_panel);
    style::fitWindowToScreen(this);
}

AddRepoWindow::~AddRepoWindow() {
    // The panel observes the model, so it goes first.
    delete m_panel;
}

void AddRepoWindow::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    raise();
    activateWindow();
}

} // namespace orvu
