#include "core/cli/cli_runner.h"

#include "core/cli/line_cutter.h"
#include "core/cli/tool_commands.h"

#include <QByteArrayList>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

#include <QCoro/QCoroFuture>
#include <QCoro/QCoroSignal>

#include <coroutine>
#include <utility>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace orvu {

namespace {

const QString kToolName = QStringLiteral("orvu");

// Outputs up to this size are decoded on the calling thread; decoding them costs less than
// the hop to a worker would.
constexpr qsizetype kInlineDecodeLimit = 256 * 1024;

// What a run to completion keeps of each stream. A status of a very large folder stays well
// below the first; a tool writing more is flooding, and past either cap it is killed, so that
// the app's memory never grows with what a tool writes.
constexpr qsizetype kMaxStandardOutput = 32 * 1024 * 1024;
constexpr qsizetype kMaxStandardError = 1024 * 1024;

// Kills a child that is still running when its owner goes away, so that no run outlives its
// consumer.
void killAndReap(QProcess &process) {
    if (process.state() == QProcess::NotRunning)
        return;
    process.kill();
    process.waitForFinished(5000);
}

void prepare(QProcess &process, const QString &program, const QStringList &arguments) {
    process.setProgram(program);
    process.setArguments(arguments);
    // The tool never reads from us, and must not read the terminal the app was started from.
    process.setStandardInputFile(QProcess::nullDevice());
    // A child must not outlive an app that ends without quitting (killed, crashed): the kernel
    // kills it when we go. An app that went before the child could ask is checked by hand.
    process.setChildProcessModifier([parent = ::getpid()] {
        if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent)
            ::_exit(127);
    });
    // A run in flight when the app quits is never resumed again: its child goes now.
    if (QCoreApplication *app = QCoreApplication::instance()) {
        QObject::connect(app, &QCoreApplication::aboutToQuit, &process,
                         [&process] { killAndReap(process); });
    }
}

// A child killed by a signal has no exit code of its own: whatever number the platform reports,
// it must never read as one of the tool's codes.
int exitCodeOf(const QProcess &process, int exitCode) {
    return process.exitStatus() == QProcess::CrashExit ? tool::kExitCrashed : exitCode;
}

QString decodeUtf8(const QByteArray &bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless |
                                                     QStringDecoder::Flag::ConvertInitialBom);
    QString text = decoder.decode(bytes);
    return decoder.hasError() ? QString() : text;
}

CLIAuthResult decodeResult(const QByteArray &out, const QByteArray &err, qint32 exitCode) {
    CLIAuthResult result;
    result.standardOutput = decodeUtf8(out);
    result.standardError = decodeUtf8(err);
    result.exitCode = exitCode;
    return result;
}

struct ProcessDeleter {
    void operator()(QProcess *process) const {
        process->disconnect();
        killAndReap(*process);
        delete process;
    }
};
using OwnedProcess = std::unique_ptr<QProcess, ProcessDeleter>;

// Suspends until the child has exited or failed to start. The coroutine is resumed from the
// event loop rather than from inside QProcess's signal, so it may destroy the process at once.
class ProcessEnd {
public:
    explicit ProcessEnd(QProcess *process) : m_process(process) {}

    bool await_ready() const noexcept { return m_process->state() == QProcess::NotRunning; }

    void await_suspend(std::coroutine_handle<> handle) {
        QProcess *process = m_process;
        auto fired = std::make_shared<bool>(false);
        auto resume = [process, handle, fired] {
            if (std::exchange(*fired, true))
                return;
            QMetaObject::invokeMethod(
                process, [handle] { handle.resume(); }, Qt::QueuedConnection);
        };
        QObject::connect(process, &QProcess::finished, process, resume);
        QObject::connect(process, &QProcess::errorOccurred, process,
                         [resume](QProcess::ProcessError error) {
                             if (error == QProcess::FailedToStart)
                                 resume();
                         });
    }

    void await_resume() const noexcept {}

private:
    QProcess *m_process;
};

} // namespace

// ---------------------------------------------------------------------------------------------

ToolLocation ToolLocation::system() {
    return ToolLocation{QDir::cleanPath(QCoreApplication::applicationDirPath() +
                                        QStringLiteral("/../share/orvutray")),
                        {QStringLiteral("/usr/local/bin/orvu"),
                         QStringLiteral("/opt/homebrew/bin/orvu"),
                         QStringLiteral("/usr/bin/orvu")}};
}

