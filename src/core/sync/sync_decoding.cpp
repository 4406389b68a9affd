#include "core/sync/sync_decoding.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <algorithm>
#include <cmath>

namespace orvu::decoding {

namespace {

// Parses one trimmed line; anything but a JSON object yields nothing. A line that does not
// start with '{' cannot be an object, which spares the parser most progress chatter.
std::optional<QJsonObject> parseObject(QStringView line) {
    if (line.isEmpty() || line.front() != u'{')
        return std::nullopt;
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return document.object();
}

std::optional<QString> stringValue(const QJsonObject &object, QLatin1StringView key) {
    const QJsonValue value = object.value(key);
    if (!value.isString())
        return std::nullopt;
    return value.toString();
}

// An exact integer only: 3 and 3.0 count, 3.5, "3", true and null do not.
qint64 integerValue(const QJsonObject &object, QLatin1StringView key) {
    const QJsonValue value = object.value(key);
    return value.isDouble() ? value.toInteger(0) : 0;
}

// A list of strings only when every element is one; otherwise no list at all.
std::optional<QStringList> stringListValue(const QJsonObject &object, QLatin1StringView key) {
    const QJsonValue value = object.value(key);
    if (!value.isArray())
        return std::nullopt;
    const QJsonArray array = value.toArray();
    QStringList strings;
    strings.reserve(array.size());
    for (const QJsonValue &element : array) {
        if (!element.isString())
            return std::nullopt;
        strings.append(element.toString());
    }
    return strings;
}

bool hasType(const QJsonObject &object, QLatin1StringView wanted) {
    const QJsonValue type = object.value(QLatin1StringView("type"));
    return type.isString() && type.toString() == wanted;
}

// Calls `visit` with every status/plan line of a whole output, in order, until it returns
// false.
template <typename Visit>
void forEachObjectOfType(QStringView output, QLatin1StringView type, Visit &&visit) {
    for (QStringView line : output.tokenize(u'\n')) {
        const std::optional<QJsonObject> object = parseObject(line.trimmed());
        if (!object || !hasType(*object, type))
            continue;
        if (!visit(*object))
            return;
    }
}

PendingChange::ChangeType localChangeType(QStringView code) {
    if (code == u"A")
        return PendingChange::ChangeType::added;
    if (code == u"D")
        return PendingChange::ChangeType::deleted;
    return PendingChange::ChangeType::modified;
}

RemoteChange::ChangeType remoteChangeType(QStringView code) {
    if (code == u"RD")
        return RemoteChange::ChangeType::remove;
    if (code == u"C")
        return RemoteChange::ChangeType::conflict;
    return RemoteChange::ChangeType::pull;
}

void appendFiles(const QJsonObject &complete, QLatin1StringView key, SyncFileChange::Action action,
                 QList<SyncFileChange> &into) {
    const std::optional<QStringList> files = stringListValue(complete, key);
    if (!files)
        return;
    for (const QString &file : *files)
        into.append(SyncFileChange{QUuid::createUuid(), file, action});
}

SyncResult decodeComplete(const QJsonObject &complete) {
    SyncResult result;
    result.pushed = integerValue(complete, QLatin1StringView("pushed"));
    result.pulled = integerValue(complete, QLatin1StringView("pulled"));
    result.deleted = integerValue(complete, QLatin1StringView("deletedServer")) +
                     integerValue(complete, QLatin1StringView("deletedLocal")) +
                     integerValue(complete, QLatin1StringView("deleted"));
    using Action = SyncFileChange::Action;
    appendFiles(complete, QLatin1StringView("pushedFiles"), Action::pushed, result.fileChanges);
    appendFiles(complete, QLatin1StringView("pulledFiles"), Action::pulled, result.fileChanges);
    appendFiles(complete, QLatin1StringView("deletedFiles"), Action::deleted, result.fileChanges);
    appendFiles(complete, QLatin1StringView("deletedServerFiles"), Action::deleted,
                result.fileChanges);
    appendFiles(complete, QLatin1StringView("deletedLocalFiles"), Action::deleted,
                result.fileChanges);
    return result;
}

template <typename Event> Event decodeTransfer(const QJsonObject &object) {
    Event event;
    event.file = stringValue(object, QLatin1StringView("file")).value_or(QString());
    event.current = integerValue(object, QLatin1StringView("current"));
    event.total = integerValue(object, QLatin1StringView("total"));
    return event;
}

SyncEvent decodeConflict(const QJsonObject &object) {
    const QString file = stringValue(object, QLatin1StringView("file")).value_or(QString());
    const QString renamedTo =
        stringValue(object, QLatin1StringView("renamedTo")).value_or(QString());
    if (file.isEmpty() || renamedTo.isEmpty())
        return std::monostate{};
    return ConflictEvent{ConflictRename{QUuid::createUuid(), file, renamedTo}};
}

// A status line can carry hundreds of thousands of changes in one object. Building a
// QJsonDocument for it and then walking that costs several times more than reading the few
// keys we use straight from the text, so status lines are scanned here: the whole line is
// still validated as JSON (an invalid line is skipped as a whole), every value we do not need
// is checked and skipped, and only "type", "changes" and "remote" are decoded. Like
// QJsonDocument, a repeated key keeps its last value and nesting is limited.
class StatusLineScanner {
public:
    struct Result {
        bool isStatus = false;
        QList<PendingChange> changes;
        std::optional<RemoteStatusInfo> remote;
    };

