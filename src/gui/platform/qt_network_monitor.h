#pragma once

#include "core/platform/network_monitor.h"

namespace orvu {

// Network changes as the desktop's network service reports them (NetworkManager through Qt's
// network information backends). Without a backend it never reports anything.
class QtNetworkMonitor : public NetworkMonitor {
    Q_OBJECT
public:
    explicit QtNetworkMonitor(QObject *parent = nullptr);
};

} // namespace orvu
