#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace orvu {

// Grants the app the use of a folder the user chose, and remembers that choice across runs as
// opaque bookmark bytes. Sandboxed desktops can put a portal behind this; a plain desktop needs
// no grant at all.
class FolderAccess {
public:
    struct Resolved {
        QString path; // absolute
        bool stale = false;
    };

    virtual ~FolderAccess() = default;

    virtual std::optional<QByteArray> makeBookmark(const QString &folderPath) const = 0;
    virtual std::optional<Resolved> resolveBookmark(const QByteArray &bookmark) const = 0;
    // Every successful start is paired with one stop by whoever started it.
    virtual bool startAccessing(const QString &folderPath) = 0;
    virtual void stopAccessing(const QString &folderPath) = 0;
};

} // namespace orvu