    // Scans one trimmed line; nothing when it is not a JSON object.
    static std::optional<Result> scan(QStringView line, bool wantRemote) {
        StatusLineScanner scanner(line, wantRemote);
        Result result;
        if (!scanner.topLevel(result))
            return std::nullopt;
        return result;
    }

private:
    static constexpr int kMaxDepth = 1024;

    StatusLineScanner(QStringView line, bool wantRemote)
        : m_p(line.utf16()), m_end(line.utf16() + line.size()), m_wantRemote(wantRemote) {}

    const char16_t *m_p;
    const char16_t *m_end;
    bool m_wantRemote;

    struct Number {
        bool isInteger = false; // an exact integer that fits 64 bits
        qint64 integer = 0;
    };

    void skipSpace() {
        while (m_p < m_end && (*m_p == u' ' || *m_p == u'\t' || *m_p == u'\n' || *m_p == u'\r'))
            ++m_p;
    }
    bool consume(char16_t c) {
        skipSpace();
        if (m_p < m_end && *m_p == c) {
            ++m_p;
            return true;
        }
        return false;
    }
    bool peek(char16_t c) {
        skipSpace();
        return m_p < m_end && *m_p == c;
    }

    static int hexValue(char16_t c) {
        if (c >= u'0' && c <= u'9')
            return c - u'0';
        if (c >= u'a' && c <= u'f')
            return c - u'a' + 10;
        if (c >= u'A' && c <= u'F')
            return c - u'A' + 10;
        return -1;
    }

    // Reads a string without copying it when it has no escapes: `view` then points into the
    // line; otherwise the decoded text goes to `storage` and `view` points there.
    bool stringView(QStringView &view, QString &storage) {
        skipSpace();
        const char16_t *start = m_p + 1;
        const char16_t *scan = start;
        if (m_p < m_end && *m_p == u'"') {
            while (scan < m_end && *scan != u'"' && *scan != u'\\' && *scan >= 0x20)
                ++scan;
            if (scan < m_end && *scan == u'"') {
                view = QStringView(start, scan - start);
                m_p = scan + 1;
                return true;
            }
        }
        if (!string(&storage))
            return false;
        view = storage;
        return true;
    }

