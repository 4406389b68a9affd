#pragma once

#include <QObject>

class QSocketNotifier;

namespace orvu {

// SIGTERM, SIGINT and SIGHUP (the session ending, `kill`, Ctrl+C) end the app as its Quit
// does, from the event loop: the handler only writes a byte into a pipe that the loop watches.
// One instance per process, made after the application object.
class QuitSignals : public QObject {
    Q_OBJECT
public:
    explicit QuitSignals(QObject *parent = nullptr);
    ~QuitSignals() override;

signals:
    void quitRequested();

private:
    QSocketNotifier *m_notifier = nullptr;
};

} // namespace orvu
