#include "core/sync/sync_types.h"

namespace orvu {

QString SyncFileChange::rawValue(Action action) {
    switch (action) {
    case Action::pushed:
        return QStringLiteral("pushed");
    case Action::pulled:
        return QStringLiteral("pulled");
    case Action::deleted:
        return QStringLiteral("deleted");
    }
    return {};
}

QString PendingChange::rawValue(ChangeType type) {
    switch (type) {
    case ChangeType::added:
        return QStringLiteral("added");
    case ChangeType::modified:
        return QStringLiteral("modified");
    case ChangeType::deleted:
        return QStringLiteral("deleted");
    }
    return {};
}

QString RemoteChange::rawValue(ChangeType type) {
    switch (type) {
    case ChangeType::pull:
        return QStringLiteral("pull");
    case ChangeType::remove:
        return QStringLiteral("delete");
    case ChangeType::conflict:
        return QStringLiteral("conflict");
    }
    return {};
}

} // namespace orvu