    // At the opening quote. `out` may be null to only check the string.
    bool string(QString *out) {
        if (!consume(u'"'))
            return false;
        const char16_t *start = m_p;
        while (m_p < m_end && *m_p != u'"' && *m_p != u'\\') {
            if (*m_p < 0x20)
                return false;
            ++m_p;
        }
        if (m_p >= m_end)
            return false;
        if (*m_p == u'"') {
            if (out)
                *out = QString(reinterpret_cast<const QChar *>(start), m_p - start);
            ++m_p;
            return true;
        }
        // Escapes: the slow path, building the text piece by piece.
        QString text(reinterpret_cast<const QChar *>(start), m_p - start);
        while (m_p < m_end) {
            const char16_t c = *m_p++;
            if (c == u'"') {
                if (out)
                    *out = std::move(text);
                return true;
            }
            if (c < 0x20)
                return false;
            if (c != u'\\') {
                text.append(QChar(c));
                continue;
            }
            if (m_p >= m_end)
                return false;
            const char16_t e = *m_p++;
            switch (e) {
            case u'"':
            case u'\\':
            case u'/':
                text.append(QChar(e));
                break;
            case u'b':
                text.append(QChar(u'\b'));
                break;
            case u'f':
                text.append(QChar(u'\f'));
                break;
            case u'n':
                text.append(QChar(u'\n'));
                break;
            case u'r':
                text.append(QChar(u'\r'));
                break;
            case u't':
                text.append(QChar(u'\t'));
                break;
            case u'u': {
                if (m_end - m_p < 4)
                    return false;
                int code = 0;
                for (int i = 0; i < 4; ++i) {
                    const int digit = hexValue(*m_p++);
                    if (digit < 0)
                        return false;
                    code = code * 16 + digit;
                }
                text.append(QChar(static_cast<char16_t>(code)));
                break;
            }
            default:
                return false;
            }
        }
        return false;
    }

    bool number(Number *out) {
        skipSpace();
        const char16_t *start = m_p;
        auto digit = [this] { return m_p < m_end && *m_p >= u'0' && *m_p <= u'9'; };
        if (m_p < m_end && *m_p == u'-')
            ++m_p;
        if (!digit())
            return false;
        if (*m_p == u'0')
            ++m_p;
        else
            while (digit())
                ++m_p;
        bool plainInteger = true;
        if (m_p < m_end && *m_p == u'.') {
            plainInteger = false;
            ++m_p;
            if (!digit())
                return false;
            while (digit())
                ++m_p;
        }
        if (m_p < m_end && (*m_p == u'e' || *m_p == u'E')) {
            plainInteger = false;
            ++m_p;
            if (m_p < m_end && (*m_p == u'+' || *m_p == u'-'))
                ++m_p;
            if (!digit())
                return false;
            while (digit())
                ++m_p;
        }
        const QStringView text(start, m_p - start);
        bool ok = false;
        if (plainInteger) {
            const qint64 value = text.toLongLong(&ok);
            if (ok) {
                if (out)
                    *out = Number{true, value};
                return true;
            }
        }
        // A number beyond the range of a double (1e400, 1e-400) makes QJsonDocument reject the
        // whole line, even where the value itself is not wanted.
        const double value = text.toDouble(&ok);
        if (!ok)
            return false;
        if (!out)
            return true;
        // Whole numbers written as 3.0 or 3e2 still count as integers, as QJsonValue has it.
        if (std::isfinite(value) && value == std::trunc(value) && value >= -9223372036854775808.0 &&
            value < 9223372036854775808.0)
            *out = Number{true, static_cast<qint64>(value)};
        else
            *out = Number{};
        return true;
    }

    bool literal(QStringView word) {
        skipSpace();
        if (m_end - m_p < word.size() || QStringView(m_p, word.size()) != word)
            return false;
        m_p += word.size();
        return true;
    }

    // Checks and skips any value.
    bool skipValue(int depth) {
        if (depth > kMaxDepth)
            return false;
        skipSpace();
        if (m_p >= m_end)
            return false;
        switch (*m_p) {
        case u'"':
            return string(nullptr);
        case u'{':
            return object(depth, [this, depth](QStringView) { return skipValue(depth + 1); });
        case u'[':
            return array(depth, [this, depth] { return skipValue(depth + 1); });
        case u't':
            return literal(u"true");
        case u'f':
            return literal(u"false");
        case u'n':
            return literal(u"null");
        default:
            return number(nullptr);
        }
    }

