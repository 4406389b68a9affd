#pragma once

#include <QString>

#include <optional>

// The bundled offline tool "sends" its sign-in mail by writing it to an outbox folder in its
// store. Knowing where, the sign-in window can point a new user at the mail instead of at an
// inbox that will never receive it.
namespace orvu::offline_outbox {

// The outbox of the offline store for `serverURL`: <dir>/outbox for file:///<dir>, else
// <data home>/orvu-local/<host>/outbox. Empty for a URL the offline tool would refuse.
std::optional<QString> outboxFor(const QString &serverURL, const QString &dataHome);

struct Mail {
    QString path;
    QString link;
    friend bool operator==(const Mail &, const Mail &) = default;
};

// The newest mail in `outbox` addressed to `email` (compared without case), with its sign-in
// link; the mails' names sort by the time they were written.
std::optional<Mail> newestMail(const QString &outbox, const QString &email);

} // namespace orvu::offline_outbox
