#include "commands.h"

#include <QCoreApplication>

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    int exitCode = 0;
    const auto invocation = orvu::local::parseArguments(app.arguments().mid(1), &exitCode);
    if (!invocation)
        return exitCode;
    return orvu::local::runInvocation(*invocation);
}
