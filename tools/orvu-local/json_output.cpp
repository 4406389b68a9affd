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

void emitRawLine(QByteArray line) {
    line.append('\n');
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stdout);
    std::fflush(stdout);
}

QByteArray jsonString(const QString &text) {
    const QByteArray utf8 = text.toUtf8();
    QByteArray out;
    out.reserve(utf8.size() + 2);
    out.append('"');
    for (const char c : utf8) {
        switch (c) {
        case '"':
            out.append("\\\"");
            break;
        case '\\':
            out.append("\\\\");
            break;
        case '\n':
            out.append("\\n");
            break;
        case '\t':
            out.append("\\t");
            break;
        case '\r':
            out.append("\\r");
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                static const char hex[] = "0123456789abcdef";
                out.append("\\u00").append(hex[(c >> 4) & 0xf]).append(hex[c & 0xf]);
            } else {
                out.append(c);
            }
        }
    }
    out.append('"');
    return out;
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
