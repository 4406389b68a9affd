#include "json_output.h"

#include <QJsonDocument>

#include <cstdio>

namespace orvu::local {

void emitLine(const QJsonObject &object) {
    QByteArray line = QJsonDocument(object).toJson(QJsonDocument::Compact);
    line.append('\n');
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stdout);
    std::fflush(stdout);
}

int fail(int exitCode, const QString &message) {
    emitLine(
        {{QStringLiteral("type"), QStringLiteral("error")}, {QStringLiteral("error"), message}});
    return exitCode;
}

void warn(const QString &message) {
    const QByteArray text = message.toUtf8() + '\n';
    std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stderr);
    std::fflush(stderr);
}

} // namespace orvu::local
