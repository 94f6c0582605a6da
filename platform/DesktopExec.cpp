// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/DesktopExec.h"

#include "platform/BoundedFile.h"

#include <QFileInfo>
#include <QSet>
#include <QStandardPaths>

namespace {

std::optional<DesktopExec::Roots> s_roots;

// Programs that do many things and choose by the name they were started under: following a link
// to one of them names every program they stand for.
const QSet<QString>& multiCallPrograms() {
    static const QSet<QString> names{QStringLiteral("snap"), QStringLiteral("busybox"),
                                     QStringLiteral("toybox"), QStringLiteral("env"),
                                     QStringLiteral("flatpak")};
    return names;
}

QString fileName(const QString& path) {
    return QFileInfo(path).fileName();
}

// The lines of a small text file an installed package holds; nothing when it cannot be read.
std::optional<QStringList> packageFileLines(const QString& path) {
    const std::optional<QByteArray> bytes = BoundedFile::read(path);
    if (!bytes) {
        return std::nullopt;
    }
    return QString::fromUtf8(*bytes).split(QLatin1Char('\n'));
}

// `env [-i] [-u NAME] [--unset=NAME] [VAR=value]… program …`: the words from the program on.
QStringList afterEnv(QStringList words) {
    words.removeFirst();
    while (!words.isEmpty()) {
        const QString& word = words.first();
        if (word == QLatin1String("-u") || word == QLatin1String("--unset") || word == QLatin1String("-C") ||
            word == QLatin1String("--chdir")) {
            words.removeFirst(); // the option's value follows
        } else if (!word.startsWith(QLatin1Char('-')) && !word.contains(QLatin1Char('='))) {
            break;
        }
        if (!words.isEmpty()) {
            words.removeFirst();
        }
    }
    return words;
}

// The `command=` of [Application] in an installed flatpak's metadata.
std::optional<QString> flatpakMetadataCommand(const QString& appId, const QStringList& installations) {
    for (const QString& installation : installations) {
        const std::optional<QStringList> metadata = packageFileLines(
            installation + QStringLiteral("/app/") + appId + QStringLiteral("/current/active/metadata"));
        if (!metadata) {
            continue;
        }
        bool inApplication = false;
        for (const QString& untrimmed : *metadata) {
            const QString line = untrimmed.trimmed();
            if (line.startsWith(QLatin1Char('['))) {
                inApplication = line == QLatin1String("[Application]");
            } else if (inApplication && line.startsWith(QLatin1String("command="))) {
                const QString command = line.mid(8).trimmed();
                if (!command.isEmpty()) {
                    return command;
                }
            }
        }
    }
    return std::nullopt;
}

// `flatpak run [options] APP[/arch/branch] [args]`.
std::optional<QString> flatpakProgram(const QStringList& words, const QStringList& installations) {
    for (qsizetype i = 2; i < words.size(); ++i) {
        const QString& word = words.at(i);
        if (word.startsWith(QLatin1String("--command="))) {
            const QString command = word.mid(10);
            return command.isEmpty() ? std::nullopt : std::optional<QString>(command);
        }
        if (!word.startsWith(QLatin1Char('-'))) {
            return flatpakMetadataCommand(word.section(QLatin1Char('/'), 0, 0), installations);
        }
    }
    return std::nullopt;
}

// The `command:` of one app in a snap's meta/snap.yaml. Only this one value is wanted, so a reading
// of the indentation does instead of a YAML library.
std::optional<QString> snapYamlCommand(const QString& yamlPath, const QString& app) {
    const std::optional<QStringList> yaml = packageFileLines(yamlPath);
    if (!yaml) {
        return std::nullopt;
    }
    enum class Where { outside, apps, app } where = Where::outside;
    qsizetype appIndent = -1;
    for (const QString& line : *yaml) {
        const QString text = line.trimmed();
        if (text.isEmpty() || text.startsWith(QLatin1Char('#'))) {
            continue;
        }
        const qsizetype indent = line.indexOf(text.at(0));
        if (indent == 0) {
            where = text == QLatin1String("apps:") ? Where::apps : Where::outside;
            continue;
        }
        if (where == Where::outside) {
            continue;
        }
        if (where == Where::app && indent <= appIndent) {
            where = Where::apps;
        }
        if (where == Where::apps) {
            if (text == app + QLatin1Char(':')) {
                where = Where::app;
                appIndent = indent;
            }
        } else if (text.startsWith(QLatin1String("command:"))) {
            QString command = text.mid(8).trimmed();
            if (command.size() >= 2 &&
                (command.startsWith(QLatin1Char('"')) || command.startsWith(QLatin1Char('\'')))) {
                command = command.mid(1, command.size() - 2);
            }
            command = command.section(QLatin1Char(' '), 0, 0);
            return command.isEmpty() ? std::nullopt : std::optional<QString>(command);
        }
    }
    return std::nullopt;
}

// /snap/bin/NAME runs app APP of snap SNAP, where NAME is "SNAP.APP", or "SNAP" for the app named
// like the snap.
QString snapProgram(const QString& name, const QString& snapRoot) {
    const QString snap = name.section(QLatin1Char('.'), 0, 0);
    const QString app = name.contains(QLatin1Char('.')) ? name.section(QLatin1Char('.'), 1) : name;
    const std::optional<QString> command =
        snapYamlCommand(snapRoot + QLatin1Char('/') + snap + QStringLiteral("/current/meta/snap.yaml"), app);
    return command ? fileName(*command) : app;
}

// The program on PATH (or at its path), links followed unless they lead to a multi-call program.
std::optional<QString> installedProgram(const QString& word) {
    const QString found = word.contains(QLatin1Char('/')) ? word : QStandardPaths::findExecutable(word);
    if (found.isEmpty()) {
        return std::nullopt;
    }
    const QFileInfo info(found);
    const QString canonical = info.canonicalFilePath();
    if (canonical.isEmpty()) {
        return std::nullopt;
    }
    if (info.isSymLink() && multiCallPrograms().contains(fileName(canonical))) {
        return info.absoluteFilePath();
    }
    return canonical;
}

} // namespace