    // At '{'; `member(key)` reads the value that follows the key's colon.
    // A container at `depth` is the (depth + 1)th level of nesting; QJsonDocument allows
    // kMaxDepth levels.
    template <typename Member> bool object(int depth, Member &&member) {
        if (depth >= kMaxDepth || !consume(u'{'))
            return false;
        if (consume(u'}'))
            return true;
        QString storage;
        QStringView key;
        do {
            if (!stringView(key, storage) || !consume(u':') || !member(key))
                return false;
        } while (consume(u','));
        return consume(u'}');
    }

    template <typename Element> bool array(int depth, Element &&element) {
        if (depth >= kMaxDepth || !consume(u'['))
            return false;
        if (consume(u']'))
            return true;
        do {
            if (!element())
                return false;
        } while (consume(u','));
        return consume(u']');
    }

    // A member's value as a string when it is one; anything else is checked and skipped.
    bool optionalString(int depth, std::optional<QString> &out) {
        if (peek(u'"')) {
            QString text;
            if (!string(&text))
                return false;
            out = std::move(text);
            return true;
        }
        out.reset();
        return skipValue(depth);
    }

    bool optionalInteger(int depth, qint64 &out) {
        skipSpace();
        if (m_p < m_end && (*m_p == u'-' || (*m_p >= u'0' && *m_p <= u'9'))) {
            Number n;
            if (!number(&n))
                return false;
            out = n.isInteger ? n.integer : 0;
            return true;
        }
        out = 0;
        return skipValue(depth);
    }

    // "changes": an array whose object elements with string "path" and "change" are taken;
    // any other value (not an array) contributes nothing.
    template <typename Take> bool changes(int depth, Take &&take) {
        if (!peek(u'['))
            return skipValue(depth);
        return array(depth, [&] {
            if (!peek(u'{'))
                return skipValue(depth + 1);
            std::optional<QString> path;
            bool hasChange = false;
            QStringView change;
            QString changeStorage;
            const bool ok = object(depth + 1, [&](QStringView key) {
                if (key == u"path")
                    return optionalString(depth + 2, path);
                if (key == u"change") {
                    hasChange = peek(u'"');
                    return hasChange ? stringView(change, changeStorage) : skipValue(depth + 2);
                }
                return skipValue(depth + 2);
            });
            if (ok && path && hasChange)
                take(std::move(*path), change);
            return ok;
        });
    }

    bool remote(int depth, std::optional<RemoteStatusInfo> &out) {
        if (!peek(u'{')) {
            out.reset(); // a later non-object "remote" replaces an earlier one, as in a map
            return skipValue(depth);
        }
        RemoteStatusInfo info;
        const bool ok = object(depth, [&](QStringView key) {
            if (key == u"toPull")
                return optionalInteger(depth + 1, info.toPull);
            if (key == u"toDelete")
                return optionalInteger(depth + 1, info.toDelete);
            if (key == u"conflicts")
                return optionalInteger(depth + 1, info.conflicts);
            if (key == u"changes") {
                info.changes.clear();
                return changes(depth + 1, [&](QString path, QStringView code) {
                    info.changes.append(RemoteChange{std::move(path), remoteChangeType(code)});
                });
            }
            return skipValue(depth + 1);
        });
        out = std::move(info);
        return ok;
    }

