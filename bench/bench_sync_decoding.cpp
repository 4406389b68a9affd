// Decoding a full status output with 100,000 local and 100,000 remote changes.
#include "core/sync/sync_decoding.h"

#include <benchmark/benchmark.h>

#include <QString>

namespace {

QString bigStatusOutput(int local, int remote) {
    QString out = QStringLiteral("{\"type\":\"status\",\"changes\":[");
    static const char *const kLocal[] = {"A", "M", "D"};
    for (int i = 0; i < local; ++i) {
        if (i)
            out += u',';
        out += QStringLiteral("{\"path\":\"docs/folder%1/file%2.txt\",\"change\":\"%3\"}")
                   .arg(i % 100)
                   .arg(i)
                   .arg(QLatin1StringView(kLocal[i % 3]));
    }
    out += QStringLiteral("],\"remote\":{\"toPull\":%1,\"toDelete\":0,\"conflicts\":0,"
                          "\"changes\":[")
               .arg(remote);
    for (int i = 0; i < remote; ++i) {
        if (i)
            out += u',';
        out += QStringLiteral("{\"path\":\"server/folder%1/file%2.bin\",\"change\":\"P\"}")
                   .arg(i % 100)
                   .arg(i);
    }
    out += QStringLiteral("]}}\n");
    return out;
}

void BM_DecodeFullStatus(benchmark::State &state) {
    const QString output = bigStatusOutput(100'000, 100'000);
    for (auto _ : state) {
        orvu::FullStatus status = orvu::decoding::decodeFullStatus(output);
        benchmark::DoNotOptimize(status);
    }
    state.counters["bytes"] = static_cast<double>(output.size());
}
BENCHMARK(BM_DecodeFullStatus)->Unit(benchmark::kMillisecond)->Repetitions(5);

void BM_DecodePushEvent(benchmark::State &state) {
    const QString line =
        QStringLiteral(R"({"type":"push","file":"docs/folder1/file1.txt","current":1,"total":9})");
    for (auto _ : state) {
        orvu::SyncEvent event = orvu::decoding::decodeSyncEvent(line);
        benchmark::DoNotOptimize(event);
    }
}
BENCHMARK(BM_DecodePushEvent);

} // namespace

BENCHMARK_MAIN();
