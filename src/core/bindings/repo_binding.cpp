#include "core/bindings/repo_binding.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

namespace orvu {

namespace {

const QString kRepoId = QStringLiteral("repoId");
const QString kSlug = QStringLiteral("slug");
const QString kDisplayName = QStringLiteral("displayName");
const QString kFolderPath = QStringLiteral("folderPath");
const QString kBookmark = QStringLiteral("bookmark");
const QString kNeedsRelink = QStringLiteral("needsRelink");

std::optional<QString> requiredString(const QJsonObject &object, const QString &key) {
    const QJsonValue value = object.value(key);
    if (!value.isString())
        return std::nullopt;
    return value.toString();
}

} // namespace

QJsonObject RepoBinding::toJson() const {
    QJsonObject object{
        {kRepoId, repoId},           {kSlug, slug},
        {kDisplayName, displayName}, {kFolderPath, folderPath},
        {kNeedsRelink, needsRelink},
    };
    if (bookmark)
        object.insert(kBookmark, QString::fromLatin1(bookmark->toBase64()));
    return object;
}

std::optional<RepoBinding> RepoBinding::fromJson(const QJsonObject &object) {
    const auto repoId = requiredString(object, kRepoId);
    const auto slug = requiredString(object, kSlug);
    const auto displayName = requiredString(object, kDisplayName);
    const auto folderPath = requiredString(object, kFolderPath);
    const QJsonValue needsRelink = object.value(kNeedsRelink);
    if (!repoId || !slug || !displayName || !folderPath || !needsRelink.isBool())
        return std::nullopt;

    RepoBinding binding{*repoId,     *slug,        *displayName,
                        *folderPath, std::nullopt, needsRelink.toBool()};
    const QJsonValue bookmark = object.value(kBookmark);
    if (bookmark.isUndefined() || bookmark.isNull())
        return binding;
    if (!bookmark.isString())
        return std::nullopt;
    // Qt also takes unpadded text ("A" even decodes to nothing); the stored form is always
    // padded, so anything else is a damaged list, not a bookmark.
    const QByteArray text = bookmark.toString().toLatin1();
    if (text.size() % 4 != 0)
        return std::nullopt;
    const auto decoded =
        QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return std::nullopt;
    binding.bookmark = decoded.decoded;
    return binding;
}

QByteArray encodeBindings(const QList<RepoBinding> &bindings) {
    QJsonArray array;
    for (const RepoBinding &binding : bindings)
        array.append(binding.toJson());
    return QJsonDocument(array).toJson(QJsonDocument::Compact);
}

std::optional<QList<RepoBinding>> decodeBindings(const QByteArray &bytes) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isArray())
        return std::nullopt;
    QList<RepoBinding> bindings;
    const QJsonArray array = document.array();
    bindings.reserve(array.size());
    for (const QJsonValue &element : array) {
        if (!element.isObject())
            return std::nullopt;
        auto binding = RepoBinding::fromJson(element.toObject());
        if (!binding)
            return std::nullopt;
        bindings.append(std::move(*binding));
    }
    return bindings;
}

} // namespace orvu
