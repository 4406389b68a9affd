#include "core/platform/memory_settings_store.h"
#include "gui/platform/feed_updater.h"

#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

using namespace orvu;
using Kind = UpdateCheckOutcome::Kind;

class TestFeedUpdater : public QObject {
    Q_OBJECT

private slots:
    void versions_data() {
        QTest::addColumn<QString>("candidate");
        QTest::addColumn<QString>("current");
        QTest::addColumn<bool>("newer");
        QTest::newRow("patch") << "0.1.1"
                               << "0.1.0" << true;
        QTest::newRow("numeric, not textual") << "0.10.0"
                                              << "0.9.1" << true;
        QTest::newRow("same") << "1.2.0"
                              << "1.2.0" << false;
        QTest::newRow("same, shorter") << "1.2"
                                       << "1.2.0" << false;
        QTest::newRow("older") << "1.1.9"
                               << "1.2.0" << false;
        QTest::newRow("not a version") << "latest"
                                       << "0.1.0" << false;
    }
    void versions() {
        QFETCH(QString, candidate);
        QFETCH(QString, current);
        QFETCH(bool, newer);
        QCOMPARE(isNewerVersion(candidate, current), newer);
    }

    // The user's check against a feed served on this computer.
    void check_data() {
        QTest::addColumn<QByteArray>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("message");
        QTest::newRow("newer")
            << QByteArray("200 OK")
            << QByteArray("{\"version\":\"1.3.0\",\"downloadURL\":\"https://orvu.io/get\"}")
            << int(Kind::available) << "Orvu 1.3.0 is available.";
        QTest::newRow("same")
            << QByteArray("200 OK")
            << QByteArray("{\"version\":\"1.2.0\",\"downloadURL\":\"https://orvu.io/get\"}")
            << int(Kind::upToDate) << "Orvu is up to date.";
        QTest::newRow("newer without download")
            << QByteArray("200 OK") << QByteArray("{\"version\":\"2.0\"}") << int(Kind::failed)
            << "Could not check for updates: The update feed does not say where to download it.";
        QTest::newRow("garbage") << QByteArray("200 OK") << QByteArray("<html>")
                                 << int(Kind::failed)
                                 << "Could not check for updates: The update feed does not name a "
                                    "version.";
        QTest::newRow("missing") << QByteArray("404 Not Found") << QByteArray() << int(Kind::failed)
                                 << "";
    }
    void check() {
        QFETCH(QByteArray, status);
        QFETCH(QByteArray, body);
        QFETCH(int, kind);
        QFETCH(QString, message);
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        const QByteArray response =
            "HTTP/1.1 " + status +
            "\r\nConnection: close\r\nContent-Length: " + QByteArray::number(body.size()) +
            "\r\n\r\n" + body;
        connect(&server, &QTcpServer::newConnection, this, [&] {
            QTcpSocket *socket = server.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, socket, [socket, response] {
                socket->readAll();
                socket->write(response);
                socket->disconnectFromHost();
            });
        });
        QTemporaryDir resources;
        QFile config(resources.filePath("update.json"));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write(QStringLiteral("{\"feedURL\":\"http://127.0.0.1:%1/feed.json\"}")
                         .arg(server.serverPort())
                         .toUtf8());
        config.close();
        MemorySettingsStore settings;
        FeedUpdater updater(resources.path(), settings, "1.2.0");
        std::optional<UpdateCheckOutcome> outcome;
        updater.fetch([&](const UpdateCheckOutcome &found) { outcome = found; });
        QTRY_VERIFY(outcome);
        QCOMPARE(int(outcome->kind), kind);
        if (!message.isEmpty())
            QCOMPARE(FeedUpdater::messageFor(*outcome), message);
        if (outcome->kind == Kind::available)
            QCOMPARE(outcome->downloadURL, QUrl("https://orvu.io/get"));
        QVERIFY(settings.keys().isEmpty()); // no automatic checks asked for, none scheduled
    }

    void withoutConfigTheSystemUpdates() {
        QTemporaryDir resources;
        MemorySettingsStore settings;
        FeedUpdater updater(resources.path(), settings, "1.2.0");
        std::optional<UpdateCheckOutcome> outcome;
        updater.fetch([&](const UpdateCheckOutcome &found) { outcome = found; });
        QVERIFY(outcome && outcome->kind == Kind::packageManaged);
        QCOMPARE(FeedUpdater::messageFor(*outcome),
                 "Updates for Orvu come from your system's package manager.");
    }
};

QTEST_MAIN(TestFeedUpdater)
#include "test_feed_updater.moc"
