#pragma once

#include <QString>

#include <optional>

namespace orvu {

// What the tool left in a bound folder's .orvu/config.
struct FolderConfig {
    QString repoId; // never empty
    QString slug;   // the repo id when the file names no slug

    friend bool operator==(const FolderConfig &, const FolderConfig &) = default;
};

class FolderConfigReading {
public:
    virtual ~FolderConfigReading() = default;
    virtual std::optional<FolderConfig> readConfig(const QString &folderPath) const = 0;
};

} // namespace orvu
