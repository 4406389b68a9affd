#include "core/sync/sync_decoding.h"

#include <QTest>

using namespace orvu;
using namespace orvu::decoding;

Q_DECLARE_METATYPE(std::optional<orvu::RemoteStatusInfo>)
Q_DECLARE_METATYPE(std::optional<orvu::SyncPreview>)

namespace {

// Changes written compactly as "A:path" so that tables stay readable.
QStringList describe(const QList<PendingChange> &changes) {
    QStringList out;
    for (const PendingChange &change : changes)
        out << PendingChange::rawValue(change.changeType) + u':' + change.id();
    return out;
}

QStringList describe(const QList<RemoteChange> &changes) {
    QStringList out;
    for (const RemoteChange &change : changes)
        out << RemoteChange::rawValue(change.changeType) + u':' + change.path;
    return out;
}

QStringList describe(const QList<SyncFileChange> &changes) {
    QStringList out;
    for (const SyncFileChange &change : changes)
        out << SyncFileChange::rawValue(change.action) + u':' + change.path;
    return out;
}

// One event as text, without its random ids.
QString describe(const SyncEvent &event) {
    struct Visitor {
        QString operator()(std::monostate) const { return QStringLiteral("ignored"); }
        QString operator()(const PushEvent &e) const {
            return QStringLiteral("push %1 %2/%3").arg(e.file).arg(e.current).arg(e.total);
        }
        QString operator()(const PullEvent &e) const {
            return QStringLiteral("pull %1 %2/%3").arg(e.file).arg(e.current).arg(e.total);
        }
        QString operator()(const ConflictEvent &e) const {
            return QStringLiteral("conflict %1 -> %2").arg(e.rename.original, e.rename.renamedTo);
        }
        QString operator()(const CompleteEvent &e) const {
            const SyncResult &r = e.result;
            return QStringLiteral("complete %1 %2 %3 %4 [%5]%6")
                .arg(r.pushed)
                .arg(r.pulled)
                .arg(r.deleted)
                .arg(r.unchanged)
                .arg(describe(r.fileChanges).join(u' '))
                .arg(r.error ? QStringLiteral(" error") : QString());
        }
        QString operator()(const UpToDateEvent &) const { return QStringLiteral("up to date"); }
        QString operator()(const ErrorEvent &e) const {
            return QStringLiteral("error ") + e.message;
        }
    };
    return std::visit(Visitor{}, event);
}

RemoteStatusInfo remote(qint64 toPull, qint64 toDelete, qint64 conflicts,
                        QList<RemoteChange> changes = {}) {
    return RemoteStatusInfo{toPull, toDelete, conflicts, std::move(changes)};
}

} // namespace

