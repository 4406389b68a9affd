#include "commands.h"
#include "sync_command.h"

#include <QCoreApplication>

int main(int argc, char *argv[]) {
    // First of all: a sync stopped at any moment must end with its own exit code, never
    // half-way through taking its lock. Commands that are not a sync go back to the default.
    orvu::local::installInterruptHandlers();
    QCoreApplication app(argc, argv);
    int exitCode = 0;
    const auto invocation = orvu::local::parseArguments(app.arguments().mid(1), &exitCode);
    if (!invocation || invocation->command != QStringLiteral("sync") ||
        invocation->flags.contains(QStringLiteral("--dry-run")))
        orvu::local::restoreDefaultInterrupts();
    if (!invocation)
        return exitCode;
    return orvu::local::runInvocation(*invocation);
}
