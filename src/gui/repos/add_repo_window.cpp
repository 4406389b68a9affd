#include "gui/repos/add_repo_window.h"

#include "core/repos/add_repo_model.h"
#include "gui/repos/add_repo_panel.h"

#include <QPointer>
#include <QScreen>
#include <QVBoxLayout>

namespace orvu {

AddRepoWindow::AddRepoWindow(std::unique_ptr<AddRepoModel> model, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint),
      m_model(std::move(model)) {
    setWindowTitle(QStringLiteral("Add Repo"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_panel = new AddRepoPanel(
        *m_model,
        [window = QPointer<AddRepoWindow>(this)] {
            if (window)
                window->close();
        },
        this);
    layout->addWidget(m_panel);
    setFixedSize(AddRepoPanel::kWidth, AddRepoPanel::kHeight);
    if (const QScreen *screen = this->screen())
        move(screen->availableGeometry().center() - rect().center());
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
