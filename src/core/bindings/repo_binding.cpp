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

DecodedBindings decodeBindings(const QByteArray &bytes) {
    DecodedBindings decoded;
    const auto readEntry = [&decoded](QByteArrayView text) {
        // Alone in an array of its own, so that any value, not only an object, parses.
        const QJsonDocument document =
            QJsonDocument::fromJson(QByteArray('[' + text.toByteArray() + ']'));
        const QJsonValue element = document.array().at(0);
        auto binding = element.isObject() && document.array().size() == 1
                           ? RepoBinding::fromJson(element.toObject())
                           : std::nullopt;
        if (binding) {
            decoded.bindings.append(std::move(*binding));
        } else {
            ++decoded.unreadableEntries;
            decoded.damaged = true;
        }
    };

    // Finds where each element ends by its depth outside strings, which needs no valid JSON.
    const QByteArrayView text = QByteArrayView(bytes).trimmed();
    if (!text.startsWith('[')) {
        decoded.damaged = true;
        return decoded;
    }
    int depth = 0;
    bool inString = false, escaped = false, closed = false;
    qsizetype start = 1;
    for (qsizetype at = 1; at < text.size() && !closed; ++at) {
        const char c = text[at];
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            ++depth;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        } else if ((c == ',' || c == ']') && depth == 0) {
            const QByteArrayView entry = text.sliced(start, at - start).trimmed();
            closed = c == ']';
            // "[]" holds no entry; an empty one anywhere else is damage.
            if (!entry.isEmpty())
                readEntry(entry);
            else if (!closed || start != 1)
                decoded.damaged = true;
            start = at + 1;
            if (closed)
                decoded.damaged = decoded.damaged || start != text.size();
        }
    }
    if (!closed) { // cut short: the entry it cut is lost, the ones before it are not
        if (!text.sliced(start).trimmed().isEmpty())
            ++decoded.unreadableEntries;
        decoded.damaged = true;
    }
    return decoded;
}

} // namespace orvu
