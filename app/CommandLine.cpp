// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/CommandLine.h"

#include "app/SystemSettingsHandler.h"

#include <QFileInfo>

namespace {

// Long enough for any window to be laid out and painted, short enough for a demo.
constexpr double maximumQuitAfterSeconds = 24.0 * 60 * 60;

// The picture is always a PNG, so the name must say so; and a mistyped folder is an error rather
// than a tree of new folders.
std::optional<QString> screenshotPathRefusal(const QString& path) {
    if (!path.endsWith(QLatin1String(".png"), Qt::CaseInsensitive)) {
        return QStringLiteral("option --screenshot needs a file name ending in .png, not \"%1\"").arg(path);
    }
    const QString folder = QFileInfo(path).absolutePath();
    if (!QFileInfo(folder).isDir()) {
        return QStringLiteral("option --screenshot: there is no folder %1").arg(folder);
    }
    return std::nullopt;
}

} // namespace

CommandLine CommandLine::parse(const QStringList& arguments) {
    CommandLine result;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        const auto value = [&]() -> std::optional<QString> {
            if (i + 1 >= arguments.size()) {
                result.m_error = QStringLiteral("option %1 needs a value").arg(argument);
                return std::nullopt;
            }
            return arguments[++i];
        };
        if (argument == QLatin1String("-h") || argument == QLatin1String("--help")) {
            result.m_help = true;
        } else if (argument == QLatin1String("-v") || argument == QLatin1String("--version")) {
            result.m_version = true;
        } else if (argument == QLatin1String("--screenshot")) {
            const std::optional<QString> path = value();
            if (!path) {
                return result;
            }
            if (path->isEmpty()) {
                result.m_error = QStringLiteral("option --screenshot needs a file name");
                return result;
            }
            if (std::optional<QString> refusal = screenshotPathRefusal(*path)) {
                result.m_error = std::move(refusal);
                return result;
            }
            result.m_screenshotPath = *path;
        } else if (argument == QLatin1String("--quit-after")) {
            const std::optional<QString> text = value();
            if (!text) {
                return result;
            }
            bool ok = false;
            const double seconds = text->toDouble(&ok);
            if (!ok || !(seconds >= 0) || seconds > maximumQuitAfterSeconds) {
                result.m_error =
                    QStringLiteral("option --quit-after needs a number of seconds, not \"%1\"").arg(*text);
                return result;
            }
            result.m_quitAfterSeconds = seconds;
        } else {
            result.m_error = QStringLiteral("unknown option \"%1\" (try --help)").arg(argument);
            return result;
        }
    }
    return result;
}

QString CommandLine::usage() {
    return QStringLiteral(
        "Usage: quilvane [options]\n"
        "\n"
        "Quilvane takes network access away from the applications you choose and shows which\n"
        "applications have been making connections. Blocking is done by the filter service\n"
        "quilvane-filterd; start it with: %1\n"
        "\n"
        "Options:\n"
        "  -h, --help               show this help and exit\n"
        "  -v, --version            show the version and exit\n"
        "  --screenshot FILE.png    save a picture of the front window to FILE.png (in a folder\n"
        "                           that exists), then quit\n"
        "  --quit-after SECONDS     quit after SECONDS (with --screenshot: when to take it; default 2)\n"
        "\n"
        "Environment:\n"
        "  QUILVANE_CONTROL_DIR     folder of the filter service's control socket (default /run/quilvane)\n"
        "  QUILVANE_FILTER_NEEDS_APPROVAL=0\n"
        "                           the filter service is managed elsewhere: when it cannot be reached,\n"
        "                           show the main window with an error instead of the start-up guide\n")
        .arg(SystemSettingsHandler::startCommand());
}

QString CommandLine::versionText() {
    return QStringLiteral("quilvane " QUILVANE_VERSION);
}
