#include "core/sync/sync_decoding.h"

#include <QTest>

using namespace orvu;
using namespace orvu::decoding;

Q_DECLARE_METATYPE(std::optional<orvu::RemoteStatusInfo>)
Q_DECLARE_METATYPE(std::optional<orvu::SyncPreview>)

namespace {

// Changes written compactly as "kind:path" so that tables stay readable.
template <typename Change, typename Kind>
QStringList describe(const QList<Change> &changes, Kind Change::*kind) {
    QStringList out;
    for (const Change &change : changes)
        out << Change::rawValue(change.*kind) + u':' + change.path;
    return out;
}

// One event as text, without its random ids.
QString describe(const SyncEvent &event) {
    return std::visit(
        []<typename E>(const E &e) -> QString {
            if constexpr (std::is_same_v<E, PushEvent> || std::is_same_v<E, PullEvent>)
                return QStringLiteral("%1 %2 %3/%4")
                    .arg(std::is_same_v<E, PushEvent> ? "push" : "pull", e.file)
                    .arg(e.current)
                    .arg(e.total);
            else if constexpr (std::is_same_v<E, ConflictEvent>)
                return "conflict " + e.rename.original + " -> " + e.rename.renamedTo;
            else if constexpr (std::is_same_v<E, CompleteEvent>)
                return QStringLiteral("complete %1 %2 %3 %4 [%5]%6")
                    .arg(e.result.pushed)
                    .arg(e.result.pulled)
                    .arg(e.result.deleted)
                    .arg(e.result.unchanged)
                    .arg(describe(e.result.fileChanges, &SyncFileChange::action).join(u' '))
                    .arg(e.result.error ? " error" : "");
            else if constexpr (std::is_same_v<E, UpToDateEvent>)
                return QStringLiteral("up to date");
            else if constexpr (std::is_same_v<E, ErrorEvent>)
                return "error " + e.message;
            return QStringLiteral("ignored");
        },
        event);
}

// A status line with the given change objects.
QString status(const QStringList &changes) {
    return R"({"type":"status","changes":[)" + changes.join(u',') + "]}";
}
QString ch(const QString &path, const QString &code) {
    return QStringLiteral(R"({"path":"%1","change":"%2"})").arg(path, code);
}

} // namespace

class TestSyncDecoding : public QObject {
    Q_OBJECT
private slots:
    void localStatus_data() {
        QTest::addColumn<QString>("output");
        QTest::addColumn<QStringList>("expected");
        const auto row = [](const char *name, QString output, QStringList expected) {
            QTest::newRow(name) << output << expected;
        };

        row("empty output", "", {});
        row("codes; unknown and lower-case codes are modified",
            status({ch("a", "A"), ch("b", "M"), ch("c", "D"), ch("x", "X"), ch("y", "a")}),
            {"added:a", "modified:b", "deleted:c", "modified:x", "modified:y"});
        row("elements without path or change, or mistyped, are skipped",
            status(
                {R"({"change":"A"},{"path":"p"},{"path":1,"change":"A"},{"path":"q","change":null})",
                 R"(7,"s",{"path":"ok","change":"A","extra":[1,{}]})"}),
            {"added:ok"});
        row("lines accumulate in order, duplicates kept",
            status({ch("b", "A"), ch("a", "M")}) + "\n" +
                status({ch("b", "D"), ch("c", "A"), ch("a", "A")}) + "\n",
            {"added:b", "modified:a", "deleted:b", "added:c", "added:a"});
        row("other types, invalid JSON, non-objects and blank lines skipped",
            "\n   \r\nnot json\n[1,2]\n\"status\"\n"
            R"({"type":"plan","changes":[{"path":"p","change":"A"}]})"
            "\n"
            R"({"type":"Status","changes":[{"path":"q","change":"A"}]})"
            "\n"
            R"({"changes":[{"path":"r","change":"A"}]})"
            "\n"
            R"({"type":"status","changes":[{"path":"t","change":"A"}])"
            "\n  " +
                status({ch("ok", "D")}) + "\r\n",
            {"deleted:ok"});
        row("escapes and non-ASCII in paths",
            status({"{\"path\":\"d\\u00e9j\\u00e0\\/\\\"q\\\".txt\",\"change\":\"\\u0041\"}",
                    ch(QString::fromUtf8("日本/ü.md"), "M")}),
            {QString::fromUtf8("added:déjà/\"q\".txt"), QString::fromUtf8("modified:日本/ü.md")});
        row("malformed JSON skips the line: trailing garbage, bad number, raw control character",
            status({ch("a", "A")}) + " x\n" +
                R"({"type":"status","n":01,"changes":[{"path":"a","change":"A"}]})"
                "\n" +
                status({ch("a\tb", "A")}),
            {});
    }
    void localStatus() {
        QFETCH(QString, output);
        QFETCH(QStringList, expected);
        // That the full decoder reads local changes by the same rules is fuzzed.
        QCOMPARE(describe(decodeLocalStatus(output), &PendingChange::changeType), expected);
    }

