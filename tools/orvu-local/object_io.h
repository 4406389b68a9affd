#pragma once

#include "folder_io.h"
#include "store.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <mutex>
#include <optional>

namespace orvu::local {

// The content-addressed files of a store, `objects/<sha[0:2]>/<sha256>`, read and written
// through directory descriptors opened once per run: a sync of many small files spends most
// of its time in system calls, and resolving the store's path for each of them doubled them.
// Safe to use from several threads at once.
class ObjectFiles {
public:
    explicit ObjectFiles(QString objectsRoot) : m_rootPath(std::move(objectsRoot)) {}

    // Copies an open file in, hashing what is actually read.
    std::optional<StoredObject> store(int fd);
    std::optional<StoredObject> store(QByteArrayView data);
    // Copies a stored version to `outFd`, checking it against its hash and size as it goes.
    Store::CopyOutcome copy(const QByteArray &sha256, qint64 size, int outFd);

private:
    // The folder of objects whose hash starts with `sha256`'s first two digits, made when
    // `create`; -1 (errno says why) when it cannot be had.
    int directory(const QByteArray &sha256, bool create);
    int root();
    std::optional<StoredObject> commit(const QByteArray &sha256, qint64 size, QByteArrayView data,
                                       TemporaryFile *written);

    std::mutex m_mutex;
    QString m_rootPath;
    Fd m_root;
    std::array<Fd, 256> m_directories;
};

} // namespace orvu::local
