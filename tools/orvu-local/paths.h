#pragma once

#include <QString>

#include <optional>

namespace orvu::local {

// A path inside a folder or repo in its one canonical form ("a/b.txt"): "." and empty
// components dropped. Absolute paths, "..", NUL and line breaks are refused, because such a
// path could name something outside the folder or break our line-based files.
std::optional<QString> normaliseRelative(const QString &path);
// True when `path` is already what normaliseRelative makes of it, without building a copy.
bool isCanonicalRelative(QStringView path);
// True when some component starts with "." (hidden files are never synced).
bool isHiddenPath(const QString &relative);
// Files under an underscore name (conflict copies among them) are private on the server.
bool isPrivatePath(const QString &relative);
// True when no existing component of root/relative is a symbolic link or a non-directory
// where a directory is needed. With `createParents`, missing parent directories are made.
bool isSafeInside(const QString &root, const QString &relative, bool createParents);
// Removes empty directories from the parent of root/relative up to (not including) root.
void removeEmptyParents(const QString &root, const QString &relative);

} // namespace orvu::local
