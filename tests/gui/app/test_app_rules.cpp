#include "gui/app/orvu_url.h"
#include "gui/app/panel_window.h"
#include "gui/app/status_icon.h"
#include "gui/app/tray_menu.h"
#include "gui/platform/xdg_autostart.h"

#include <QPainter>
#include <QTest>

using namespace orvu;
using Phase = SyncProgress::Phase;

class TestAppRules : public QObject {
    Q_OBJECT

private slots:
    // Each state has its own icon, bundled and installed as io.orvu.tray-<state>-symbolic.
    void statusSymbols() {
        const QList<std::tuple<SyncState::Kind, qint64, qint64, QString>> table{
            {SyncState::idle, 0, 0, "checkmark.circle"},
            {SyncState::idle, 1, 3, "arrow.down.circle"},
            {SyncState::idle, 0, 3, "arrow.up.circle"},
            {SyncState::syncing, 3, 0, "arrow.triangle.2.circlepath"},
            {SyncState::pulling, 0, 1, "arrow.triangle.2.circlepath"},
            {SyncState::notAuthenticated, 0, 0, "person.crop.circle.badge.questionmark"},
            {SyncState::noFolder, 0, 0, "folder.badge.questionmark"},
            {SyncState::networkError, 2, 0, "wifi.slash"},
            {SyncState::error, 0, 0, "exclamationmark.triangle"}};
        for (const auto &[kind, remote, pending, symbol] : table) {
            QCOMPARE(statusSymbol(SyncState(kind), remote, pending), symbol);
            QVERIFY2(QFile::exists(":/symbols/" + trayIconName(symbol) + ".svg"),
                     qPrintable(symbol));
        }
        const QStringList frames{
            animationSymbol(Phase::pushing, 0), animationSymbol(Phase::pushing, 1),
            animationSymbol(Phase::pushing, 2), animationSymbol(Phase::pulling, 7)};
        QCOMPARE(frames,
                 (QStringList{"arrow.up", "arrow.up.circle", "arrow.up", "arrow.down.circle"}));
        for (const QString &frame : frames + QStringList{"arrow.down"})
            QVERIFY2(QFile::exists(":/symbols/" + trayIconName(frame) + ".svg"), qPrintable(frame));
    }

    // A wide tray slot (44×26 at 200%) gets the square icon in its middle, not a stretched one.
    void trayIconStaysSquare() {
        QImage slot(44, 26, QImage::Format_ARGB32_Premultiplied);
        slot.fill(Qt::transparent);
        QPainter painter(&slot);
        trayIcon("checkmark.circle", Qt::black, Qt::white).paint(&painter, slot.rect());
        QImage blank(8, 26, slot.format());
        blank.fill(Qt::transparent);
        QVERIFY(slot.copy(0, 0, 8, 26) == blank && slot.copy(36, 0, 8, 26) == blank);
        QVERIFY(slot.copy(8, 0, 28, 26) != blank.scaled(28, 26));
    }

    // Signed in and starting at login (the exported menu of a fresh start is checked on a
    // desktop); the status line ("-") is no command.
    void trayMenu() {
        QStringList lines;
        for (const TrayMenuEntry &entry : trayMenuEntries("Syncing...", true, true))
            lines << entry.text + (entry.enabled ? "" : "-") + (entry.checked ? "+" : "");
        QCOMPARE(lines.join('|'), "Syncing...-|Open Orvu|Add Repo...|Check for Updates…|Start at "
                                  "Login+|Quit Orvu");
    }

    // X11: always; placed by the compositor: once used; never with the panel's dialog open.
    void focusLossClosesThePanel() {
        QVERIFY(closesOnFocusLoss(false, false, false) && closesOnFocusLoss(true, true, false));
        QVERIFY(!closesOnFocusLoss(true, false, false) && !closesOnFocusLoss(false, true, true));
    }

    // The autostart entry's Exec runs exactly this program, wherever it is installed.
    void startAtLoginExec() {
        for (const auto &[path, exec] : QList<std::pair<const char *, const char *>>{
                 {"/usr/bin/orvutray", "/usr/bin/orvutray"},
                 {"/opt/My Apps/orvutray", "\"/opt/My Apps/orvutray\""},
                 {"/a$b\"c\\d%e", "\"/a\\\\$b\\\\\"c\\\\\\\\d%%e\""},
                 {"/a\nb", "(none)"}})
            QCOMPARE(XdgAutostart::execValue(path).value_or("(none)"), exec);
    }

    // Only orvu://verify with a "token" item signs in (its first one; empty counts, no value not).
    void signInToken() {
        const QList<std::pair<const char *, const char *>> accepted{
            {"orvu://verify?token=abc", "abc"},
            {"orvu://verify?other=1&token=x&token=y", "x"},
            {"orvu://verify?token=", ""},
            {"orvu://verify?token=a%2Bb%20c", "a+b c"}};
        for (const auto &[url, token] : accepted)
            QCOMPARE(orvu::signInToken(url).value_or("(none)"), token);
        for (const char *ignored :
             {"orvu://verify?token", "orvu://login?token=abc", "orvu://verifyx?token=abc",
              "orvu://Verify?token=abc", "https://verify?token=abc", "orvu://verify?tokens=abc",
              "orvu://verify?token=a b%zz"})
            QVERIFY2(!orvu::signInToken(ignored), ignored);
    }

    void serverURLs() {
        for (const char *good : {"https://orvu.io", "file:///mnt/share/orvu"})
            QVERIFY2(isAcceptableServerURL(good), good);
        for (const char *bad :
             {"http://orvu.io", "https:///x", "file:share", "file://host/share", "orvu.io", ""})
            QVERIFY2(!isAcceptableServerURL(bad), bad);
    }

    // A 1280×800 screen whose top panel takes 28 pixels; the panel is 360×300. Against the
    // icon, below a top panel and above a bottom one; without its geometry, against the cursor.
    void panelPosition() {
        const QList<std::tuple<QRect, QPoint, QPoint>> table{
            {QRect(1250, 2, 24, 24), QPoint(), QPoint(920, 30)},
            {QRect(600, 2, 24, 24), QPoint(), QPoint(431, 30)},
            {QRect(4, 776, 24, 24), QPoint(), QPoint(0, 472)},
            {QRect(), QPoint(700, 10), QPoint(520, 28)},
            {QRect(), QPoint(100, 790), QPoint(0, 486)}};
        for (const auto &[icon, cursor, position] : table)
            QCOMPARE(orvu::panelPosition(icon, cursor, QSize(360, 300), QRect(0, 28, 1280, 772)),
                     position);
    }
};

QTEST_MAIN(TestAppRules)
#include "test_app_rules.moc"