DesktopExec::Roots DesktopExec::systemRoots() {
    Roots roots;
    roots.flatpak = {QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                         QStringLiteral("/flatpak"),
                     QStringLiteral("/var/lib/flatpak")};
    return roots;
}

void DesktopExec::setRoots(std::optional<Roots> roots) {
    s_roots = std::move(roots);
}

std::optional<QString> DesktopExec::program(const QStringList& words, const QString& snapInstanceName) {
    if (words.isEmpty() || words.first().isEmpty()) {
        return std::nullopt;
    }
    const Roots roots = s_roots.value_or(systemRoots());
    const QString& first = words.first();
    const QString name = fileName(first);
    if (name == QLatin1String("env")) {
        return program(afterEnv(words), snapInstanceName);
    }
    if (name == QLatin1String("flatpak") && words.size() > 2 && words.at(1) == QLatin1String("run")) {
        return flatpakProgram(words, roots.flatpak);
    }
    const QString snapBin = roots.snap + QStringLiteral("/bin/");
    if (first.startsWith(snapBin) || (!snapInstanceName.isEmpty() && !first.contains(QLatin1Char('/')))) {
        return snapProgram(name, roots.snap);
    }
    if (name.endsWith(QLatin1String(".AppImage"), Qt::CaseInsensitive)) {
        const QFileInfo image(first);
        return image.isFile() ? std::optional<QString>(image.absoluteFilePath()) : std::nullopt;
    }
    return installedProgram(first);
}

std::optional<QString> DesktopExec::programName(const QStringList& words) {
    if (words.isEmpty() || words.first().isEmpty()) {
        return std::nullopt;
    }
    const QString name = fileName(words.first());
    if (name == QLatin1String("env")) {
        return programName(afterEnv(words));
    }
    if (name.isEmpty() || name == QLatin1String("flatpak")) {
        return std::nullopt;
    }
    return name;
}