    bool topLevel(Result &result) {
        if (!peek(u'{'))
            return false;
        const bool ok = object(0, [&](QStringView key) {
            if (key == u"type") {
                std::optional<QString> type;
                if (!optionalString(1, type))
                    return false;
                result.isStatus = type && *type == u"status";
                return true;
            }
            if (key == u"changes") {
                result.changes.clear();
                return changes(1, [&](QString path, QStringView code) {
                    result.changes.append(PendingChange{std::move(path), localChangeType(code)});
                });
            }
            if (key == u"remote" && m_wantRemote)
                return remote(1, result.remote);
            return skipValue(1);
        });
        skipSpace();
        return ok && m_p == m_end;
    }
};

// Maps a UTF-16 code unit so that plain unit comparison orders by code point: surrogates
// (D800..DFFF) move above every other BMP unit.
char16_t codePointOrderKey(char16_t unit) {
    if (unit >= 0xD800 && unit < 0xE000)
        return static_cast<char16_t>(unit + 0x2000);
    if (unit >= 0xE000)
        return static_cast<char16_t>(unit - 0x800);
    return unit;
}

} // namespace

QList<PendingChange> decodeLocalStatus(QStringView output) {
    QList<PendingChange> changes;
    for (QStringView line : output.tokenize(u'\n')) {
        std::optional<StatusLineScanner::Result> scanned =
            StatusLineScanner::scan(line.trimmed(), false);
        if (scanned && scanned->isStatus)
            changes.append(std::move(scanned->changes));
    }
    return changes;
}

FullStatus decodeFullStatus(QStringView output) {
    FullStatus status;
    for (QStringView line : output.tokenize(u'\n')) {
        std::optional<StatusLineScanner::Result> scanned =
            StatusLineScanner::scan(line.trimmed(), true);
        if (!scanned || !scanned->isStatus)
            continue;
        status.pendingChanges.append(std::move(scanned->changes));
        if (scanned->remote)
            status.remote = std::move(scanned->remote);
    }
    return status;
}

SyncEvent decodeSyncEvent(QStringView line) {
    const std::optional<QJsonObject> object = parseObject(line.trimmed());
    if (!object)
        return std::monostate{};
    const std::optional<QString> type = stringValue(*object, QLatin1StringView("type"));
    if (!type)
        return std::monostate{};
    if (*type == u"push")
        return decodeTransfer<PushEvent>(*object);
    if (*type == u"pull")
        return decodeTransfer<PullEvent>(*object);
    if (*type == u"conflict" || *type == u"resolved")
        return decodeConflict(*object);
    if (*type == u"complete")
        return CompleteEvent{decodeComplete(*object)};
    if (*type == u"success") {
        const std::optional<QString> message = stringValue(*object, QLatin1StringView("message"));
        if (message && message->contains(QLatin1StringView("up to date"), Qt::CaseSensitive))
            return UpToDateEvent{};
        return std::monostate{};
    }
    if (*type == u"error") {
        return ErrorEvent{stringValue(*object, QLatin1StringView("error"))
                              .value_or(QStringLiteral("Unknown error"))};
    }
    return std::monostate{};
}

std::optional<SyncPreview> decodePreview(QStringView output) {
    std::optional<SyncPreview> preview;
    forEachObjectOfType(output, QLatin1StringView("plan"), [&](const QJsonObject &plan) {
        SyncPreview decoded;
        decoded.toPush = integerValue(plan, QLatin1StringView("toPush"));
        decoded.toPull = integerValue(plan, QLatin1StringView("toPull"));
        decoded.toDeleteServer = integerValue(plan, QLatin1StringView("toDeleteServer"));
        decoded.toDeleteLocal = integerValue(plan, QLatin1StringView("toDeleteLocal"));
        decoded.conflicts = integerValue(plan, QLatin1StringView("conflicts"));
        decoded.conflictFiles =
            stringListValue(plan, QLatin1StringView("conflictFiles")).value_or(QStringList());
        preview = std::move(decoded);
        return false; // only the first plan counts
    });
    return preview;
}

bool codePointLess(QStringView a, QStringView b) {
    const auto [ia, ib] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    if (ia == a.end())
        return ib != b.end();
    if (ib == b.end())
        return false;
    return codePointOrderKey(ia->unicode()) < codePointOrderKey(ib->unicode());
}

} // namespace orvu::decoding
