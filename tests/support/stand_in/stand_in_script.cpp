#include "stand_in_script.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

#include <algorithm>

namespace orvu::test {

Response &Response::out(const QByteArray &bytes, int delayMs) {
    writes.append(Write{Write::Channel::Out, bytes, delayMs, 1});
    return *this;
}

Response &Response::err(const QByteArray &bytes, int delayMs) {
    writes.append(Write{Write::Channel::Err, bytes, delayMs, 1});
    return *this;
}

Response &Response::lines(const QStringList &lines, int delayMs) {
    for (const QString &line : lines)
        out(line.toUtf8() + '\n', delayMs);
    return *this;
}

Response &Response::generated(const QByteArray &line, qint64 copies) {
    writes.append(Write{Write::Channel::Out, line, 0, copies});
    return *this;
}

Response &Response::generatedErr(const QByteArray &line, qint64 copies) {
    writes.append(Write{Write::Channel::Err, line, 0, copies});
    return *this;
}

Response &Response::exit(int code) {
    exitCode = code;
    return *this;
}

Response &Response::hangs() {
    hang = true;
    return *this;
}

Response &Response::pause(int delayMs) {
    return out({}, delayMs);
}

QStringList Invocation::subcommandArguments() const {
    if (arguments.size() >= 2 && arguments.first() == QLatin1String("--server"))
        return arguments.mid(2);
    return arguments;
}

QString Invocation::subcommand() const {
    const QStringList rest = subcommandArguments();
    return rest.isEmpty() ? QString() : rest.first();
}

namespace script {

namespace {

QStringList toStringList(const QJsonValue &value) {
    QStringList list;
    for (const QJsonValue &item : value.toArray())
        list.append(item.toString());
    return list;
}

bool writeWhole(const QString &path, const QByteArray &bytes) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(bytes);
    return file.commit();
}

} // namespace

QJsonObject toJson(const Response &response) {
    QJsonArray writes;
    for (const Write &write : response.writes) {
        writes.append(QJsonObject{
            {QStringLiteral("channel"), write.channel == Write::Channel::Out ? 1 : 2},
            {QStringLiteral("bytes"), QString::fromLatin1(write.bytes.toBase64())},
            {QStringLiteral("delayMs"), write.delayMs},
            {QStringLiteral("copies"), write.copies},
        });
    }
    return {{QStringLiteral("writes"), writes},
            {QStringLiteral("exitCode"), response.exitCode},
            {QStringLiteral("hang"), response.hang}};
}

Response responseFromJson(const QJsonObject &object) {
    Response response;
    for (const QJsonValue &value : object.value(QStringLiteral("writes")).toArray()) {
        const QJsonObject write = value.toObject();
        response.writes.append(Write{
            write.value(QStringLiteral("channel")).toInt() == 2 ? Write::Channel::Err
                                                                : Write::Channel::Out,
            QByteArray::fromBase64(write.value(QStringLiteral("bytes")).toString().toLatin1()),
            write.value(QStringLiteral("delayMs")).toInt(),
            write.value(QStringLiteral("copies")).toInteger(1),
        });
    }
    response.exitCode = object.value(QStringLiteral("exitCode")).toInt();
    response.hang = object.value(QStringLiteral("hang")).toBool();
    return response;
}

QList<Rule> readRules(const QString &directory) {
    QFile file(QDir(directory).filePath(kScriptFile));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QList<Rule> rules;
    for (const QJsonValue &value : QJsonDocument::fromJson(file.readAll()).array()) {
        const QJsonObject rule = value.toObject();
        rules.append(Rule{toStringList(rule.value(QStringLiteral("key"))),
                          rule.value(QStringLiteral("once")).toBool(),
                          responseFromJson(rule.value(QStringLiteral("response")).toObject())});
    }
    return rules;
}

bool writeRules(const QString &directory, const QList<Rule> &rules) {
    QJsonArray array;
    for (const Rule &rule : rules) {
        array.append(QJsonObject{{QStringLiteral("key"), QJsonArray::fromStringList(rule.key)},
                                 {QStringLiteral("once"), rule.once},
                                 {QStringLiteral("response"), toJson(rule.response)}});
    }
    return writeWhole(QDir(directory).filePath(kScriptFile),
                      QJsonDocument(array).toJson(QJsonDocument::Compact));
}

std::optional<qsizetype> match(const QList<Rule> &rules, const Invocation &invocation) {
    const QStringList arguments = invocation.subcommandArguments();
    if (arguments.isEmpty())
        return std::nullopt;
    const QStringList rest = arguments.mid(1);

    std::optional<qsizetype> best;
    qsizetype bestSpecificity = -1;
    bool bestOnce = false;
    for (qsizetype i = 0; i < rules.size(); ++i) {
        const Rule &rule = rules.at(i);
        if (rule.key.isEmpty() || rule.key.first() != arguments.first())
            continue;
        const bool allPresent = std::all_of(rule.key.cbegin() + 1, rule.key.cend(),
                                            [&](const QString &t) { return rest.contains(t); });
        if (!allPresent)
            continue;
        const qsizetype specificity = rule.key.size();
        if (specificity > bestSpecificity ||
            (specificity == bestSpecificity && rule.once && !bestOnce)) {
            best = i;
            bestSpecificity = specificity;
            bestOnce = rule.once;
        }
    }
    return best;
}

bool appendInvocation(const QString &directory, const Invocation &invocation) {
    QFile file(QDir(directory).filePath(kLogFile));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    const QJsonObject record{
        {QStringLiteral("arguments"), QJsonArray::fromStringList(invocation.arguments)},
        {QStringLiteral("workingDirectory"), invocation.workingDirectory},
        {QStringLiteral("processId"), invocation.processId}};
    return file.write(QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n') > 0;
}

QList<Invocation> readInvocations(const QString &directory) {
    QFile file(QDir(directory).filePath(kLogFile));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QList<Invocation> invocations;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.isEmpty())
            continue;
        const QJsonObject record = QJsonDocument::fromJson(line).object();
        invocations.append(Invocation{toStringList(record.value(QStringLiteral("arguments"))),
                                      record.value(QStringLiteral("workingDirectory")).toString(),
                                      record.value(QStringLiteral("processId")).toInteger()});
    }
    return invocations;
}

} // namespace script
} // namespace orvu::test
