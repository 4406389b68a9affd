#pragma once

#include "core/account/user.h"

#include <QWidget>

#include <functional>

class QLabel;

namespace orvu {

class ElidedLabel;
class OutlineButton;
class StatusDot;
class SyncCoordinator;

// Who is signed in and how all repos stand together, with the "Logout" button.
class MultiRepoHeaderView : public QWidget {
    Q_OBJECT
public:
    MultiRepoHeaderView(const User &user, SyncCoordinator &coordinator,
                        std::function<void()> onSignOut, QWidget *parent = nullptr);

    void setUser(const User &user);
    void refresh();

    ElidedLabel *nameLabel() const { return m_name; }
    QLabel *statusLabel() const { return m_status; }
    StatusDot *statusDot() const { return m_dot; }

private:
    SyncCoordinator &m_coordinator;
    ElidedLabel *m_name;
    StatusDot *m_dot;
    QLabel *m_status;
    OutlineButton *m_signOut;
};

} // namespace orvu
