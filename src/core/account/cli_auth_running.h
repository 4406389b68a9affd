#pragma once

#include "core/cli/cli_runner.h"

#include <QStringList>

#include <QCoro/QCoroTask>

namespace orvu {

// How the sign-in code reaches the tool, so tests can put something else in its place.
class CLIAuthRunning {
public:
    virtual ~CLIAuthRunning() = default;

    // Runs the tool with `arguments` to completion without blocking the caller's thread; a
    // child that could not be started comes back as LaunchError.
    virtual QCoro::Task<RunOutcome> run(QStringList arguments) = 0;
};

} // namespace orvu
