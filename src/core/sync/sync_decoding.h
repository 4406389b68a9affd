#pragma once

#include "core/sync/sync_types.h"

#include <QString>
#include <QStringView>

#include <optional>

// Pure, total decoders of the tool's sync output. Lines that are empty, not JSON or not
// objects are skipped; a key that is missing, null or of another type takes its default.
// Whether a command succeeded is its exit code's business, never theirs.
namespace orvu::decoding {

// `status <folder> --json`: the "changes" of every status line, in output order.
QList<PendingChange> decodeLocalStatus(QStringView output);

// `status <folder> --remote --json`: as above, plus the "remote" object of the last status
// line that carried one (absent when none did).
FullStatus decodeFullStatus(QStringView output);

// One line of a streamed `sync <folder> --json`.
SyncEvent decodeSyncEvent(QStringView line);

// `sync <folder> --json --dry-run`: the first "plan" line; absent without one.
std::optional<SyncPreview> decodePreview(QStringView output);

// Ascending by Unicode code point (QString's own order is by UTF-16 code unit, which puts
// characters beyond U+FFFF before U+E000..U+FFFF).
bool codePointLess(QStringView a, QStringView b);

} // namespace orvu::decoding
