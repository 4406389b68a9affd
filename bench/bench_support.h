// Helpers shared by the timing harnesses: prepared tool output, small file and limit helpers,
// and the probe for the main thread's longest stall.
#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QString>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace orvu::bench {

template <typename Values> double median(Values values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

inline bool writeFile(const QString &path, const QByteArray &content) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// A shell script the runners can launch as the tool.
inline bool writeExecutable(const QString &path, const QByteArray &script) {
    return writeFile(path, script) &&
           QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// Runs the event loop until done() holds or the time is up; returns done().
template <typename Predicate> bool waitUntil(Predicate done, int timeoutMs = 60'000) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    return done();
}

inline long readLimit(const char *path) {
    long value = -1;
    if (FILE *file = std::fopen(path, "r")) {
        if (std::fscanf(file, "%ld", &value) != 1)
            value = -1;
        std::fclose(file);
    }
    return value;
}

inline bool writeLimit(const char *path, long value) {
    FILE *file = std::fopen(path, "w");
    if (!file)
        return false;
    const bool written = std::fprintf(file, "%ld\n", value) > 0;
    return std::fclose(file) == 0 && written;
}

inline constexpr const char *kMaxUserWatches = "/proc/sys/fs/inotify/max_user_watches";
inline constexpr int kTopDirectories = 100;
inline constexpr int kSubdirectoriesEach = 99; // 100 + 100 * 99 = 10,000 directories
inline constexpr int kTreeDirectories = 1 + kTopDirectories * (1 + kSubdirectoriesEach);

// 10,000 directories under root, each with filesPerDirectory empty files.
inline void buildTree(const QString &root, int filesPerDirectory = 0) {
    const auto fill = [filesPerDirectory](const QByteArray &dir) {
        ::mkdir(dir.constData(), 0755);
        for (int f = 0; f < filesPerDirectory; ++f) {
            const QByteArray file = dir + "/file" + QByteArray::number(f) + ".txt";
            const int fd = ::open(file.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            if (fd >= 0)
                ::close(fd);
        }
    };
    const QByteArray base = QFile::encodeName(root);
    ::mkdir(base.constData(), 0755);
    for (int t = 0; t < kTopDirectories; ++t) {
        const QByteArray top = base + "/top" + QByteArray::number(t);
        fill(top);
        for (int s = 0; s < kSubdirectoriesEach; ++s)
            fill(top + "/sub" + QByteArray::number(s));
    }
}

// A status run's output with count local modifications at pathOf(i).
inline QByteArray statusOutput(int count, int toPull,
                               const std::function<QByteArray(int)> &pathOf) {
    QByteArray out = R"({"type":"status","changes":[)";
    out.reserve(qsizetype(count) * 60);
    for (int i = 0; i < count; ++i) {
        if (i)
            out += ',';
        out += R"({"path":")" + pathOf(i) + R"(","change":"M"})";
    }
    out += R"(],"remote":{"toPull":)" + QByteArray::number(toPull) +
           R"(,"toDelete":0,"conflicts":0,"changes":[]}})"
           "\n";
    return out;
}

// A sync run's output pushing count files "folder/<stem><n><extension>".
inline QByteArray pushEvents(int count, const QByteArray &stem, const QByteArray &extension) {
    QByteArray out;
    out.reserve(qsizetype(count) * 70);
    const QByteArray total = QByteArray::number(count);
    for (int i = 1; i <= count; ++i)
        out += R"({"type":"push","file":"folder/)" + stem + QByteArray::number(i) + extension +
               R"(","current":)" + QByteArray::number(i) + R"(,"total":)" + total + "}\n";
    out += R"({"type":"complete","pushed":)" + total + "}\n";
    return out;
}

inline qint64 threadCpuNs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// The main event loop's longest gap between two ticks of a 1 ms timer while it runs, and the
// main thread's own CPU time in the longest such stretch: on a loaded machine the gaps also
// hold the time the thread waited for a core.
class MainThreadGapProbe {
public:
    MainThreadGapProbe() {
        m_ticker.setInterval(1);
        m_ticker.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_ticker, &QTimer::timeout, [this] {
            m_longestGapNs = std::max(m_longestGapNs, m_gap.nsecsElapsed());
            m_gap.restart();
            const qint64 cpuNs = threadCpuNs();
            m_longestBusyNs = std::max(m_longestBusyNs, cpuNs - m_lastCpuNs);
            m_lastCpuNs = cpuNs;
        });
    }
    MainThreadGapProbe(const MainThreadGapProbe &) = delete;
    MainThreadGapProbe &operator=(const MainThreadGapProbe &) = delete;

    void start() {
        m_lastCpuNs = threadCpuNs();
        m_gap.start();
        m_ticker.start();
    }
    void stop() { m_ticker.stop(); }
    double longestGapMs() const { return m_longestGapNs / 1e6; }
    double longestBusyMs() const { return m_longestBusyNs / 1e6; }

private:
    QTimer m_ticker;
    QElapsedTimer m_gap;
    qint64 m_longestGapNs = 0;
    qint64 m_lastCpuNs = 0;
    qint64 m_longestBusyNs = 0;
};

} // namespace orvu::bench
