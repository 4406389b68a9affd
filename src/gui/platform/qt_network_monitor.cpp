#include "gui/platform/qt_network_monitor.h"

#include <QNetworkInformation>

namespace orvu {

QtNetworkMonitor::QtNetworkMonitor(QObject *parent) : NetworkMonitor(parent) {
    if (!QNetworkInformation::loadDefaultBackend())
        return;
    QNetworkInformation *information = QNetworkInformation::instance();
    connect(information, &QNetworkInformation::reachabilityChanged, this, &NetworkMonitor::changed);
    connect(information, &QNetworkInformation::transportMediumChanged, this,
            &NetworkMonitor::changed);
}

} // namespace orvu
