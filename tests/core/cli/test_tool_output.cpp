#include "core/cli/tool_output.h"

#include <QJsonDocument>
#include <QTest>

using namespace orvu;

class TestToolOutput : public QObject {
    Q_OBJECT

private slots:
    void readsOneObjectPerLine_data() {
        QTest::addColumn<QString>("output");
        QTest::addColumn<QStringList>("expected");
        const auto row = [](const char *name, QString output, QStringList expected) {
            QTest::newRow(name) << output << expected;
        };
        row("LF and CR LF", "{\"a\":1}\r\n{\"b\":2}\n{\"c\":3}",
            {"{\"a\":1}", "{\"b\":2}", "{\"c\":3}"});
        row("blank, junk and non-objects skipped",
            "  \n\r\n\t\nprogress\n[1]\n\"s\"\n {\"a\":1} \t\n", {"{\"a\":1}"});
        // A lone CR does not end a line, so two objects joined by one are junk.
        row("lone CR", "{\"a\":1}\r{\"b\":2}\n{\"c\":3}", {"{\"c\":3}"});
        // Only spaces and tabs pad a line: a vertical tab spoils it.
        row("other white space kept", "\v{\"a\":1}\n\u00a0{\"b\":2}\u2003", {"{\"b\":2}"});
    }
    void readsOneObjectPerLine() {
        QFETCH(QString, output);
        QFETCH(QStringList, expected);
        QStringList texts;
        for (const QJsonObject &object : tool_output::jsonObjectLines(output))
            texts << QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
        QCOMPARE(texts, expected);
    }

    void errorTextPrefersTheToolsOwnWords_data() {
        QTest::addColumn<QString>("standardOutput");
        QTest::addColumn<QString>("standardError");
        QTest::addColumn<QString>("expected"); // null: none
        QTest::newRow("first usable error line")
            << "{\"type\":\"error\",\"error\":\"\"}\n{\"type\":\"error\",\"error\":7}\n"
               "{\"type\":\"error\",\"error\":\"Repo not "
               "found\"}\n{\"type\":\"error\",\"error\":\"x\"}"
            << "ignored"
            << "Repo not found";
        QTest::newRow("standard error trimmed") << "{}"
                                                << "\n  disk full \n"
                                                << "disk full";
        QTest::newRow("nothing to say") << QString() << " \n\t" << QString();
    }
    void errorTextPrefersTheToolsOwnWords() {
        QFETCH(QString, standardOutput);
        QFETCH(QString, standardError);
        QFETCH(QString, expected);
        const auto text = tool_output::errorText(CLIAuthResult{standardOutput, standardError, 1});
        QCOMPARE(text.value_or(QString()), expected);
        QCOMPARE(text.has_value(), !expected.isNull());
    }
};

QTEST_GUILESS_MAIN(TestToolOutput)
#include "test_tool_output.moc"