class TestSyncDecoding : public QObject {
    Q_OBJECT
private slots:
    void localStatus_data() {
        QTest::addColumn<QString>("output");
        QTest::addColumn<QStringList>("expected");

        QTest::newRow("empty output") << QString() << QStringList();
        QTest::newRow("codes") << R"({"type":"status","changes":[{"path":"a","change":"A"},)"
                                  R"({"path":"b","change":"M"},{"path":"c","change":"D"}]})"
                               << QStringList{"added:a", "modified:b", "deleted:c"};
        QTest::newRow("unknown code is modified")
            << R"({"type":"status","changes":[{"path":"x","change":"X"}]})"
            << QStringList{"modified:x"};
        QTest::newRow("codes are case-sensitive")
            << R"({"type":"status","changes":[{"path":"x","change":"a"}]})"
            << QStringList{"modified:x"};
        QTest::newRow("elements without path or change, or mistyped, are skipped")
            << R"({"type":"status","changes":[{"change":"A"},{"path":"p"},{"path":1,"change":"A"},)"
               R"({"path":"q","change":null},7,"s",{"path":"ok","change":"A","extra":[1,{}]}]})"
            << QStringList{"added:ok"};
        QTest::newRow("lines accumulate in order, duplicates kept")
            << "{\"type\":\"status\",\"changes\":[{\"path\":\"b\",\"change\":\"A\"},"
               "{\"path\":\"a\",\"change\":\"M\"}]}\n"
               "{\"type\":\"status\",\"changes\":[{\"path\":\"b\",\"change\":\"D\"},"
               "{\"path\":\"c\",\"change\":\"A\"},{\"path\":\"a\",\"change\":\"A\"}]}\n"
            << QStringList{"added:b", "modified:a", "deleted:b", "added:c", "added:a"};
        QTest::newRow("other types, invalid JSON, non-objects and blank lines skipped")
            << "\n   \r\nnot json\n[1,2]\n\"status\"\n"
               "{\"type\":\"plan\",\"changes\":[{\"path\":\"p\",\"change\":\"A\"}]}\n"
               "{\"type\":\"Status\",\"changes\":[{\"path\":\"q\",\"change\":\"A\"}]}\n"
               "{\"changes\":[{\"path\":\"r\",\"change\":\"A\"}]}\n"
               "{\"type\":\"status\",\"changes\":[{\"path\":\"t\",\"change\":\"A\"}]\n"
               "  {\"type\":\"status\",\"changes\":[{\"path\":\"ok\",\"change\":\"D\"}]}\r\n"
            << QStringList{"deleted:ok"};
        QTest::newRow("changes not a list")
            << R"({"type":"status","changes":{"path":"a"}})" << QStringList();
        QTest::newRow("type after changes") << R"({"changes":[{"path":"a","change":"A"}],)"
                                               R"("type":"status"})"
                                            << QStringList{"added:a"};
        QTest::newRow("type not a string")
            << R"({"type":1,"changes":[{"path":"a","change":"A"}]})" << QStringList();
        QTest::newRow("escapes and non-ASCII in paths")
            << QString::fromUtf8("{\"type\":\"status\",\"changes\":[{\"path\":"
                                 "\"d\\u00e9j\\u00e0\\/\\\"q\\\".txt\",\"change\":\"\\u0041\"},"
                                 "{\"path\":\"日本/ü.md\",\"change\":\"M\"}]}")
            << QStringList{QString::fromUtf8("added:déjà/\"q\".txt"),
                           QString::fromUtf8("modified:日本/ü.md")};
        QTest::newRow("garbage after the object skips the line")
            << R"({"type":"status","changes":[{"path":"a","change":"A"}]} x)" << QStringList();
        QTest::newRow("bad number skips the line")
            << R"({"type":"status","n":01,"changes":[{"path":"a","change":"A"}]})" << QStringList();
        QTest::newRow("control character in a string skips the line")
            << QStringLiteral("{\"type\":\"status\",\"changes\":[{\"path\":\"a\tb\",\"change\":"
                              "\"A\"}]}")
            << QStringList();
    }
    void localStatus() {
        QFETCH(QString, output);
        QFETCH(QStringList, expected);
        QCOMPARE(describe(decodeLocalStatus(output)), expected);
        // The full decoder reads local changes by the same rules.
        QCOMPARE(describe(decodeFullStatus(output).pendingChanges), expected);
    }

    void fullStatus_data() {
        QTest::addColumn<QString>("output");
        QTest::addColumn<QStringList>("expectedLocal");
        QTest::addColumn<std::optional<RemoteStatusInfo>>("expectedRemote");

        const QList<RemoteChange> kinds{{"p", RemoteChange::ChangeType::pull},
                                        {"d", RemoteChange::ChangeType::pull},
                                        {"rd", RemoteChange::ChangeType::remove},
                                        {"c", RemoteChange::ChangeType::conflict},
                                        {"z", RemoteChange::ChangeType::pull}};

        QTest::newRow("empty") << QString() << QStringList() << std::optional<RemoteStatusInfo>();
        QTest::newRow("no remote key is absent, not zero")
            << R"({"type":"status","changes":[{"path":"a","change":"A"}]})"
            << QStringList{"added:a"} << std::optional<RemoteStatusInfo>();
        QTest::newRow("empty remote object is present with zeros")
            << R"({"type":"status","remote":{}})" << QStringList()
            << std::optional<RemoteStatusInfo>(remote(0, 0, 0));
        QTest::newRow("counts and change kinds; D is a pull")
            << R"({"type":"status","remote":{"toPull":3,"toDelete":1,"conflicts":2,"changes":[)"
               R"({"path":"p","change":"P"},{"path":"d","change":"D"},{"path":"rd","change":"RD"},)"
               R"({"path":"c","change":"C"},{"path":"z","change":"zz"},{"path":"n"},)"
               R"({"change":"P"}]}})"
            << QStringList() << std::optional<RemoteStatusInfo>(remote(3, 1, 2, kinds));
        QTest::newRow("integers: exact only")
            << R"({"type":"status","remote":{"toPull":"3","toDelete":2.5,"conflicts":4.0}})"
            << QStringList() << std::optional<RemoteStatusInfo>(remote(0, 0, 4));
        QTest::newRow("integers: exponent, negative, null, bool")
            << R"({"type":"status","remote":{"toPull":1e2,"toDelete":-7,"conflicts":true}})"
            << QStringList() << std::optional<RemoteStatusInfo>(remote(100, -7, 0));
        QTest::newRow("integers: beyond 64 bits is not one")
            << R"({"type":"status","remote":{"toPull":1e300,"toDelete":9223372036854775807}})"
            << QStringList()
            << std::optional<RemoteStatusInfo>(remote(0, 9223372036854775807LL, 0));
        QTest::newRow("remote changes not a list")
            << R"({"type":"status","remote":{"toPull":1,"changes":"many"}})" << QStringList()
            << std::optional<RemoteStatusInfo>(remote(1, 0, 0));
        QTest::newRow("non-object remote ignored")
            << R"({"type":"status","remote":[1],"changes":[{"path":"a","change":"D"}]})"
            << QStringList{"deleted:a"} << std::optional<RemoteStatusInfo>();
        QTest::newRow("later remote replaces earlier; non-object does not")
            << "{\"type\":\"status\",\"remote\":{\"toPull\":1}}\n"
               "{\"type\":\"status\",\"remote\":{\"toPull\":2}}\n"
               "{\"type\":\"status\",\"remote\":5}\n"
               "{\"type\":\"other\",\"remote\":{\"toPull\":9}}\n"
            << QStringList() << std::optional<RemoteStatusInfo>(remote(2, 0, 0));
        QTest::newRow("remote read without changes, changes read without remote")
            << "{\"type\":\"status\",\"changes\":[{\"path\":\"a\",\"change\":\"A\"}]}\n"
               "{\"type\":\"status\",\"remote\":{\"toDelete\":4}}\n"
            << QStringList{"added:a"} << std::optional<RemoteStatusInfo>(remote(0, 4, 0));
    }
    void fullStatus() {
        QFETCH(QString, output);
        QFETCH(QStringList, expectedLocal);
        QFETCH(std::optional<RemoteStatusInfo>, expectedRemote);
        const FullStatus status = decodeFullStatus(output);
        QCOMPARE(describe(status.pendingChanges), expectedLocal);
        QCOMPARE(status.remote.has_value(), expectedRemote.has_value());
        if (expectedRemote) {
            QCOMPARE(describe(status.remote->changes), describe(expectedRemote->changes));
            QCOMPARE(status.remote->toPull, expectedRemote->toPull);
            QCOMPARE(status.remote->toDelete, expectedRemote->toDelete);
            QCOMPARE(status.remote->conflicts, expectedRemote->conflicts);
        }
    }

