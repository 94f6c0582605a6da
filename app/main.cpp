// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/AppDelegate.h"
#include "app/CommandLine.h"
#include "app/MainStoryboard.h"
#include "app/QuitOnSignal.h"
#include "app/SingleInstance.h"
#include "app/Startup.h"
#include "app/SystemSettingsHandler.h"
#include "app/WindowSnapshot.h"
#include "model/LegacyImporter.h"
#include "platform/Images.h"
#include "platform/ProcessInfo.h"
#include "platform/UserDefaults.h"
#include "platform/widgets/Storyboard.h"
#include "platform/widgets/Window.h"

#include <QApplication>
#include <QTimer>
#include <cstdio>

namespace {

constexpr double defaultScreenshotDelaySeconds = 2.0;

void print(std::FILE* stream, const QString& text) {
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stream);
    std::fflush(stream);
}

// Qt aborts with a terse message when it finds no display; say what to do instead.
bool hasDisplay() {
    return !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") || !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

// Administrators who run the filter service by other means can say so; the guide is then skipped
// and an unreachable service shows the main window's error view.
void applyApprovalSetting() {
    const QByteArray value = qgetenv("QUILVANE_FILTER_NEEDS_APPROVAL");
    if (value == "0") {
        ProcessInfo::setFilterNeedsApprovalOverride(false);
    } else if (value == "1") {
        ProcessInfo::setFilterNeedsApprovalOverride(true);
    }
}

} // namespace

int main(int argc, char** argv) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.append(QString::fromLocal8Bit(argv[i]));
    }
    const CommandLine options = CommandLine::parse(arguments);
    if (options.error()) {
        print(stderr, QStringLiteral("quilvane: ") + *options.error() + QLatin1Char('\n'));
        return 2;
    }
    if (options.helpRequested()) {
        print(stdout, CommandLine::usage());
        return 0;
    }
    if (options.versionRequested()) {
        print(stdout, CommandLine::versionText() + QLatin1Char('\n'));
        return 0;
    }
    if (!hasDisplay()) {
        print(stderr, QStringLiteral("quilvane: no display to open a window on (neither DISPLAY nor "
                                     "WAYLAND_DISPLAY is set); run it in a desktop session, or under "
                                     "xvfb-run with --screenshot FILE\n"));
        return 1;
    }

    // The application object comes first: the import makes application records, whose icons need
    // it. No window exists and nothing talks to the filter service before the event loop runs.
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quilvane"));
    QApplication::setApplicationVersion(QStringLiteral(QUILVANE_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("quilvane"));
    if (const std::optional<QIcon> icon = Images::imageNamed(QStringLiteral("quilvane"))) {
        QApplication::setWindowIcon(*icon);
    }
    applyApprovalSetting();
    const QuitOnSignal quitOnSignal;

    // One window per session: a later start hands over to the running one and ends.
    SingleInstance instance;
    if (const SingleInstance::Claim claim = instance.claim(); claim != SingleInstance::Claim::first) {
        print(stderr, claim == SingleInstance::Claim::handedOver
                          ? QStringLiteral("quilvane: already running; its window was brought to the front\n")
                          : QStringLiteral("quilvane: already running in this session\n"));
        return options.screenshotPath() ? 1 : 0;
    }

    Startup::useSettingsSchema();
    UserDefaults& defaults = UserDefaults::standard();
    Startup::registerDefaults(defaults);
    Startup::importLegacyBlacklistIfFirstRun(defaults, LegacyImporter::defaultDirectory());
    Startup::followSettingsFile(defaults, &application);

    registerMainStoryboard(Storyboard::main());
    SystemSettingsHandler settingsHandler;
    settingsHandler.install();

    auto delegate = std::make_shared<AppDelegate>(Storyboard::main());
    AppDelegate::setApplicationDelegate(delegate);
    QObject::connect(&instance, &SingleInstance::activationRequested, delegate.get(), &AppDelegate::activate);
    QApplication::setQuitOnLastWindowClosed(AppDelegate::applicationShouldTerminateAfterLastWindowClosed());
    QTimer::singleShot(0, delegate.get(), &AppDelegate::applicationDidFinishLaunching);

    if (options.screenshotPath() || options.quitAfterSeconds()) {
        const double seconds = options.quitAfterSeconds().value_or(defaultScreenshotDelaySeconds);
        QTimer::singleShot(static_cast<int>(seconds * 1000), &application, [&options] {
            int exitCode = 0;
            if (const std::optional<QString>& path = options.screenshotPath()) {
                QWidget* front = WindowSnapshot::frontWindow();
                const QString error = WindowSnapshot::save(front, *path);
                if (error.isEmpty()) {
                    // Named by its title even where the title bar hides it, so a script can tell
                    // the main window from the guide.
                    const auto* window = qobject_cast<Window*>(front);
                    const QString title = window ? window->title() : front->windowTitle();
                    print(stdout, QStringLiteral("quilvane: saved a picture of the window “%1” to %2\n")
                                      .arg(title, *path));
                } else {
                    print(stderr, QStringLiteral("quilvane: ") + error + QLatin1Char('\n'));
                    exitCode = 1;
                }
            }
            QCoreApplication::exit(exitCode);
        });
    }

    const int exitCode = QApplication::exec();
    // Windows go before the application object; their controllers outlive it.
    QApplication::closeAllWindows();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    // Exit waits for the settings too; doing it here keeps the order plain.
    defaults.synchronize();
    return exitCode;
}
