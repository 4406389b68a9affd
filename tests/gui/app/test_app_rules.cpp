#include "gui/app/orvu_url.h"
#include "gui/app/panel_window.h"
#include "gui/app/status_icon.h"

#include <QTest>

using namespace orvu;
using Phase = SyncProgress::Phase;

class TestAppRules : public QObject {
    Q_OBJECT

private slots:
    void statusSymbol_data() {
        QTest::addColumn<int>("kind");
        QTest::addColumn<qint64>("remote");
        QTest::addColumn<QString>("symbol");
        QTest::newRow("idle") << int(SyncState::idle) << 0LL << "checkmark.circle";
        QTest::newRow("idle, files waiting") << int(SyncState::idle) << 1LL << "arrow.down.circle";
        QTest::newRow("syncing") << int(SyncState::syncing) << 3LL << "arrow.triangle.2.circlepath";
        QTest::newRow("pulling") << int(SyncState::pulling) << 0LL << "arrow.triangle.2.circlepath";
        QTest::newRow("signed out")
            << int(SyncState::notAuthenticated) << 0LL << "person.crop.circle.badge.questionmark";
        QTest::newRow("no folder")
            << int(SyncState::noFolder) << 0LL << "folder.badge.questionmark";
        QTest::newRow("offline") << int(SyncState::networkError) << 2LL << "wifi.slash";
        QTest::newRow("error") << int(SyncState::error) << 0LL << "exclamationmark.triangle";
    }
    void statusSymbol() {
        QFETCH(int, kind);
        QFETCH(qint64, remote);
        QFETCH(QString, symbol);
        QCOMPARE(orvu::statusSymbol(SyncState(SyncState::Kind(kind)), remote), symbol);
        // Every symbol the tray may show is bundled.
        QVERIFY(QFile::exists(":/symbols/" + symbol + ".svg"));
    }

    void animationFrames() {
        const QStringList push{animationSymbol(Phase::pushing, 0),
                               animationSymbol(Phase::pushing, 1),
                               animationSymbol(Phase::pushing, 2)};
        QCOMPARE(push, (QStringList{"arrow.up", "arrow.up.circle", "arrow.up"}));
        QCOMPARE(animationSymbol(Phase::pulling, 7), "arrow.down.circle");
        QCOMPARE(animationSymbol(Phase::pulling, 8), "arrow.down");
        QCOMPARE(trayToolTip("2 repos · up to date"), "Orvu — 2 repos · up to date");
    }

    void signInToken_data() {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("token"); // null: ignored
        QTest::newRow("token") << "orvu://verify?token=abc"
                               << "abc";
        QTest::newRow("first token wins") << "orvu://verify?other=1&token=x&token=y"
                                          << "x";
        QTest::newRow("empty value counts") << "orvu://verify?token="
                                            << "";
        QTest::newRow("percent-decoded") << "orvu://verify?token=a%2Bb%20c"
                                         << "a+b c";
        QTest::newRow("item without value") << "orvu://verify?token" << QString();
        QTest::newRow("other host") << "orvu://login?token=abc" << QString();
        QTest::newRow("longer host") << "orvu://verifyx?token=abc" << QString();
        QTest::newRow("host case") << "orvu://Verify?token=abc" << QString();
        QTest::newRow("other scheme") << "https://verify?token=abc" << QString();
        QTest::newRow("no token item") << "orvu://verify?tokens=abc" << QString();
        QTest::newRow("no query") << "orvu://verify" << QString();
        QTest::newRow("not a URL") << "orvu://verify?token=a b%zz" << QString();
    }
    void signInToken() {
        QFETCH(QString, url);
        QFETCH(QString, token);
        const std::optional<QString> found = orvu::signInToken(url);
        QCOMPARE(found.has_value(), !token.isNull());
        if (found)
            QCOMPARE(*found, token);
    }

    void serverURLs_data() {
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("acceptable");
        QTest::newRow("https") << "https://orvu.io" << true;
        QTest::newRow("shared folder") << "file:///mnt/share/orvu" << true;
        QTest::newRow("http") << "http://orvu.io" << false;
        QTest::newRow("https without host") << "https:///x" << false;
        QTest::newRow("relative file") << "file:share" << false;
        QTest::newRow("remote file host") << "file://host/share" << false;
        QTest::newRow("no scheme") << "orvu.io" << false;
        QTest::newRow("empty") << "" << false;
    }
    void serverURLs() {
        QFETCH(QString, url);
        QFETCH(bool, acceptable);
        QCOMPARE(isAcceptableServerURL(url), acceptable);
    }

    void panelPosition_data() {
        QTest::addColumn<QRect>("icon");
        QTest::addColumn<QPoint>("cursor");
        QTest::addColumn<QPoint>("position");
        // A 1280×800 screen whose top panel takes 28 pixels; the panel is 360×300.
        QTest::newRow("below a top-right icon, kept on screen")
            << QRect(1250, 2, 24, 24) << QPoint() << QPoint(920, 30);
        QTest::newRow("below an icon in the middle")
            << QRect(600, 2, 24, 24) << QPoint() << QPoint(431, 30);
        QTest::newRow("above a bottom-left icon")
            << QRect(4, 776, 24, 24) << QPoint() << QPoint(0, 472);
        QTest::newRow("no geometry: at the cursor near the top")
            << QRect() << QPoint(700, 10) << QPoint(520, 28);
        QTest::newRow("no geometry: above the cursor near the bottom")
            << QRect() << QPoint(100, 790) << QPoint(0, 486);
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
