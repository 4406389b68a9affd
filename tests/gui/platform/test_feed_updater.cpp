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
    // The user's check of version 1.9.0 against a feed served on this computer (versions compare
    // as numbers: 1.10 is newer, 1.9 the same); no status: no update.json.
    void check_data() {
        QTest::addColumn<QByteArray>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("message");
        const QByteArray ok = "200 OK";
        QTest::newRow("newer") << ok
                               << QByteArray(R"({"version":"1.10.0","downloadURL":"https:x"})")
                               << "Orvu 1.10.0 is available.";
        QTest::newRow("same") << ok << QByteArray(R"({"version":"1.9","downloadURL":"https:x"})")
                              << "Orvu is up to date.";
        const QString failed = "Could not check for updates: ";
        QTest::newRow("newer, nowhere to get it")
            << ok << QByteArray(R"({"version":"2"})") << failed + "The update feed does not say";
        QTest::newRow("garbage") << ok << QByteArray("<html>")
                                 << failed + "The update feed does not name";
        QTest::newRow("missing") << QByteArray("404 Not Found") << QByteArray()
                                 << failed + "Error transferring";
        QTest::newRow("no update.json")
            << QByteArray() << QByteArray()
            << "Updates for Orvu come from your system's package manager.";
    }
    void check() {
        QFETCH(QByteArray, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, message);
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        connect(&server, &QTcpServer::newConnection, this, [&] {
            QTcpSocket *socket = server.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, socket, [=] {
                socket->readAll();
                socket->write("HTTP/1.1 " + status + "\r\nConnection: close\r\nContent-Length: " +
                              QByteArray::number(body.size()) + "\r\n\r\n" + body);
                socket->disconnectFromHost();
            });
        });
        QTemporaryDir resources;
        QFile config(resources.filePath("update.json"));
        if (!status.isEmpty()) {
            QVERIFY(config.open(QIODevice::WriteOnly));
            config.write("{\"feedURL\":\"http://127.0.0.1:" +
                         QByteArray::number(server.serverPort()) + "/feed.json\"}");
            config.close();
        }
        MemorySettingsStore settings;
        FeedUpdater updater(resources.path(), settings, "1.9.0");
        std::optional<UpdateCheckOutcome> outcome;
        updater.fetch([&](const UpdateCheckOutcome &found) { outcome = found; });
        QTRY_VERIFY(outcome);
        QVERIFY(FeedUpdater::messageFor(*outcome).startsWith(message));
        QCOMPARE(outcome->downloadURL.isEmpty(), outcome->kind != Kind::available);
    }
};

QTEST_MAIN(TestFeedUpdater)
#include "test_feed_updater.moc"
