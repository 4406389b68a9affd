#pragma once

#include <QObject>

namespace orvu {

// Tells when the machine's network changed (a link came up, the route moved), so that what
// could not reach the server is tried again at once instead of at its next turn. A desktop
// without such a source simply never says anything.
class NetworkMonitor : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

signals:
    void changed();
};

} // namespace orvu