    void syncEvent_data() {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("expected");

        QTest::newRow("push") << R"({"type":"push","file":"a.txt","current":2,"total":5})"
                              << "push a.txt 2/5";
        QTest::newRow("push defaults") << R"({"type":"push"})"
                                       << "push  0/0";
        QTest::newRow("push mistyped") << R"({"type":"push","file":3,"current":"1","total":1.5})"
                                       << "push  0/0";
        QTest::newRow("pull") << R"({"type":"pull","file":"b","current":1,"total":1})"
                              << "pull b 1/1";
        QTest::newRow("conflict") << R"({"type":"conflict","file":"a","renamedTo":"a_1"})"
                                  << "conflict a -> a_1";
        QTest::newRow("resolved") << R"({"type":"resolved","file":"a","renamedTo":"a_1"})"
                                  << "conflict a -> a_1";
        QTest::newRow("conflict with empty renamedTo")
            << R"({"type":"conflict","file":"a","renamedTo":""})"
            << "ignored";
        QTest::newRow("conflict without file") << R"({"type":"conflict","renamedTo":"a_1"})"
                                               << "ignored";
        QTest::newRow("delete") << R"({"type":"delete","file":"a"})"
                                << "ignored";
        QTest::newRow("complete")
            << R"({"type":"complete","pushed":2,"pulled":1,"deletedServer":1,"deletedLocal":2,)"
               R"("deleted":3,"unchanged":9,"pushedFiles":["p1","p2"],"pulledFiles":["q"],)"
               R"("deletedLocalFiles":["l"],"deletedServerFiles":["s"],"deletedFiles":["d"]})"
            << "complete 2 1 6 0 [pushed:p1 pushed:p2 pulled:q deleted:d deleted:s deleted:l]";
        QTest::newRow("complete: deleted sums present keys")
            << R"({"type":"complete","deletedLocal":2,"deleted":1})"
            << "complete 0 0 3 0 []";
        QTest::newRow("complete: lists must hold only strings")
            << R"({"type":"complete","pushedFiles":["a",7],"pulledFiles":"b",)"
               R"("deletedFiles":["c"]})"
            << "complete 0 0 0 0 [deleted:c]";
        QTest::newRow("success up to date inside longer text")
            << R"({"type":"success","message":"Everything is up to date."})"
            << "up to date";
        QTest::newRow("success in capitals")
            << R"({"type":"success","message":"Everything is UP TO DATE"})"
            << "ignored";
        QTest::newRow("success without message") << R"({"type":"success"})"
                                                 << "ignored";
        QTest::newRow("error") << R"({"type":"error","error":"quota exceeded"})"
                               << "error quota exceeded";
        QTest::newRow("error without message") << R"({"type":"error"})"
                                               << "error Unknown error";
        QTest::newRow("error with mistyped message") << R"({"type":"error","error":5})"
                                                     << "error Unknown error";
        QTest::newRow("unknown type") << R"({"type":"progress","file":"a"})"
                                      << "ignored";
        QTest::newRow("type case-sensitive") << R"({"type":"Push","file":"a"})"
                                             << "ignored";
        QTest::newRow("no type") << R"({"file":"a"})"
                                 << "ignored";
        QTest::newRow("not JSON") << "Pushing a.txt..."
                                  << "ignored";
        QTest::newRow("not an object") << R"(["push"])"
                                       << "ignored";
        QTest::newRow("truncated") << R"({"type":"push","file":"a")"
                                   << "ignored";
    }
    void syncEvent() {
        QFETCH(QString, line);
        QFETCH(QString, expected);
        QCOMPARE(describe(decodeSyncEvent(line)), expected);
    }

