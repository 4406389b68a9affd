#include "core/account/auth_output.h"
#include "core/bindings/repo_binding.h"
#include "core/cli/line_cutter.h"
#include "core/cli/tool_output.h"
#include "core/repos/repo_cli_output.h"
#include "core/sync/sync_decoding.h"

// Every reader of the tool's output; FUZZ_<TARGET> picks the one a target drives.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArrayView bytes(data, qsizetype(size));
    const QString text = QString::fromUtf8(bytes);
#if defined(FUZZ_STATUS)
    if (orvu::decoding::decodeFullStatus(text).pendingChanges !=
        orvu::decoding::decodeLocalStatus(text))
        __builtin_trap(); // both read the same "changes"
#elif defined(FUZZ_PLAN)
    (void)orvu::decoding::decodePreview(text);
#elif defined(FUZZ_BINDINGS)
    // A saved list read entry by entry: every entry read comes back the same once saved.
    const auto decoded = orvu::decodeBindings(bytes.toByteArray());
    if (orvu::decodeBindings(orvu::encodeBindings(decoded.bindings)).bindings != decoded.bindings)
        __builtin_trap();
#elif defined(FUZZ_EVENT)
    (void)orvu::decoding::decodeSyncEvent(text);
#elif defined(FUZZ_LINE_CUTTER)
    // The first two bytes choose a read size and a line cap; however the rest is split into
    // reads, the lines are those of one single read, and no more than the cap stays buffered.
    if (size < 2)
        return 0;
    const qsizetype step = data[0] % 16 + 1, cap = data[1] + 1;
    QStringList whole, split;
    orvu::LineCutter one(cap), many(cap);
    const auto toWhole = [&](const QString &line) { whole.append(line); };
    const auto toSplit = [&](const QString &line) { split.append(line); };
    one.feed(bytes.sliced(2), toWhole);
    one.flush(toWhole);
    for (qsizetype at = 2; at < bytes.size(); at += step) {
        many.feed(bytes.sliced(at, std::min(step, bytes.size() - at)), toSplit);
        if (many.bufferedSize() > cap)
            __builtin_trap();
    }
    many.flush(toSplit);
    if (whole != split)
        __builtin_trap();
#else
    // Standard output, then after the first NUL standard error, of an account or repo command.
    const qsizetype nul = bytes.indexOf('\0');
    const orvu::CLIAuthResult result{QString::fromUtf8(nul < 0 ? bytes : bytes.first(nul)),
                                     nul < 0 ? QString() : QString::fromUtf8(bytes.sliced(nul + 1)),
                                     1};
    (void)orvu::decodeReposLine(result.standardOutput);
    (void)orvu::auth_output::findAuthLine(result.standardOutput);
    if (const auto error = orvu::tool_output::errorText(result); error && error->isEmpty())
        __builtin_trap(); // an error text is never empty
#endif
    return 0;
}
