#pragma once

#include "core/platform/folder_access.h"

namespace orvu {

// Without a sandbox, a bookmark is simply the folder's absolute path in UTF-8 and access is
// granted whenever the folder is there.
class LocalFolderAccess final : public FolderAccess {
public:
    std::optional<QByteArray> makeBookmark(const QString &folderPath) const override;
    std::optional<Resolved> resolveBookmark(const QByteArray &bookmark) const override;
    bool startAccessing(const QString &folderPath) override;
    void stopAccessing(const QString &folderPath) override;
};

} // namespace orvu
