#pragma once

#include "core/cli/cli_runner.h"

#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

// Reading what the account and repo commands print: JSON objects, one per line.
namespace orvu::tool_output {

// The JSON objects of a standard output, in order. Lines are split at LF (a CR before it
// belongs to the line break) and trimmed of space characters and tabs only; empty lines, lines
// that are not JSON and JSON values that are not objects are skipped.
QList<QJsonObject> jsonObjectLines(const QString &standardOutput);

// Why a completed run failed, in the tool's own words: the non-empty "error" of the first line
// of type "error"; else standard error trimmed, when anything remains.
std::optional<QString> errorText(const CLIAuthResult &result);

} // namespace orvu::tool_output
