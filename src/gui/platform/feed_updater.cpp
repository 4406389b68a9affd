#include "gui/platform/feed_updater.h"

#include "core/platform/settings_store.h"

#include <QDateTime>
#include <QDesktopServices>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPushButton>
#include <QTimer>
#include <QVersionNumber>

namespace orvu {

namespace {

constexpr qint64 kCheckIntervalMs = 24LL * 60 * 60 * 1000;
// The first automatic check waits until the app has settled after its start.
constexpr qint64 kFirstCheckDelayMs = 60 * 1000;
constexpr int kTransferTimeoutMs = 15000;
constexpr qint64 kMaxFeedBytes = 64 * 1024;

} // namespace

bool isNewerVersion(const QString &candidate, const QString &current) {
    const QVersionNumber next = QVersionNumber::fromString(candidate);
    return !next.isNull() && QVersionNumber::compare(next, QVersionNumber::fromString(current)) > 0;
}

FeedUpdater::FeedUpdater(const QString &resourceDirectory, SettingsStore &settings,
                         QString currentVersion, QObject *parent)
    : QObject(parent), m_settings(settings), m_currentVersion(std::move(currentVersion)) {
    QFile file(resourceDirectory + QStringLiteral("/update.json"));
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QJsonObject config = QJsonDocument::fromJson(file.read(kMaxFeedBytes)).object();
    const QUrl feed(config.value(QStringLiteral("feedURL")).toString());
    if (!feed.isValid() || feed.isRelative())
        return;
    m_feedURL = feed;
    if (config.value(QStringLiteral("automaticChecks")).toBool())
        scheduleAutomaticCheck();
}

FeedUpdater::~FeedUpdater() = default;

void FeedUpdater::scheduleAutomaticCheck() {
    const QDateTime last =
        QDateTime::fromString(m_settings.string(kLastCheckKey).value_or(QString()), Qt::ISODate);
    const qint64 sinceLast =
        last.isValid() ? last.msecsTo(QDateTime::currentDateTimeUtc()) : kCheckIntervalMs;
    if (!m_automaticCheck) {
        // One single-shot timer a day at most: nothing wakes the app in between.
        m_automaticCheck = new QTimer(this);
        m_automaticCheck->setSingleShot(true);
        m_automaticCheck->setTimerType(Qt::VeryCoarseTimer);
        connect(m_automaticCheck, &QTimer::timeout, this, [this] {
            m_settings.setString(kLastCheckKey,
                                 QDateTime::currentDateTimeUtc().toString(Qt::ISODate));
            fetch([this](const UpdateCheckOutcome &outcome) {
                if (outcome.kind == UpdateCheckOutcome::Kind::available)
                    showDialog(outcome);
            });
            scheduleAutomaticCheck();
        });
    }
    m_automaticCheck->start(
        int(std::clamp(kCheckIntervalMs - sinceLast, kFirstCheckDelayMs, kCheckIntervalMs)));
}

void FeedUpdater::fetch(std::function<void(const UpdateCheckOutcome &)> done) {
    if (!m_feedURL) {
        done({UpdateCheckOutcome::Kind::packageManaged, {}, {}, {}});
        return;
    }
    if (!m_network)
        m_network = new QNetworkAccessManager(this);
    QNetworkRequest request(*m_feedURL);
    request.setTransferTimeout(kTransferTimeoutMs);
    QNetworkReply *reply = m_network->get(request);
    connect(reply, &QNetworkReply::finished, this, [this, reply, done = std::move(done)] {
        reply->deleteLater();
        if (reply->error() != QNetworkReply::NoError) {
            done({UpdateCheckOutcome::Kind::failed, {}, {}, reply->errorString()});
            return;
        }
        const QJsonObject feed = QJsonDocument::fromJson(reply->read(kMaxFeedBytes)).object();
        const QString version = feed.value(QStringLiteral("version")).toString();
        const QUrl download(feed.value(QStringLiteral("downloadURL")).toString());
        if (QVersionNumber::fromString(version).isNull()) {
            done({UpdateCheckOutcome::Kind::failed,
                  {},
                  {},
                  QStringLiteral("The update feed does not name a version.")});
            return;
        }
        if (!isNewerVersion(version, m_currentVersion)) {
            done({UpdateCheckOutcome::Kind::upToDate, version, {}, {}});
            return;
        }
        if (!download.isValid() || download.isRelative()) {
            done({UpdateCheckOutcome::Kind::failed,
                  version,
                  {},
                  QStringLiteral("The update feed does not say where to download it.")});
            return;
        }
        done({UpdateCheckOutcome::Kind::available, version, download, {}});
    });
}

QString FeedUpdater::messageFor(const UpdateCheckOutcome &outcome) {
    switch (outcome.kind) {
    case UpdateCheckOutcome::Kind::upToDate:
        return QStringLiteral("Orvu is up to date.");
    case UpdateCheckOutcome::Kind::available:
        return QStringLiteral("Orvu %1 is available.").arg(outcome.version);
    case UpdateCheckOutcome::Kind::failed:
        return QStringLiteral("Could not check for updates: %1").arg(outcome.reason);
    case UpdateCheckOutcome::Kind::packageManaged:
        break;
    }
    return QStringLiteral("Updates for Orvu come from your system's package manager.");
}

void FeedUpdater::checkForUpdates() {
    fetch([this](const UpdateCheckOutcome &outcome) { showDialog(outcome); });
}

void FeedUpdater::showDialog(const UpdateCheckOutcome &outcome) {
    auto *box = new QMessageBox(QMessageBox::Information, QStringLiteral("Check for Updates"),
                                messageFor(outcome));
    box->setAttribute(Qt::WA_DeleteOnClose);
    if (outcome.kind == UpdateCheckOutcome::Kind::failed)
        box->setIcon(QMessageBox::Warning);
    if (outcome.kind == UpdateCheckOutcome::Kind::available) {
        QPushButton *download = box->addButton(QStringLiteral("Download"), QMessageBox::AcceptRole);
        box->addButton(QStringLiteral("Later"), QMessageBox::RejectRole);
        connect(download, &QPushButton::clicked, this,
                [url = outcome.downloadURL] { QDesktopServices::openUrl(url); });
    } else {
        box->setStandardButtons(QMessageBox::Ok);
    }
    box->show();
    box->raise();
    box->activateWindow();
}

} // namespace orvu
