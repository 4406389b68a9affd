#include "core/platform/local_folder_access.h"

#include <QTest>

using namespace orvu;

class TestFolderAccess : public QObject {
    Q_OBJECT

private slots:
    // A bookmark is the folder's UTF-8 path; anything else must not resolve to some folder.
    void resolve_data() {
        QTest::addColumn<QByteArray>("bookmark");
        QTest::addColumn<bool>("resolves");
        QTest::newRow("UTF-8 absolute") << QString("/tmp/Ørvu b/c").toUtf8() << true;
        QTest::newRow("relative") << QByteArray("Orvu/a") << false;
        QTest::newRow("empty") << QByteArray() << false;
        QTest::newRow("not UTF-8") << QByteArray("/home/\xff\xfe") << false;
        QTest::newRow("embedded NUL") << QByteArray("/a\0/b", 5) << false;
    }
    void resolve() {
        QFETCH(QByteArray, bookmark);
        QFETCH(bool, resolves);
        LocalFolderAccess access;
        const auto resolved = access.resolveBookmark(bookmark);
        QCOMPARE(resolved.has_value(), resolves);
        if (resolved) {
            // What resolves is what makeBookmark() made of the same path.
            QCOMPARE((std::pair{resolved->path, resolved->stale}),
                     (std::pair{QString::fromUtf8(bookmark), false}));
            QCOMPARE(access.makeBookmark(resolved->path), bookmark);
        }
        QVERIFY(!access.makeBookmark("relative"));
    }
};

QTEST_GUILESS_MAIN(TestFolderAccess)
#include "test_folder_access.moc"
