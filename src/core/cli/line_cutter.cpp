#include "core/cli/line_cutter.h"

namespace orvu {

LineCutter::LineCutter(qsizetype maximumLineLength)
    : m_maximumLineLength(maximumLineLength),
      m_decoder(QStringDecoder::Utf8,
                QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom) {}

void LineCutter::feed(QByteArrayView bytes, const Sink &sink) {
    qsizetype start = 0;
    while (start < bytes.size()) {
        const qsizetype newline = bytes.indexOf('\n', start);
        if (newline < 0) {
            if (m_discarding)
                return;
            m_pending.append(bytes.sliced(start));
            if (m_pending.size() > m_maximumLineLength) {
                m_pending.clear();
                m_pending.squeeze();
                m_discarding = true;
            }
            return;
        }
        const QByteArrayView piece = bytes.sliced(start, newline - start);
        if (m_discarding) {
            m_discarding = false;
        } else if (m_pending.isEmpty()) {
            // The common case: the whole line lies in this read, so it is decoded in place.
            if (piece.size() <= m_maximumLineLength)
                emitLine(piece, sink);
        } else {
            m_pending.append(piece);
            if (m_pending.size() <= m_maximumLineLength)
                emitLine(m_pending, sink);
            m_pending.clear();
            if (m_pending.capacity() > 64 * 1024)
                m_pending.squeeze();
        }
        start = newline + 1;
    }
}

void LineCutter::flush(const Sink &sink) {
    if (!m_discarding && !m_pending.isEmpty())
        emitLine(m_pending, sink);
    m_pending.clear();
    m_pending.squeeze();
    m_discarding = false;
}

void LineCutter::emitLine(QByteArrayView bytes, const Sink &sink) {
    m_decoder.resetState();
    QString line = m_decoder.decode(bytes);
    if (m_decoder.hasError())
        return;
    line = std::move(line).trimmed();
    if (!line.isEmpty())
        sink(line);
}

} // namespace orvu
