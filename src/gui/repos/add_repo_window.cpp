#include "gui/repos/add_repo_window.h"

#include "core/repos/add_repo_model.h"

namespace orvu {

AddRepoWindow::AddRepoWindow(std::unique_ptr<AddRepoModel> model, QWidget *parent)
    : QWidget(parent), m_model(std::move(model)) {
    setWindowTitle(QStringLiteral("Add Repo"));
    setFixedSize(380, 420);
}

AddRepoWindow::~AddRepoWindow() = default;

} // namespace orvu
