#pragma once

#include "core/cli/cli_runner.h"

#include <QFile>
#include <QTemporaryDir>

namespace orvu::test {

// An `orvu` that is a shell script of the test's own, for runs where the bytes, the timing or
// the way the child ends matter. Every run first records its process id, its working
// directory and its arguments, one a line.
class ScriptTool {
public:
    explicit ScriptTool(const QByteArray &body) {
        QFile file(path());
        if (file.open(QIODevice::WriteOnly))
            file.write("#!/bin/sh\nprintf '%s\\n' $$ \"$PWD\" \"$@\" >\"$0.run\"\nulimit -c 0\n" +
                       body + '\n');
        file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
    }
    QString path() const { return m_dir.filePath(QStringLiteral("orvu")); }
    ToolLocation location() const { return ToolLocation{m_dir.path(), {}}; }
    // Process id, working directory, then the arguments of the latest run; empty before one.
    QStringList lastRun() const {
        QFile file(path() + QStringLiteral(".run"));
        if (!file.open(QIODevice::ReadOnly))
            return {};
        QStringList lines = QString::fromUtf8(file.readAll()).split(u'\n');
        lines.removeLast();
        return lines;
    }

private:
    QTemporaryDir m_dir;
};

} // namespace orvu::test
