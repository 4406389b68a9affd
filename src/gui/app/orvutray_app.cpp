#include "gui/app/orvutray_app.h"

#include "core/cli/tool_commands.h"
#include "core/platform/qsettings_store.h"
#include "gui/app/app_delegate.h"
#include "gui/app/orvu_url.h"
#include "gui/platform/quit_signals.h"
#include "gui/platform/single_instance.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <QStandardPaths>

#include <cstdio>
#include <memory>
#include <variant>

namespace orvu {

namespace {

// The setting that points every tool run at another server, like the option --server.
const QString kServerURLKey = QStringLiteral("serverURL");

struct Launch {
    QString serverURL;
    // A sign-in link, or empty for a plain start.
    QString message;
    // Elected, or running alone.
    std::unique_ptr<SingleInstance> instance;
};

void printError(const QString &text) {
    std::fputs(qPrintable(text), stderr);
}

// Everything that needs no display, so that --help, --version, a refused server and a hand-over
// to the running instance work anywhere. An int is the exit code to end with.
std::variant<Launch, int> readCommandLine(int argc, char *argv[], const SettingsStore &settings) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Keeps folders in step with your Orvu repos, from the system tray."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption server(
        QStringLiteral("server"),
        QStringLiteral("Use the Orvu server at <url> (https://… or file:///…) for every run of "
                       "the orvu tool."),
        QStringLiteral("url"));
    parser.addOption(server);
    parser.addPositionalArgument(QStringLiteral("link"),
                                 QStringLiteral("A sign-in link (orvu://verify?token=…)."),
                                 QStringLiteral("[link]"));
    if (!parser.parse(app.arguments()) || parser.positionalArguments().size() > 1) {
        const QString error = parser.errorText().isEmpty() ? QStringLiteral("Too many arguments.")
                                                           : parser.errorText();
        printError(error + QStringLiteral("\n\n") + parser.helpText());
        return 2;
    }
    if (parser.isSet(help))
        parser.showHelp(0);
    if (parser.isSet(version))
        parser.showVersion();

    Launch launch{parser.isSet(server)
                      ? parser.value(server)
                      : settings.string(kServerURLKey).value_or(tool::kDefaultServerURL),
                  parser.positionalArguments().value(0),
                  std::make_unique<SingleInstance>(SingleInstance::privateDirectory())};
    if (!isAcceptableServerURL(launch.serverURL)) {
        printError(QStringLiteral("orvutray: cannot use the server URL \"%1\": it must be an "
                                  "https:// URL or a file:/// URL of a folder.\n")
                       .arg(launch.serverURL));
        return 2;
    }
    // Only a link is handed over or acted on; anything else makes a plain start, as an unknown
    // link is ignored without a word.
    if (!SingleInstance::isAcceptableMessage(launch.message))
        launch.message.clear();
    if (launch.instance->elect(launch.message) == SingleInstance::Role::handedOver)
        return 0;
    return launch;
}

} // namespace

int runOrvuTray(int argc, char *argv[]) {
    // QSettings would name an INI file *.ini; the desktop's convention is OrvuTray.conf.
    auto settings = std::make_shared<QSettingsStore>(
        QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
        QStringLiteral("/Orvu/OrvuTray.conf"));
    std::variant<Launch, int> read = readCommandLine(argc, argv, *settings);
    if (const int *exitCode = std::get_if<int>(&read))
        return *exitCode;
    Launch &launch = std::get<Launch>(read);

    QApplication app(argc, argv);
    // Lets the desktop match the windows to the menu entry and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("io.orvu.tray"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("io.orvu.tray")));
    // The panel and the windows come and go; only quitting ends the app.
    QApplication::setQuitOnLastWindowClosed(false);

    // Tool runs still going at the end are killed by their runner as the event loop quits; the
    // kernel kills them should the app end any other way.
    AppDelegate delegate(AppDelegate::systemServices(settings, launch.serverURL,
                                                     QCoreApplication::applicationVersion()));
    QuitSignals quitSignals;
    QObject::connect(&quitSignals, &QuitSignals::quitRequested, &delegate, &AppDelegate::quit);
    QObject::connect(launch.instance.get(), &SingleInstance::messageReceived, &delegate,
                     &AppDelegate::handleInstanceMessage);
    // Without it later starts wait for us and then run on their own.
    launch.instance->listen();
    delegate.applicationDidFinishLaunching();
    if (!launch.message.isEmpty())
        delegate.handleURL(launch.message);
    const int exitCode = QApplication::exec();
    // Closes the socket while the event loop's machinery still exists, then frees the lock.
    launch.instance.reset();
    return exitCode;
}

} // namespace orvu
