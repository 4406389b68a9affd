#include "gui/account/offline_outbox.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QUrl>

namespace orvu::offline_outbox {

std::optional<QString> outboxFor(const QString &serverURL, const QString &dataHome) {
    const QUrl url(serverURL, QUrl::StrictMode);
    if (!url.isValid())
        return std::nullopt;
    if (url.scheme() == u"file") {
        if ((!url.host().isEmpty() && url.host() != u"localhost") || !url.path().startsWith(u'/'))
            return std::nullopt;
        return QDir::cleanPath(url.path()) + QStringLiteral("/outbox");
    }
    QString host = url.host().toLower();
    if (url.port() != -1)
        host += u'_' + QString::number(url.port());
    static const QRegularExpression safeHost(QStringLiteral("^[a-z0-9][a-z0-9._-]*$"));
    if (url.scheme() != u"https" || !safeHost.match(host).hasMatch())
        return std::nullopt;
    return dataHome + QStringLiteral("/orvu-local/") + host + QStringLiteral("/outbox");
}

std::optional<Mail> newestMail(const QString &outbox, const QString &email) {
    const QDir dir(outbox);
    const QStringList names = dir.entryList({QStringLiteral("*.eml")}, QDir::Files, QDir::Name);
    for (auto name = names.crbegin(); name != names.crend(); ++name) {
        QFile file(dir.filePath(*name));
        // A mail is a few lines; anything large is not one of them.
        if (file.size() > 64 * 1024 || !file.open(QIODevice::ReadOnly))
            continue;
        const QStringList lines = QString::fromUtf8(file.readAll()).split(u'\n');
        if (lines.first().trimmed().compare(QStringLiteral("To: ") + email.trimmed(),
                                            Qt::CaseInsensitive) != 0)
            continue;
        for (const QString &line : lines)
            if (line.startsWith(QStringLiteral("orvu://")))
                return Mail{file.fileName(), line.trimmed()};
    }
    return std::nullopt;
}

} // namespace orvu::offline_outbox