// ---------------------------------------------------------------------------------------------

class StreamingRun::Private {
public:
    QProcess *process = nullptr;
    LineCutter cutter;
    // Non-zero while one of the process's signals is being handled: a consumer that destroys
    // the run from a slot must not delete the QProcess that is still emitting.
    int handlerDepth = 0;
};

StreamingRun::StreamingRun(QObject *parent) : QObject(parent), d(std::make_unique<Private>()) {}

StreamingRun::~StreamingRun() {
    QProcess *process = std::exchange(d->process, nullptr);
    if (!process)
        return;
    process->disconnect();
    killAndReap(*process);
    if (d->handlerDepth > 0)
        process->deleteLater();
    else
        delete process;
}

QCoro::Task<int> StreamingRun::exitCode() {
    if (m_finishedCode)
        co_return *m_finishedCode;
    const int code = co_await qCoro(this, &StreamingRun::finished);
    co_return code;
}

void StreamingRun::stop(std::chrono::milliseconds grace) {
    QProcess *process = d->process;
    if (!process || process->state() == QProcess::NotRunning)
        return;
    process->terminate();
    QTimer::singleShot(grace, process, [process] { process->kill(); });
}

// ---------------------------------------------------------------------------------------------

CLIRunner::CLIRunner(ToolLocation location) : m_location(std::move(location)) {}

QString CLIRunner::notFoundMessage() const {
    QStringList places;
    if (!m_location.resourceDirectory.isEmpty())
        places.append(QDir(m_location.resourceDirectory).filePath(kToolName));
    places += m_location.candidatePaths;
    places.append(QStringLiteral("every folder on PATH"));
    return QStringLiteral("The orvu tool was not found. Looked in: %1.")
        .arg(places.join(QStringLiteral(", ")));
}

CLIRunner CLIRunner::boundTo(const QObject *owner) const {
    CLIRunner bound = *this;
    bound.m_owner = owner;
    return bound;
}

QString CLIRunner::toolPath() const {
    if (!m_location.resourceDirectory.isEmpty()) {
        const QString bundled = QDir(m_location.resourceDirectory).filePath(kToolName);
        if (QFileInfo::exists(bundled))
            return bundled;
    }
    for (const QString &candidate : m_location.candidatePaths) {
        if (QFileInfo::exists(candidate))
            return candidate;
    }
    // Never relative to the working directory, where any `./orvu` could lie in wait.
    return QStandardPaths::findExecutable(kToolName);
}

QStringList CLIRunner::argumentVector(const QStringList &arguments,
                                      const std::optional<QString> &serverURL) {
    if (!serverURL)
        return arguments;
    return QStringList{QStringLiteral("--server"), *serverURL} + arguments;
}

