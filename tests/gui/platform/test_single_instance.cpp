#include "gui/platform/single_instance.h"

#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <sys/stat.h>

using namespace orvu;
using Role = SingleInstance::Role;

namespace {

QByteArray frame(const QByteArray &bytes, qint64 length = -1) {
    QByteArray header(4, '\0');
    qToBigEndian(quint32(length < 0 ? bytes.size() : length), header.data());
    return header + bytes;
}

} // namespace

class TestSingleInstance : public QObject {
    Q_OBJECT

private slots:
    // Only a real directory of this user that nobody else may enter holds the socket (one of
    // another user's, and the election, are driven with the app in tests/e2e/hostile).
    void privateDirectory_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("isPrivate");
        QTest::newRow("missing, made 0700 despite the umask") << "missing" << true;
        QTest::newRow("0700") << "0700" << true;
        QTest::newRow("0755") << "0755" << false;
        QTest::newRow("0711") << "0711" << false;
        QTest::newRow("link to a 0700 directory") << "link" << false;
        QTest::newRow("a file") << "file" << false;
    }
    void privateDirectory() {
        QFETCH(QString, kind);
        QFETCH(bool, isPrivate);
        QTemporaryDir root;
        const QString path = root.filePath("run"), own = root.filePath("own");
        QVERIFY(QDir().mkdir(own) &&
                QFile::setPermissions(own, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        const mode_t umask = ::umask(077);
        if (kind == "link")
            QVERIFY(QFile::link(own, path));
        else if (kind == "file")
            QVERIFY(QFile(path).open(QIODevice::WriteOnly));
        else if (kind != "missing")
            QVERIFY(::mkdir(QFile::encodeName(path), 0) == 0 &&
                    ::chmod(QFile::encodeName(path), kind.toUInt(nullptr, 8)) == 0);
        ::umask(kind == "missing" ? 0277 : umask);
        QCOMPARE(SingleInstance::isPrivateDirectory(path, kind == "missing"), isPrivate);
        ::umask(umask);
    }

    // A later start hands over what it was given; the instance acts on one well-formed link
    // per connection and on nothing else.
    void handsOverOneMessagePerConnection_data() {
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QStringList>("received");
        const QByteArray link = "orvu://verify?token=abc";
        QTest::newRow("link") << frame(link) << QStringList{link};
        QTest::newRow("plain start") << frame("") << QStringList{""};
        QTest::newRow("in pieces, the header split")
            << frame(link).left(2) + "|" + frame(link).mid(2) << QStringList{link};
        QTest::newRow("second message ignored") << frame(link) + frame("") << QStringList{link};
        QTest::newRow("embedded newline")
            << frame(link + "\norvu://verify?token=b") << QStringList{};
        QTest::newRow("CR, line separator") << frame(link + "\r\xe2\x80\xa8") << QStringList{};
        QTest::newRow("another scheme") << frame("https://x/?token=a") << QStringList{};
        QTest::newRow("not UTF-8") << frame("orvu://verify?token=\xff") << QStringList{};
        QTest::newRow("over the cap")
            << frame("orvu://" + QByteArray(SingleInstance::kMaxMessageBytes, 'a'))
            << QStringList{};
        QTest::newRow("huge length, no body") << frame("", 0xffffffffu) << QStringList{};
        QTest::newRow("old newline form") << link + "\n" << QStringList{};
    }
    void handsOverOneMessagePerConnection() {
        QFETCH(QByteArray, sent);
        QFETCH(QStringList, received);
        QTemporaryDir run;
        SingleInstance instance(run.path());
        QCOMPARE(instance.elect({}), Role::primary);
        QVERIFY(instance.listen());
        QSignalSpy messages(&instance, &SingleInstance::messageReceived);
        QLocalSocket socket;
        socket.connectToServer(instance.socketPath());
        QVERIFY(socket.waitForConnected(1000));
        for (const QByteArray &piece : sent.split('|')) {
            socket.write(piece);
            QVERIFY(socket.waitForBytesWritten(1000));
            QTest::qWait(30);
        }
        QTest::qWait(100);
        QStringList seen;
        for (const QList<QVariant> &message : messages)
            seen.append(message.value(0).toString());
        QCOMPARE(seen, received);
    }
};

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "test_single_instance.moc"
