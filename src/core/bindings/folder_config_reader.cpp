#include "core/bindings/folder_config_reader.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

namespace orvu {

namespace {

// The file is a few dozen bytes; anything far larger is not a config the tool wrote.
constexpr qint64 kMaxConfigBytes = 1 << 20;

// nullopt: unreadable. An inner nullopt: the key is absent (or null).
std::optional<std::optional<QString>> optionalString(const QJsonObject &object,
                                                     const QString &key) {
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        return std::optional<QString>{};
    if (!value.isString())
        return std::nullopt;
    return std::optional<QString>{value.toString()};
}

} // namespace

std::optional<FolderConfig> FolderConfigReader::readConfig(const QString &folderPath) const {
    QFile file(QDir(folderPath).filePath(QStringLiteral(".orvu/config")));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray bytes = file.read(kMaxConfigBytes + 1);
    if (bytes.size() > kMaxConfigBytes)
        return std::nullopt;

    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    const auto repoId = optionalString(object, QStringLiteral("repoId"));
    const auto slug = optionalString(object, QStringLiteral("slug"));
    if (!repoId || !slug)
        return std::nullopt;
    if (!*repoId || (*repoId)->isEmpty())
        return std::nullopt;
    return FolderConfig{**repoId, slug->value_or(**repoId)};
}

} // namespace orvu
