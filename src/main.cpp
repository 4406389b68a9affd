#include "gui/app/orvutray_app.h"

#include <QCoreApplication>

int main(int argc, char *argv[]) {
    QCoreApplication::setApplicationName(QStringLiteral("orvutray"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ORVUTRAY_VERSION));
    return orvu::runOrvuTray(argc, argv);
}
