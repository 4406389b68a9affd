#pragma once

#include <QJsonObject>
#include <QString>

namespace orvu::local {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitNotSignedIn = 2;
inline constexpr int kExitNetwork = 3;
inline constexpr int kExitInterrupted = 4;

// Writes one compact JSON object and a newline to standard output and flushes at once, so a
// reader streaming our output sees each event as it happens.
void emitLine(const QJsonObject &object);
// The same for a line made by hand (without its newline), for events printed per file.
void emitRawLine(QByteArray line);
// `text` as a JSON string, quotes included.
QByteArray jsonString(const QString &text);
// Writes the error line and returns `exitCode`, so callers can `return fail(...)`.
int fail(int exitCode, const QString &message);
// A note for a human on standard error.
void warn(const QString &message);

} // namespace orvu::local
