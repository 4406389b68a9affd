#include "core/platform/local_folder_access.h"

#include <QTemporaryDir>
#include <QTest>

using namespace orvu;

class TestFolderAccess : public QObject {
    Q_OBJECT

private slots:
    void resolve_data() {
        QTest::addColumn<QByteArray>("bookmark");
        QTest::addColumn<std::optional<QString>>("expected");
        QTest::newRow("absolute") << QByteArray("/home/u/Orvu/a")
                                  << std::optional<QString>("/home/u/Orvu/a");
        QTest::newRow("UTF-8") << QString("/home/u/Ørvu").toUtf8()
                               << std::optional<QString>("/home/u/Ørvu");
        QTest::newRow("relative") << QByteArray("Orvu/a") << std::optional<QString>();
        QTest::newRow("empty") << QByteArray() << std::optional<QString>();
        QTest::newRow("not UTF-8") << QByteArray("/home/\xff\xfe") << std::optional<QString>();
        QTest::newRow("embedded NUL") << QByteArray("/a\0/b", 5) << std::optional<QString>();
    }
    void resolve() {
        QFETCH(QByteArray, bookmark);
        QFETCH(std::optional<QString>, expected);
        const auto resolved = LocalFolderAccess().resolveBookmark(bookmark);
        QCOMPARE(resolved.has_value(), expected.has_value());
        if (resolved) {
            QCOMPARE(resolved->path, *expected);
            QVERIFY(!resolved->stale);
        }
    }

    void bookmarkRoundTrip() {
        LocalFolderAccess access;
        const QString path = QStringLiteral("/tmp/ä b/c");
        const auto bookmark = access.makeBookmark(path);
        QVERIFY(bookmark);
        QCOMPARE(access.resolveBookmark(*bookmark)->path, path);
        QVERIFY(!access.makeBookmark(QStringLiteral("relative")));
    }

    void accessNeedsAnExistingFolder() {
        QTemporaryDir dir;
        LocalFolderAccess access;
        QVERIFY(access.startAccessing(dir.path()));
        QVERIFY(!access.startAccessing(dir.filePath("missing")));
    }
};

QTEST_GUILESS_MAIN(TestFolderAccess)
#include "test_folder_access.moc"
