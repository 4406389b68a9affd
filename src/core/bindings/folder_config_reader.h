#pragma once

#include "core/bindings/folder_config_reading.h"

namespace orvu {

// Reads <folder>/.orvu/config. A missing, unreadable or malformed file, or one without a
// non-empty "repoId", reads as no config.
class FolderConfigReader final : public FolderConfigReading {
public:
    std::optional<FolderConfig> readConfig(const QString &folderPath) const override;
};

} // namespace orvu
