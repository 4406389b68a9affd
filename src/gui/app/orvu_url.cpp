#include "gui/app/orvu_url.h"

#include <QUrl>

namespace orvu {

std::optional<QString> signInToken(const QString &text) {
    // QUrl lowers the case of scheme and host; the link must match them exactly, so both are
    // compared on the text itself.
    static const QString prefix = QStringLiteral("orvu://verify");
    if (!text.startsWith(prefix))
        return std::nullopt;
    if (text.size() > prefix.size() && !QStringLiteral("/?#:").contains(text.at(prefix.size())))
        return std::nullopt;
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || !url.hasQuery())
        return std::nullopt;
    const QStringList items = url.query(QUrl::FullyEncoded).split(QLatin1Char('&'));
    for (const QString &item : items) {
        const qsizetype equals = item.indexOf(QLatin1Char('='));
        const QString name = QUrl::fromPercentEncoding(item.left(equals).toUtf8());
        if (name != QLatin1String("token"))
            continue;
        if (equals < 0)
            return std::nullopt;
        return QUrl::fromPercentEncoding(item.mid(equals + 1).toUtf8());
    }
    return std::nullopt;
}

bool isAcceptableServerURL(const QString &text) {
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid())
        return false;
    if (url.scheme() == QLatin1String("https"))
        return !url.host().isEmpty();
    if (url.scheme() == QLatin1String("file"))
        return url.host().isEmpty() && url.path().startsWith(QLatin1Char('/'));
    return false;
}

} // namespace orvu
