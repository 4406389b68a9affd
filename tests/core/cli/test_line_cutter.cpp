#include "core/cli/line_cutter.h"

#include <QTest>

using namespace orvu;

namespace {

QStringList cutWhole(LineCutter &cutter, const QList<QByteArray> &reads, bool flush = true) {
    QStringList lines;
    const auto sink = [&lines](const QString &line) { lines.append(line); };
    for (const QByteArray &read : reads)
        cutter.feed(read, sink);
    if (flush)
        cutter.flush(sink);
    return lines;
}

QStringList cut(const QList<QByteArray> &reads) {
    LineCutter cutter;
    return cutWhole(cutter, reads);
}

} // namespace

class TestLineCutter : public QObject {
    Q_OBJECT

private slots:
    void cutsAndDecodes_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("lines");

        const auto row = [](const char *name, QByteArray bytes, QStringList lines) {
            QTest::newRow(name) << bytes << lines;
        };
        row("a LF b, b flushed at exit", "a\nb", {"a", "b"});
        row("blank, CR-only, padded and CR LF lines", "  \n\r\n x \r\none\r\n", {"x", "one"});
        row("tabs, form feeds and unicode white space trimmed", "\t\fy\t\n\xc2\xa0z\xe2\x80\x83\n",
            {"y", "z"});
        row("inner white space kept", "a  b\n", {"a  b"});
        row("invalid lines dropped, neighbours kept: bad bytes, overlong form, surrogate",
            "before\n\xff\xfe\n\xc0\xafx\n\xed\xa0\x80\nafter\n", {"before", "after"});
        row("truncated character at exit dropped", "ok\ncaf\xc3", {"ok"});
        row("four-byte character", "\xf0\x9f\x93\x81 dir\n", {QString::fromUtf8("📁 dir")});
        row("no output, or only newlines", "\n\n\n", {});
        row("NUL inside a line kept", QByteArray("a\0b\n", 4), {QString::fromUtf8("a\0b", 3)});
    }

    void cutsAndDecodes() {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, lines);
        QCOMPARE(cut({bytes}), lines);
    }

    // However the reads fall, the result is the same: every split position of every case,
    // including each position inside a multi-byte character.
    void splitReadsAreReassembled_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("two-byte character")
            << QByteArray("caf\xc3\xa9\nz\n") << QStringList{QString::fromUtf8("café"), "z"};
        QTest::newRow("three-byte character")
            << QByteArray("\xe2\x82\xac 5\n") << QStringList{QString::fromUtf8("€ 5")};
        QTest::newRow("four-byte character, no final newline")
            << QByteArray("x\xf0\x9f\x98\x80y") << QStringList{QString::fromUtf8("x😀y")};
        QTest::newRow("CR LF split") << QByteArray("ab\r\ncd\r\n") << QStringList{"ab", "cd"};
        QTest::newRow("invalid between valid")
            << QByteArray("one\n\xe2\x82\ntwo\n") << QStringList{"one", "two"};
    }

    void splitReadsAreReassembled() {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, lines);
        for (qsizetype first = 0; first <= bytes.size(); ++first) {
            // One split, then two splits around every later position.
            QCOMPARE(cut({bytes.left(first), bytes.mid(first)}), lines);
            for (qsizetype second = first; second <= bytes.size(); ++second) {
                const QList<QByteArray> reads{bytes.left(first), bytes.mid(first, second - first),
                                              bytes.mid(second)};
                if (cut(reads) != lines) {
                    QFAIL(qPrintable(QStringLiteral("split at %1 and %2").arg(first).arg(second)));
                }
            }
        }
        // Byte by byte.
        QList<QByteArray> bytewise;
        for (char byte : bytes)
            bytewise.append(QByteArray(1, byte));
        QCOMPARE(cut(bytewise), lines);
    }

    // Each line is handed out as soon as its newline has been fed, not at the next read, and
    // flushing twice hands out the tail once.
    void emitsAsSoonAsTheNewlineArrives() {
        LineCutter cutter;
        QStringList lines;
        const auto sink = [&lines](const QString &line) { lines.append(line); };
        cutter.feed("ab", sink);
        QCOMPARE(lines, QStringList{});
        cutter.feed("c\nd", sink);
        QCOMPARE(lines, QStringList{"abc"});
        cutter.feed("\n", sink);
        QCOMPARE(lines, (QStringList{"abc", "d"}));
        QCOMPARE(cutter.bufferedSize(), 0);
        cutter.feed("tail", sink);
        cutter.flush(sink);
        cutter.flush(sink);
        QCOMPARE(lines, (QStringList{"abc", "d", "tail"}));
        QCOMPARE(cutter.bufferedSize(), 0);
    }

    // An incomplete line longer than the cap is dropped with the rest of it; the following
    // lines come through. A small cap stands in for the 16 MiB of a real run.
    void overlongLinesAreDropped_data() {
        QTest::addColumn<QList<QByteArray>>("reads");
        QTest::addColumn<QStringList>("lines");

        const auto row = [](const char *name, QList<QByteArray> reads, QStringList lines) {
            QTest::newRow(name) << reads << lines;
        };
        row("grows past the cap over several reads", {"ok\n12345", "67890", "123\nnext\n"},
            {"ok", "next"});
        row("whole overlong line in one read", {"12345678901\nnext\n"}, {"next"});
        row("exactly the cap is kept", {"1234567890\n1234567890", "\n"},
            {"1234567890", "1234567890"});
        row("endless line never flushed", {"start\n", "1234567", "8901234", "5678"}, {"start"});
        row("rest of the dropped line spans reads", {"12345678901", "aaaa", "bbbb\nc\n"}, {"c"});
        row("newline right after dropping", {"12345678901", "\nafter"}, {"after"});
    }

    void overlongLinesAreDropped() {
        QFETCH(QList<QByteArray>, reads);
        QFETCH(QStringList, lines);
        LineCutter cutter(10);
        QCOMPARE(cutWhole(cutter, reads), lines);
    }

    void memoryStaysBoundedForAnEndlessLine() {
        LineCutter cutter(1000);
        const QByteArray chunk(300, 'x');
        qsizetype largest = 0;
        for (int i = 0; i < 1000; ++i) {
            cutter.feed(chunk, [](const QString &) {});
            largest = std::max(largest, cutter.bufferedSize());
        }
        QVERIFY(largest <= 1000);
    }

    // Status lines can be huge: the default cap keeps a 16 MiB line.
    void defaultCapKeepsSixteenMebibyteLines() {
        LineCutter cutter;
        const QByteArray mebibyte(1024 * 1024, 'y');
        QList<QByteArray> reads(16, mebibyte);
        reads << "\n";
        const QStringList lines = cutWhole(cutter, reads);
        QCOMPARE(lines.size(), 1);
        QCOMPARE(lines.first().size(), 16 * 1024 * 1024);
    }
};

QTEST_GUILESS_MAIN(TestLineCutter)
#include "test_line_cutter.moc"