    void fullStatus_data() {
        QTest::addColumn<QString>("output");
        QTest::addColumn<QStringList>("expectedLocal");
        QTest::addColumn<std::optional<RemoteStatusInfo>>("expectedRemote");
        const auto row = [](const char *name, QString output, QStringList local,
                            std::optional<RemoteStatusInfo> remote) {
            QTest::newRow(name) << output << local << remote;
        };

        const QList<RemoteChange> kinds{{"p", RemoteChange::ChangeType::pull},
                                        {"d", RemoteChange::ChangeType::pull},
                                        {"rd", RemoteChange::ChangeType::remove},
                                        {"c", RemoteChange::ChangeType::conflict},
                                        {"z", RemoteChange::ChangeType::pull}};

        row("no remote key is absent, not zero",
            R"({"type":"status","changes":[{"path":"a","change":"A"}]})", QStringList{"added:a"},
            std::nullopt);
        row("empty remote object is present with zeros", R"({"type":"status","remote":{}})", {},
            RemoteStatusInfo{});
        row("counts and change kinds; D is a pull",
            R"({"type":"status","remote":{"toPull":3,"toDelete":1,"conflicts":2,"changes":[)"
            R"({"path":"p","change":"P"},{"path":"d","change":"D"},{"path":"rd","change":"RD"},)"
            R"({"path":"c","change":"C"},{"path":"z","change":"zz"},{"path":"n"},)"
            R"({"change":"P"}]}})",
            {}, RemoteStatusInfo{3, 1, 2, kinds});
        row("integers: exact only",
            R"({"type":"status","remote":{"toPull":"3","toDelete":2.5,"conflicts":4.0}})", {},
            RemoteStatusInfo{0, 0, 4, {}});
        row("integers: exponent, negative, null, bool",
            R"({"type":"status","remote":{"toPull":1e2,"toDelete":-7,"conflicts":true}})", {},
            RemoteStatusInfo{100, -7, 0, {}});
        row("later remote replaces earlier; non-object does not",
            "{\"type\":\"status\",\"remote\":{\"toPull\":1}}\n"
            "{\"type\":\"status\",\"remote\":{\"toPull\":2}}\n"
            "{\"type\":\"status\",\"remote\":5}\n"
            "{\"type\":\"other\",\"remote\":{\"toPull\":9}}\n",
            {}, RemoteStatusInfo{2, 0, 0, {}});
        row("remote read without changes, changes read without remote",
            "{\"type\":\"status\",\"changes\":[{\"path\":\"a\",\"change\":\"A\"}]}\n"
            "{\"type\":\"status\",\"remote\":{\"toDelete\":4}}\n",
            QStringList{"added:a"}, RemoteStatusInfo{0, 4, 0, {}});
    }
    void fullStatus() {
        QFETCH(QString, output);
        QFETCH(QStringList, expectedLocal);
        QFETCH(std::optional<RemoteStatusInfo>, expectedRemote);
        const FullStatus status = decodeFullStatus(output);
        QCOMPARE(describe(status.pendingChanges, &PendingChange::changeType), expectedLocal);
        QVERIFY(status.remote == expectedRemote);
    }

