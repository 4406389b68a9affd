#pragma once

#include <QString>

namespace orvu {

// How binding a folder through the tool ended.
struct RepoCLIOutcome {
    enum class Kind { Ok, AuthRequired, Failed };

    Kind kind = Kind::Ok;
    QString message; // only for Failed: shown to the user as it is

    static RepoCLIOutcome ok() { return {Kind::Ok, {}}; }
    static RepoCLIOutcome authRequired() { return {Kind::AuthRequired, {}}; }
    static RepoCLIOutcome failed(QString message) { return {Kind::Failed, std::move(message)}; }

    friend bool operator==(const RepoCLIOutcome &, const RepoCLIOutcome &) = default;
};

} // namespace orvu
