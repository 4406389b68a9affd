#pragma once

#include <QString>

#include <optional>

namespace orvu {

// Larger files are not a token an older installation could have written.
inline constexpr qint64 kLegacyTokenMaxBytes = 64 * 1024;

// The token an older installation left at `path`, trimmed of white space and line breaks.
// nullopt when the file cannot be read, is not a regular file (a FIFO or device would block
// or never end), is larger than kLegacyTokenMaxBytes, or is not valid UTF-8. Blocking: call it
// off the main thread.
std::optional<QString> readLegacyToken(const QString &path);

} // namespace orvu