    // Each row's lines all decode to the same event.
    void syncEvent_data() {
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char *name, QStringList lines, QString expected) {
            QTest::newRow(name) << lines << expected;
        };
        row("push", {R"({"type":"push","file":"a.txt","current":2,"total":5})"}, "push a.txt 2/5");
        row("push defaults, also for mistyped values",
            {R"({"type":"push"})", R"({"type":"push","file":3,"current":"1","total":1.5})"},
            "push  0/0");
        row("pull", {R"({"type":"pull","file":"b","current":1,"total":1})"}, "pull b 1/1");
        row("conflict and resolved",
            {R"({"type":"conflict","file":"a","renamedTo":"a_1"})",
             R"({"type":"resolved","file":"a","renamedTo":"a_1"})"},
            "conflict a -> a_1");
        row("complete",
            {R"({"type":"complete","pushed":2,"pulled":1,"deletedServer":1,"deletedLocal":2,)"
             R"("deleted":3,"unchanged":9,"pushedFiles":["p1","p2"],"pulledFiles":["q"],)"
             R"("deletedLocalFiles":["l"],"deletedServerFiles":["s"],"deletedFiles":["d"]})"},
            "complete 2 1 6 0 [pushed:p1 pushed:p2 pulled:q deleted:d deleted:s deleted:l]");
        row("complete: deleted sums present keys",
            {R"({"type":"complete","deletedLocal":2,"deleted":1})"}, "complete 0 0 3 0 []");
        row("success up to date inside longer text",
            {R"({"type":"success","message":"Everything is up to date."})"}, "up to date");
        row("error", {R"({"type":"error","error":"quota exceeded"})"}, "error quota exceeded");
        row("ignored",
            {R"({"type":"conflict","file":"a","renamedTo":""})",
             R"({"type":"conflict","renamedTo":"a_1"})", R"({"type":"delete","file":"a"})",
             R"({"type":"success","message":"Everything is UP TO DATE"})", R"({"type":"success"})",
             R"({"type":"progress","file":"a"})", R"({"type":"Push","file":"a"})",
             R"({"file":"a"})", "Pushing a.txt...", R"(["push"])", R"({"type":"push","file":"a")"},
            "ignored");
    }
    void syncEvent() {
        QFETCH(QStringList, lines);
        QFETCH(QString, expected);
        for (const QString &line : lines)
            QVERIFY2(describe(decodeSyncEvent(line)) == expected, qPrintable(line));
    }

    void preview_data() {
        QTest::addColumn<QString>("output");
        QTest::addColumn<std::optional<SyncPreview>>("expected");
        const auto row = [](const char *name, QString output, std::optional<SyncPreview> plan) {
            QTest::newRow(name) << output << plan;
        };

        row("no plan line", "{\"type\":\"push\",\"file\":\"a\"}\n{\"type\":\"status\"}\n",
            std::nullopt);
        row("full plan after progress lines",
            "Scanning...\n{\"type\":\"push\",\"file\":\"a\"}\n"
            "{\"type\":\"plan\",\"toPush\":1,\"toPull\":2,\"toDeleteServer\":3,"
            "\"toDeleteLocal\":4,\"conflicts\":2,\"conflictFiles\":[\"x\",\"y\"]}\n",
            SyncPreview{1, 2, 3, 4, 2, {"x", "y"}});
        row("first plan wins",
            "{\"type\":\"plan\",\"toPush\":1}\n{\"type\":\"plan\",\"toPush\":2}\n",
            SyncPreview{1, 0, 0, 0, 0, {}});
    }
    void preview() {
        QFETCH(QString, output);
        QFETCH(std::optional<SyncPreview>, expected);
        QCOMPARE(decodePreview(output), expected);
    }
};

QTEST_GUILESS_MAIN(TestSyncDecoding)
#include "test_sync_decoding.moc"
