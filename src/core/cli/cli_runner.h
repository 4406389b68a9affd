#pragma once

#include "core/cli/tool_commands.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <QCoro/QCoroTask>

#include <chrono>
#include <memory>
#include <optional>
#include <variant>

// GCC 12 destroys the temporaries of a co_await expression twice, which corrupts the reference
// counts of the strings they hold: every coroutine of the app awaits named tasks only,
// `QCoro::Task<X> t = f(); X x = co_await t;`, and builds its results in named locals.

namespace orvu {

// Everything one completed run of the tool produced. Each stream is decoded as UTF-8 and is
// the empty string when its bytes are not valid UTF-8.
struct CLIAuthResult {
    QString standardOutput; // `stdout` and `stderr` are macros of the C library
    QString standardError;
    qint32 exitCode = 0;

    friend bool operator==(const CLIAuthResult &, const CLIAuthResult &) = default;
};

// The child could not be started; `description` is the platform's own wording.
struct LaunchError {
    QString description;
};

using RunOutcome = std::variant<CLIAuthResult, LaunchError>;

// Where the tool is looked for. The app always uses system(); tests point it elsewhere.
struct ToolLocation {
    // Checked first, for an entry named exactly `orvu`.
    QString resourceDirectory;
    // Then these, in order, by existence alone.
    QStringList candidatePaths;

    // <directory of the executable>/../share/orvutray, then the usual install prefixes.
    static ToolLocation system();
};

// One streaming run of the tool. Lines arrive as lineReceived() on the thread that started
// the run, in order, each as soon as its newline has been read; finished() follows the last
// line exactly once, with tool::kExitCrashed for a child killed by a signal. A run whose child
// could not be started emits no line and finishes with tool::kExitLaunchFailed, queued, so that
// connections made right after the start still see it. Destroying the run, or the application
// quitting, kills and reaps the child.
class StreamingRun : public QObject {
    Q_OBJECT
public:
    ~StreamingRun() override;

    // The exit code, after the last line has been delivered. Returns at once when the run has
    // already finished, and again the same code on later calls.
    QCoro::Task<int> exitCode();
    std::optional<int> finishedCode() const { return m_finishedCode; }

    // Asks the child to end (SIGTERM, which the tool answers by finishing the file in transfer)
    // and kills it when it is still running after `grace`. The run finishes as usual.
    void stop(std::chrono::milliseconds grace);

signals:
    void lineReceived(const QString &line);
    void finished(int exitCode);

private:
    friend class CLIRunner;
    class Private;
    explicit StreamingRun(QObject *parent = nullptr);

    std::unique_ptr<Private> d;
    std::optional<int> m_finishedCode;
};

// The one place where the app starts the `orvu` tool; never through a shell. A CLIRunner is a
// small value: copy it freely. Every run resolves the tool anew.
class CLIRunner {
public:
    explicit CLIRunner(ToolLocation location = ToolLocation::system());

    // A copy whose runs to completion are killed when `owner` is destroyed, so that work for an
    // owner that is gone does not go on in the background.
    CLIRunner boundTo(const QObject *owner) const;

    // The executable for the next run: the resource directory's `orvu`, else the first
    // candidate that exists, else `orvu` on PATH; empty (a launch error) when there is none.
    QString toolPath() const;
    // Why no tool could be run, naming every place it was looked for.
    QString notFoundMessage() const;

    // "--server", the URL, then `arguments` when a URL is given (even an empty one).
    static QStringList argumentVector(const QStringList &arguments,
                                      const std::optional<QString> &serverURL);

    // Runs the tool to completion without blocking the calling thread's event loop; both pipes
    // are drained while the child runs. `workingDirectory` empty means inherited. A child
    // killed by a signal, or still running after `timeLimit` (then killed), exits with
    // tool::kExitCrashed; the application quitting kills it too. A child that writes more than
    // the runner keeps is killed and exits with tool::kExitOutputTooLarge, the reason in its
    // standard error. No tool found is a LaunchError that says where it was looked for.
    QCoro::Task<RunOutcome> run(QStringList arguments, std::optional<QString> serverURL,
                                QString workingDirectory = {},
                                std::chrono::milliseconds timeLimit = tool::kRunTimeLimit) const;

    // Starts a streaming run and returns at once. Standard error is drained and discarded.
    std::unique_ptr<StreamingRun> runStreaming(const QStringList &arguments,
                                               const std::optional<QString> &serverURL) const;

private:
    ToolLocation m_location;
    QPointer<const QObject> m_owner;
};

} // namespace orvu
