#include "gui/app/orvu_url.h"
#include "gui/app/panel_window.h"
#include "gui/app/status_icon.h"

#include <QTest>

using namespace orvu;
using Phase = SyncProgress::Phase;

class TestAppRules : public QObject {
    Q_OBJECT

private slots:
    void statusSymbols() {
        const QList<std::tuple<SyncState::Kind, qint64, QString>> table{
            {SyncState::idle, 0, "checkmark.circle"},
            {SyncState::idle, 1, "arrow.down.circle"},
            {SyncState::syncing, 3, "arrow.triangle.2.circlepath"},
            {SyncState::pulling, 0, "arrow.triangle.2.circlepath"},
            {SyncState::notAuthenticated, 0, "person.crop.circle.badge.questionmark"},
            {SyncState::noFolder, 0, "folder.badge.questionmark"},
            {SyncState::networkError, 2, "wifi.slash"},
            {SyncState::error, 0, "exclamationmark.triangle"}};
        for (const auto &[kind, remote, symbol] : table) {
            QCOMPARE(statusSymbol(SyncState(kind), remote), symbol);
            QVERIFY2(QFile::exists(":/symbols/" + symbol + ".svg"), qPrintable(symbol));
        }
        const QStringList frames{
            animationSymbol(Phase::pushing, 0), animationSymbol(Phase::pushing, 1),
            animationSymbol(Phase::pushing, 2), animationSymbol(Phase::pulling, 7)};
        QCOMPARE(frames,
                 (QStringList{"arrow.up", "arrow.up.circle", "arrow.up", "arrow.down.circle"}));
    }

    void signInToken_data() {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("token"); // null: ignored
        QTest::newRow("token") << "orvu://verify?token=abc" << QString("abc");
        QTest::newRow("first token wins")
            << "orvu://verify?other=1&token=x&token=y" << QString("x");
        QTest::newRow("empty value counts") << "orvu://verify?token=" << QString("");
        QTest::newRow("percent-decoded") << "orvu://verify?token=a%2Bb%20c" << QString("a+b c");
        QTest::newRow("item without value") << "orvu://verify?token" << QString();
        QTest::newRow("other host") << "orvu://login?token=abc" << QString();
        QTest::newRow("longer host") << "orvu://verifyx?token=abc" << QString();
        QTest::newRow("host case") << "orvu://Verify?token=abc" << QString();
        QTest::newRow("other scheme") << "https://verify?token=abc" << QString();
        QTest::newRow("no token item") << "orvu://verify?tokens=abc" << QString();
        QTest::newRow("not a URL") << "orvu://verify?token=a b%zz" << QString();
    }
    void signInToken() {
        QFETCH(QString, url);
        QFETCH(QString, token);
        const std::optional<QString> found = orvu::signInToken(url);
        QCOMPARE(found.has_value(), !token.isNull());
        QCOMPARE(found.value_or(QString()), token);
    }

    void serverURLs() {
        for (const char *good : {"https://orvu.io", "file:///mnt/share/orvu"})
            QVERIFY2(isAcceptableServerURL(good), good);
        for (const char *bad :
             {"http://orvu.io", "https:///x", "file:share", "file://host/share", "orvu.io", ""})
            QVERIFY2(!isAcceptableServerURL(bad), bad);
    }

    void panelPosition_data() {
        QTest::addColumn<QRect>("icon");
        QTest::addColumn<QPoint>("cursor");
        QTest::addColumn<QPoint>("position");
        // A 1280×800 screen whose top panel takes 28 pixels; the panel is 360×300.
        QTest::newRow("below top right") << QRect(1250, 2, 24, 24) << QPoint() << QPoint(920, 30);
        QTest::newRow("below top middle") << QRect(600, 2, 24, 24) << QPoint() << QPoint(431, 30);
        QTest::newRow("above bottom left") << QRect(4, 776, 24, 24) << QPoint() << QPoint(0, 472);
        // Without the icon's geometry, against the cursor.
        QTest::newRow("cursor at the top") << QRect() << QPoint(700, 10) << QPoint(520, 28);
        QTest::newRow("cursor at the bottom") << QRect() << QPoint(100, 790) << QPoint(0, 486);
    }
    void panelPosition() {
        QFETCH(QRect, icon);
        QFETCH(QPoint, cursor);
        QFETCH(QPoint, position);
        QCOMPARE(orvu::panelPosition(icon, cursor, QSize(360, 300), QRect(0, 28, 1280, 772)),
                 position);
    }
};

QTEST_MAIN(TestAppRules)
#include "test_app_rules.moc"
