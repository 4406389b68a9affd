#pragma once

#include "gui/platform/updater_controlling.h"

#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

class QNetworkAccessManager;
class QTimer;

namespace orvu {

class SettingsStore;

// What one update check found.
struct UpdateCheckOutcome {
    enum class Kind { upToDate, available, failed, packageManaged };
    Kind kind = Kind::failed;
    QString version;  // available: the feed's version
    QUrl downloadURL; // available: where to get it
    QString reason;   // failed: why, in the network layer's words
};

// True when `candidate` is a later version than `current` ("0.10.0" is later than "0.9.1");
// a candidate that does not start with a number never is.
bool isNewerVersion(const QString &candidate, const QString &current);

// The updater for installations that are not managed by a package manager. Packaging installs
// `update.json` in the resource directory:
//
//     {"feedURL": "https://orvu.io/releases/linux.json", "automaticChecks": true}
//
// and the feed it names is one small JSON object:
//
//     {"version": "0.2.0", "downloadURL": "https://orvu.io/download/orvutray-0.2.0.tar.gz"}
//
// With automatic checks on, the feed is read at most once a day (the time of the last check is
// kept in the settings) and the dialog only appears when a newer version exists. Without
// `update.json` the app came from the system's packages, and the dialog says so.
class FeedUpdater final : public QObject, public UpdaterControlling {
    Q_OBJECT
public:
    static inline const QString kLastCheckKey = QStringLiteral("lastUpdateCheck");

    // `settings` must outlive the updater.
    FeedUpdater(const QString &resourceDirectory, SettingsStore &settings, QString currentVersion,
                QObject *parent = nullptr);
    ~FeedUpdater() override;

    const std::optional<QUrl> &feedURL() const { return m_feedURL; }

    void checkForUpdates() override;
    // Reads the feed; `done` is called once, on this thread.
    void fetch(std::function<void(const UpdateCheckOutcome &)> done);

    static QString messageFor(const UpdateCheckOutcome &outcome);

private:
    void scheduleAutomaticCheck();
    void showDialog(const UpdateCheckOutcome &outcome);

    SettingsStore &m_settings;
    QString m_currentVersion;
    std::optional<QUrl> m_feedURL;
    QNetworkAccessManager *m_network = nullptr;
    QTimer *m_automaticCheck = nullptr;
};

} // namespace orvu
