#include "core/cli/tool_output.h"

#include <QJsonDocument>
#include <QTest>

using namespace orvu;

Q_DECLARE_METATYPE(std::optional<QString>)

namespace {

QStringList compact(const QList<QJsonObject> &objects) {
    QStringList texts;
    for (const QJsonObject &object : objects)
        texts << QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
    return texts;
}

} // namespace

class TestToolOutput : public QObject {
    Q_OBJECT

private slots:
    void readsOneObjectPerLine_data() {
        QTest::addColumn<QString>("output");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("empty") << QString() << QStringList();
        QTest::newRow("lf and crlf") << QStringLiteral("{\"a\":1}\r\n{\"b\":2}\n{\"c\":3}")
                                     << QStringList{"{\"a\":1}", "{\"b\":2}", "{\"c\":3}"};
        QTest::newRow("blank, junk and non-objects skipped")
            << QStringLiteral("  \n\r\n\t\nprogress 50%\n[1,2]\n\"s\"\n {\"a\":1} \t\n")
            << QStringList{"{\"a\":1}"};
        // A lone carriage return does not end a line, so two objects joined by one are junk.
        QTest::newRow("lone cr") << QStringLiteral("{\"a\":1}\r{\"b\":2}\n{\"c\":3}")
                                 << QStringList{"{\"c\":3}"};
        // Only spaces and tabs are trimmed: a vertical tab stays and spoils the line.
        QTest::newRow("other white space kept")
            << QStringLiteral("\v{\"a\":1}\n\t{\"b\":2}\t") << QStringList{"{\"b\":2}"};
        QTest::newRow("unicode spaces trimmed")
            << QStringLiteral("\u00a0{\"a\":1}\u2003\n") << QStringList{"{\"a\":1}"};
    }
    void readsOneObjectPerLine() {
        QFETCH(QString, output);
        QFETCH(QStringList, expected);
        QCOMPARE(compact(tool_output::jsonObjectLines(output)), expected);
    }

    void errorTextPrefersTheToolsOwnWords_data() {
        QTest::addColumn<QString>("standardOutput");
        QTest::addColumn<QString>("standardError");
        QTest::addColumn<std::optional<QString>>("expected");
        QTest::newRow("first usable error line")
            << QStringLiteral("{\"type\":\"error\",\"error\":\"\"}\n"
                              "{\"type\":\"error\",\"error\":7}\n"
                              "{\"type\":\"error\",\"error\":\"Repo not found\"}\n"
                              "{\"type\":\"error\",\"error\":\"later\"}")
            << QStringLiteral("ignored")
            << std::optional<QString>(QStringLiteral("Repo not found"));
        QTest::newRow("standard error trimmed")
            << QStringLiteral("{\"type\":\"progress\"}") << QStringLiteral("\n  disk full \n")
            << std::optional<QString>(QStringLiteral("disk full"));
        QTest::newRow("nothing to say")
            << QString() << QStringLiteral(" \n\t") << std::optional<QString>();
    }
    void errorTextPrefersTheToolsOwnWords() {
        QFETCH(QString, standardOutput);
        QFETCH(QString, standardError);
        QFETCH(std::optional<QString>, expected);
        QCOMPARE(tool_output::errorText(CLIAuthResult{standardOutput, standardError, 1}), expected);
    }
};

QTEST_GUILESS_MAIN(TestToolOutput)
#include "test_tool_output.moc"
