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

        QTest::newRow("a LF b, b flushed at exit") << QByteArray("a\nb") << QStringList{"a", "b"};
        QTest::newRow("blank, CR-only and padded lines")
            << QByteArray("  \n\r\n x \r\n") << QStringList{"x"};
        QTest::newRow("CR LF endings") << QByteArray("one\r\ntwo\r\n") << QStringList{"one", "two"};
        QTest::newRow("tabs and form feeds trimmed") << QByteArray("\t\fy\t\n") << QStringList{"y"};
        QTest::newRow("inner white space kept") << QByteArray("a  b\n") << QStringList{"a  b"};
        QTest::newRow("invalid line dropped, neighbours kept")
            << QByteArray("before\n\xff\xfe\nafter\n") << QStringList{"before", "after"};
        QTest::newRow("overlong encoding is invalid")
            << QByteArray("\xc0\xafx\nok\n") << QStringList{"ok"};
        QTest::newRow("encoded surrogate is invalid")
            << QByteArray("\xed\xa0\x80\nok\n") << QStringList{"ok"};
        QTest::newRow("truncated character at exit dropped")
            << QByteArray("ok\ncaf\xc3") << QStringList{"ok"};
        QTest::newRow("four-byte character")
            << QByteArray("\xf0\x9f\x93\x81 dir\n") << QStringList{QString::fromUtf8("📁 dir")};
        QTest::newRow("no output") << QByteArray() << QStringList{};
        QTest::newRow("only newlines") << QByteArray("\n\n\n") << QStringList{};
        QTest::newRow("unicode white space trimmed")
            << QByteArray("\xc2\xa0z\xe2\x80\x83\n") << QStringList{"z"};
        QTest::newRow("NUL inside a line kept")
            << QByteArray("a\0b\n", 4) << QStringList{QString::fromUtf8("a\0b", 3)};
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

    // Each line is handed out as soon as its newline has been fed, not at the next read.
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
    }

    void flushEmptiesTheBuffer() {
        LineCutter cutter;
        QStringList lines;
        const auto sink = [&lines](const QString &line) { lines.append(line); };
        cutter.feed("tail", sink);
        cutter.flush(sink);
        cutter.flush(sink);
        QCOMPARE(lines, QStringList{"tail"});
        QCOMPARE(cutter.bufferedSize(), 0);
    }

    // An incomplete line longer than the cap is dropped with the rest of it; the following
    // lines come through. A small cap stands in for the 16 MiB of a real run.
    void overlongLinesAreDropped_data() {
        QTest::addColumn<QList<QByteArray>>("reads");
        QTest::addColumn<QStringList>("lines");

        QTest::newRow("grows past the cap over several reads")
            << QList<QByteArray>{"ok\n12345", "67890", "123\nnext\n"} << QStringList{"ok", "next"};
        QTest::newRow("whole overlong line in one read")
            << QList<QByteArray>{"12345678901\nnext\n"} << QStringList{"next"};
        QTest::newRow("exactly the cap is kept")
            << QList<QByteArray>{"1234567890", "\n"} << QStringList{"1234567890"};
        QTest::newRow("exactly the cap, one read")
            << QList<QByteArray>{"1234567890\n"} << QStringList{"1234567890"};
        QTest::newRow("endless line never flushed")
            << QList<QByteArray>{"start\n", "1234567", "8901234", "5678"} << QStringList{"start"};
        QTest::newRow("rest of the dropped line spans reads")
            << QList<QByteArray>{"12345678901", "aaaa", "bbbb\nc\n"} << QStringList{"c"};
        QTest::newRow("newline right after dropping")
            << QList<QByteArray>{"12345678901", "\nafter"} << QStringList{"after"};
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

    void defaultCapIsSixteenMebibytes() {
        QCOMPARE(LineCutter::kDefaultMaximumLineLength, 16 * 1024 * 1024);
        LineCutter cutter;
        QStringList lines;
        const auto sink = [&lines](const QString &line) { lines.append(line); };
        const QByteArray mebibyte(1024 * 1024, 'y');
        for (int i = 0; i < 16; ++i)
            cutter.feed(mebibyte, sink);
        cutter.feed("\n", sink);
        QCOMPARE(lines.size(), 1);
        QCOMPARE(lines.first().size(), 16 * 1024 * 1024);
        for (int i = 0; i < 16; ++i)
            cutter.feed(mebibyte, sink);
        cutter.feed("z\nlast\n", sink);
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines.last(), QStringLiteral("last"));
    }
};

QTEST_GUILESS_MAIN(TestLineCutter)
#include "test_line_cutter.moc"