QCoro::Task<RunOutcome> CLIRunner::run(QStringList arguments, std::optional<QString> serverURL,
                                       QString workingDirectory,
                                       std::chrono::milliseconds timeLimit) const {
    RunOutcome outcome;
    // Everything needed from `this` is taken before the first suspension.
    const QString program = toolPath();
    if (program.isEmpty()) {
        outcome = LaunchError{notFoundMessage()};
        co_return outcome;
    }
    OwnedProcess process(new QProcess);
    prepare(*process, program, argumentVector(arguments, serverURL));
    if (!workingDirectory.isEmpty())
        process->setWorkingDirectory(workingDirectory);
    if (m_owner) {
        QObject::connect(m_owner, &QObject::destroyed, process.get(),
                         [child = process.get()] { child->kill(); });
    }

    // Both pipes are drained into our own buffers as data arrives, so a child writing more than
    // a pipe holds never stalls, and one writing more than we keep is stopped at once.
    // Kept in the pieces read: growing one buffer would copy it, and for a moment hold it
    // twice, each time it outgrows its room.
    QByteArrayList out, err;
    qsizetype outSize = 0, errSize = 0;
    bool overflowed = false;
    const auto drain = [&, child = process.get()] {
        const QByteArray outPiece = child->readAllStandardOutput();
        const QByteArray errPiece = child->readAllStandardError();
        if (overflowed)
            return;
        outSize += outPiece.size();
        errSize += errPiece.size();
        if (outSize > kMaxStandardOutput || errSize > kMaxStandardError) {
            overflowed = true;
            out.clear();
            err.clear();
            child->kill();
            return;
        }
        if (!outPiece.isEmpty())
            out.append(outPiece);
        if (!errPiece.isEmpty())
            err.append(errPiece);
    };
    QObject::connect(process.get(), &QProcess::readyReadStandardOutput, process.get(), drain);
    QObject::connect(process.get(), &QProcess::readyReadStandardError, process.get(), drain);
    process->start(QIODevice::ReadOnly);
    // A hung tool must not hold its caller for good; the kill reads as a crash.
    QTimer::singleShot(timeLimit, process.get(), [child = process.get()] { child->kill(); });
    co_await ProcessEnd(process.get());

    if (process->error() == QProcess::FailedToStart) {
        outcome = LaunchError{QStringLiteral("Could not start the orvu tool at %1: %2")
                                  .arg(program, process->errorString())};
        co_return outcome;
    }
    drain();
    const qint32 code = exitCodeOf(*process, process->exitCode());
    process.reset();

    if (overflowed) {
        outcome = CLIAuthResult{
            {},
            QStringLiteral("The orvu tool wrote more output than the app accepts (%1 MiB of "
                           "output, %2 MiB of errors), so it was stopped.")
                .arg(kMaxStandardOutput / (1024 * 1024))
                .arg(kMaxStandardError / (1024 * 1024)),
            tool::kExitOutputTooLarge};
    } else if (outSize + errSize <= kInlineDecodeLimit) {
        outcome = decodeResult(out.join(), err.join(), code);
    } else {
        QFuture<CLIAuthResult> decoding =
            QtConcurrent::run([out = std::move(out), err = std::move(err), code] {
                return decodeResult(out.join(), err.join(), code);
            });
        outcome = co_await decoding;
    }
    co_return outcome;
}

std::unique_ptr<StreamingRun>
CLIRunner::runStreaming(const QStringList &arguments,
                        const std::optional<QString> &serverURL) const {
    std::unique_ptr<StreamingRun> run(new StreamingRun);
    StreamingRun *q = run.get();
    StreamingRun::Private *d = q->d.get();

    d->process = new QProcess;
    QProcess *process = d->process;
    prepare(*process, toolPath(), argumentVector(arguments, serverURL));
    process->setStandardErrorFile(QProcess::nullDevice());

    // Cuts what was read, then emits line by line; stops as soon as a slot destroyed the run.
    auto deliver = [q, d](const QByteArray &bytes, std::optional<int> exitCode) {
        QStringList lines;
        const auto collect = [&lines](const QString &line) { lines.append(line); };
        d->cutter.feed(bytes, collect);
        if (exitCode)
            d->cutter.flush(collect);

        QPointer<StreamingRun> guard(q);
        ++d->handlerDepth;
        for (const QString &line : std::as_const(lines)) {
            emit q->lineReceived(line);
            if (!guard)
                return;
        }
        if (exitCode && !q->m_finishedCode) {
            q->m_finishedCode = *exitCode;
            emit q->finished(*exitCode);
            if (!guard)
                return;
        }
        --d->handlerDepth;
    };

    QObject::connect(process, &QProcess::readyReadStandardOutput, q,
                     [process, deliver] { deliver(process->readAllStandardOutput(), {}); });
    // QProcess has read everything the child wrote before it reports the exit; what it has not
    // handed out yet is taken here, so no line is lost.
    QObject::connect(process, &QProcess::finished, q, [process, deliver](int exitCode) {
        deliver(process->readAllStandardOutput(), exitCodeOf(*process, exitCode));
    });
    QObject::connect(process, &QProcess::errorOccurred, q, [q](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        // Queued, so that connections made right after runStreaming() returned still see it.
        QMetaObject::invokeMethod(
            q,
            [q] {
                if (q->m_finishedCode)
                    return;
                q->m_finishedCode = tool::kExitLaunchFailed;
                emit q->finished(tool::kExitLaunchFailed);
            },
            Qt::QueuedConnection);
    });

    process->start(QIODevice::ReadOnly);
    return run;
}

} // namespace orvu