    void freshIdsOnEveryDecode() {
        const QString complete = R"({"type":"complete","pushedFiles":["a","b"]})";
        const SyncEvent first = decodeSyncEvent(complete);
        const SyncEvent second = decodeSyncEvent(complete);
        const auto &a = std::get<CompleteEvent>(first).result.fileChanges;
        const auto &b = std::get<CompleteEvent>(second).result.fileChanges;
        QCOMPARE(a.size(), 2);
        QVERIFY(!a[0].id.isNull());
        QVERIFY(a[0].id != a[1].id);
        QVERIFY(a[0].id != b[0].id);
        const QString conflict = R"({"type":"conflict","file":"a","renamedTo":"a_1"})";
        QVERIFY(std::get<ConflictEvent>(decodeSyncEvent(conflict)).rename.id !=
                std::get<ConflictEvent>(decodeSyncEvent(conflict)).rename.id);
    }

    void preview_data() {
        QTest::addColumn<QString>("output");
        QTest::addColumn<std::optional<SyncPreview>>("expected");

        QTest::newRow("empty") << QString() << std::optional<SyncPreview>();
        QTest::newRow("no plan line")
            << "{\"type\":\"push\",\"file\":\"a\"}\n{\"type\":\"status\"}\n"
            << std::optional<SyncPreview>();
        QTest::newRow("full plan after progress lines")
            << "Scanning...\n{\"type\":\"push\",\"file\":\"a\"}\n"
               "{\"type\":\"plan\",\"toPush\":1,\"toPull\":2,\"toDeleteServer\":3,"
               "\"toDeleteLocal\":4,\"conflicts\":2,\"conflictFiles\":[\"x\",\"y\"]}\n"
            << std::optional<SyncPreview>(SyncPreview{1, 2, 3, 4, 2, {"x", "y"}});
        QTest::newRow("mistyped values take defaults")
            << R"({"type":"plan","toPush":"3","toPull":null,"conflicts":1.5,)"
               R"("conflictFiles":["x",1]})"
            << std::optional<SyncPreview>(SyncPreview{});
        QTest::newRow("first plan wins")
            << "{\"type\":\"plan\",\"toPush\":1}\n{\"type\":\"plan\",\"toPush\":2}\n"
            << std::optional<SyncPreview>(SyncPreview{1, 0, 0, 0, 0, {}});
        QTest::newRow("invalid plan line skipped, next one used")
            << "{\"type\":\"plan\",\"toPush\":1\n{\"type\":\"plan\",\"toPull\":2}\n"
            << std::optional<SyncPreview>(SyncPreview{0, 2, 0, 0, 0, {}});
    }
    void preview() {
        QFETCH(QString, output);
        QFETCH(std::optional<SyncPreview>, expected);
        QCOMPARE(decodePreview(output), expected);
    }

    void codePointOrder_data() {
        QTest::addColumn<QString>("smaller");
        QTest::addColumn<QString>("larger");
        QTest::newRow("plain") << "a"
                               << "b";
        QTest::newRow("prefix") << "a"
                                << "ab";
        QTest::newRow("case: upper before lower") << "B"
                                                  << "a";
        QTest::newRow("beyond U+FFFF after U+FFFD")
            << QString(QChar(0xFFFD)) << QString::fromUcs4(U"\U0001F600");
        QTest::newRow("U+E000 before a surrogate pair")
            << QString(QChar(0xE000)) << QString::fromUcs4(U"\U00010000");
    }
    void codePointOrder() {
        QFETCH(QString, smaller);
        QFETCH(QString, larger);
        QVERIFY(codePointLess(smaller, larger));
        QVERIFY(!codePointLess(larger, smaller));
        QVERIFY(!codePointLess(smaller, smaller));
    }
};

QTEST_GUILESS_MAIN(TestSyncDecoding)
#include "test_sync_decoding.moc"
