// Timing harness for the orvu-local tool, run by hand: build/default/bin/bench_orvu_local.
// Every figure is the median of several runs of the built tool in a private temporary store.
#include "bench_support.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace orvu::bench;

namespace {

const QString kTool = QStringLiteral(ORVU_LOCAL_TOOL);

struct Run {
    int exitCode = -1;
    QByteArray out;
    double firstPushMs = -1;
    double totalMs = 0;
};

Run runTool(const QStringList &arguments) {
    QProcess process;
    QElapsedTimer timer;
    timer.start();
    process.start(kTool,
                  QStringList{QStringLiteral("--server"), QStringLiteral("https://orvu.io")} +
                      arguments);
    Run run;
    process.waitForStarted();
    while (process.state() != QProcess::NotRunning) {
        process.waitForReadyRead(100);
        run.out += process.readAllStandardOutput();
        if (run.firstPushMs < 0 && run.out.contains("\"type\":\"push\""))
            run.firstPushMs = static_cast<double>(timer.nsecsElapsed()) / 1e6;
    }
    run.totalMs = static_cast<double>(timer.nsecsElapsed()) / 1e6;
    run.out += process.readAllStandardOutput();
    run.exitCode = process.exitCode();
    return run;
}

bool signIn() {
    const QString email = QStringLiteral("bench@example.org");
    runTool({QStringLiteral("login"), QStringLiteral("--email"), email, QStringLiteral("--json")});
    const QString link =
        QString::fromUtf8(runTool({QStringLiteral("admin"), QStringLiteral("mail"), email}).out)
            .trimmed();
    return runTool({QStringLiteral("login"), QStringLiteral("--verify"), link,
                    QStringLiteral("--json")})
               .exitCode == 0;
}

bool init(const QString &folder, const QString &slug) {
    return runTool({QStringLiteral("init"), folder, QStringLiteral("--repo"), slug,
                    QStringLiteral("--json")})
               .exitCode == 0;
}

void statusOfLargeFolder(const QString &base) {
    const QString folder = base + QStringLiteral("/large");
    for (int d = 0; d < 10000; ++d) {
        const QString directory = folder + QStringLiteral("/d%1/s%2").arg(d / 100).arg(d % 100);
        QDir().mkpath(directory);
        for (int f = 0; f < 10; ++f)
            writeFile(directory + QStringLiteral("/f%1.txt").arg(f),
                      QByteArray::number(d * 10 + f));
    }
    init(folder, QStringLiteral("large"));
    const Run sync = runTool({QStringLiteral("sync"), folder, QStringLiteral("--json"),
                              QStringLiteral("--resolve"), QStringLiteral("keep-both")});
    std::printf("initial sync of 100,000 files: exit %d, %.0f ms\n", sync.exitCode, sync.totalMs);
    std::vector<double> times;
    for (int i = 0; i < 7; ++i)
        times.push_back(runTool({QStringLiteral("status"), folder, QStringLiteral("--remote"),
                                 QStringLiteral("--json")})
                            .totalMs);
    std::printf("status --remote, 100,000 files in 10,000 dirs, warm cache: median %.0f ms\n",
                median(times));
}

void hashingThroughput(const QString &base) {
    const QString folder = base + QStringLiteral("/big");
    QDir().mkpath(folder);
    constexpr int kFiles = 32;
    constexpr qint64 kSize = 8 << 20;
    QByteArray block(kSize, Qt::Uninitialized);
    for (qint64 i = 0; i < kSize; ++i)
        block[i] = static_cast<char>((i * 2654435761u) >> 13);
    for (int f = 0; f < kFiles; ++f) {
        block[0] = static_cast<char>(f);
        writeFile(folder + QStringLiteral("/blob%1.bin").arg(f), block);
    }
    init(folder, QStringLiteral("big"));
    // Synced first, so that every file has a version to compare with and must be read.
    runTool({QStringLiteral("sync"), folder, QStringLiteral("--json"), QStringLiteral("--resolve"),
             QStringLiteral("keep-both")});
    std::vector<double> rates;
    for (int i = 0; i < 5; ++i) {
        QFile::remove(folder + QStringLiteral("/.orvu/hash-cache"));
        const Run run = runTool({QStringLiteral("status"), folder, QStringLiteral("--json")});
        rates.push_back(static_cast<double>(kFiles * kSize) / (1 << 20) / (run.totalMs / 1000.0));
    }
    std::printf("first-time hashing of %d x 8 MiB (file cache warm): median %.0f MB/s\n", kFiles,
                median(rates));
}

void pushOfSmallFiles(const QString &base) {
    std::vector<double> firstLine, rate;
    for (int round = 0; round < 3; ++round) {
        const QString folder = base + QStringLiteral("/small%1").arg(round);
        for (int f = 0; f < 10000; ++f) {
            const QString directory = folder + QStringLiteral("/d%1").arg(f / 100);
            if (f % 100 == 0)
                QDir().mkpath(directory);
            writeFile(directory + QStringLiteral("/f%1.txt").arg(f),
                      QByteArray::number(f) + " small file");
        }
        init(folder, QStringLiteral("small%1").arg(round));
        const Run run = runTool({QStringLiteral("sync"), folder, QStringLiteral("--json"),
                                 QStringLiteral("--resolve"), QStringLiteral("keep-both")});
        firstLine.push_back(run.firstPushMs);
        rate.push_back(10000.0 / (run.totalMs / 1000.0));
    }
    std::printf("push of 10,000 small files: first push line after median %.1f ms, "
                "median rate %.0f files/s\n",
                median(firstLine), median(rate));
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    qputenv("HOME", QFile::encodeName(dir.path()));
    qputenv("XDG_DATA_HOME", QFile::encodeName(dir.path() + QStringLiteral("/data")));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.path() + QStringLiteral("/config")));
    if (!signIn()) {
        std::fprintf(stderr, "could not sign in with %s\n", qPrintable(kTool));
        return 1;
    }
    pushOfSmallFiles(dir.path());
    hashingThroughput(dir.path());
    statusOfLargeFolder(dir.path());
    return 0;
}
