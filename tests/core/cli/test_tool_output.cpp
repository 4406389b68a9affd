#include "core/cli/line_cutter.h"
#include "core/cli/tool_output.h"

#include <QJsonDocument>
#include <QTest>

using namespace orvu;

// Reading what the tool prints. That any split of the bytes into reads gives the lines of one
// read, and that no more than the cap stays buffered, is the line cutter's fuzz target's; that
// a line comes as soon as its newline does, the runner's streaming tests'.
class TestToolOutput : public QObject {
    Q_OBJECT

    static QStringList cut(const QList<QByteArray> &reads, qsizetype cap = 10) {
        LineCutter cutter(cap);
        QStringList lines;
        const auto sink = [&lines](const QString &line) { lines.append(line); };
        for (const QByteArray &read : reads)
            cutter.feed(read, sink);
        cutter.flush(sink);
        cutter.flush(sink); // a second flush hands out nothing
        return lines;
    }

private slots:
    // A small cap stands in for the 16 MiB of a real run: an incomplete line longer than it
    // is dropped with the rest of it, and the following lines come through.
    void cutsDecodesAndDrops_data() {
        QTest::addColumn<QList<QByteArray>>("reads");
        QTest::addColumn<QStringList>("lines");
        const auto row = [](const char *name, QList<QByteArray> reads, QStringList lines) {
            QTest::newRow(name) << reads << lines;
        };
        row("a LF b, b flushed at exit", {"a\nb"}, {"a", "b"});
        row("blank, CR-only, padded, CR LF", {"  \n\r\n x \r\n1\r\n"}, {"x", "1"});
        row("unicode white space trimmed, inner kept", {"\xc2\xa0y  z\xe2\x80\x83\n"}, {"y  z"});
        row("invalid lines dropped: bad bytes, overlong form, surrogate",
            {"a\n\xff\n\xc0\xafx\n\xed\xa0\x80\nb\n"}, {"a", "b"});
        row("truncated character at exit dropped", {"ok\ncaf\xc3"}, {"ok"});
        row("NUL inside a line kept", {QByteArray("a\0b\n", 4)}, {QString::fromUtf8("a\0b", 3)});
        row("grows past the cap over reads", {"ok\n12345", "67890", "1\nnext\n"}, {"ok", "next"});
        row("exactly the cap is kept", {"1234567890\n1234567890", "\n"},
            {"1234567890", "1234567890"});
        row("overlong in one read", {"12345678901\nnext\n"}, {"next"});
        row("endless line never flushed", {"start\n", "1234567", "8901234", "5678"}, {"start"});
    }
    void cutsDecodesAndDrops() {
        QFETCH(QList<QByteArray>, reads);
        QFETCH(QStringList, lines);
        QCOMPARE(cut(reads), lines);
    }

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
