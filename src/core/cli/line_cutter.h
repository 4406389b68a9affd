#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringDecoder>

#include <functional>

namespace orvu {

// Cuts a byte stream into lines on 0x0A and decodes each whole line, so that a character whose
// bytes arrive in different reads is reassembled. Lines that are not valid UTF-8, or that are
// empty once white space is trimmed, are dropped.
class LineCutter {
public:
    using Sink = std::function<void(const QString &line)>;

    // An incomplete line longer than this is dropped together with the rest of it up to its
    // newline: a child printing an endless line must not exhaust our memory.
    static constexpr qsizetype kDefaultMaximumLineLength = 16 * 1024 * 1024;

    explicit LineCutter(qsizetype maximumLineLength = kDefaultMaximumLineLength);

    // Emits every line completed by `bytes`; the incomplete rest stays buffered.
    void feed(QByteArrayView bytes, const Sink &sink);
    // Emits what is buffered as the last line (the child has ended) and empties the buffer.
    void flush(const Sink &sink);

    qsizetype bufferedSize() const { return m_pending.size(); }

private:
    void emitLine(QByteArrayView bytes, const Sink &sink);

    qsizetype m_maximumLineLength;
    QByteArray m_pending;
    // Set while skipping the remainder of an over-long line.
    bool m_discarding = false;
    QStringDecoder m_decoder;
};

} // namespace orvu
