#include "gui/views/popover_content_view.h"

#include "core/account/auth_manager.h"
#include "core/bindings/sync_coordinator.h"

#include <QLabel>
#include <QVBoxLayout>

namespace orvu {

PopoverContentView::PopoverContentView(AuthManager &authManager, SyncCoordinator &coordinator,
                                       PopoverCallbacks callbacks, QWidget *parent)
    : QWidget(parent), m_authManager(authManager), m_coordinator(coordinator),
      m_callbacks(std::move(callbacks)) {
    setFixedWidth(360);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("Orvu"), this));
}

PopoverContentView::~PopoverContentView() = default;

} // namespace orvu
