#pragma once

#include <QString>

namespace orvu {

// One repo as the tool lists it.
struct RepoInfo {
    QString id;
    QString slug;
    QString name;
    QString visibility;

    friend bool operator==(const RepoInfo &, const RepoInfo &) = default;
};

} // namespace orvu
