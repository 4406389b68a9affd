#pragma once

#include <QString>

#include <optional>

namespace orvu {

// The token of a sign-in link "orvu://verify?token=…": the value of the first query item named
// exactly "token", which may be empty. Any other scheme or host, a query without that item, or
// an item without a value gives nothing.
std::optional<QString> signInToken(const QString &url);

// Whether the tool may be pointed at `url`: an https URL with a host, or a file URL of an
// absolute directory (the offline tool's shared store).
bool isAcceptableServerURL(const QString &url);

} // namespace orvu
