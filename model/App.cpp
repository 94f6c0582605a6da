// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/App.h"

#include "platform/Bundle.h"
#include "platform/FileManager.h"
#include "platform/ProcessInfo.h"
#include "platform/RunningApplication.h"
#include "platform/TypeIdentifiers.h"
#include "platform/Workspace.h"

#include <QFileInfo>
#include <QUrl>

namespace {

const QString& bundleType = TypeIdentifiers::bundle;
const QString& executableType = TypeIdentifiers::executable;

QString normalisedKey(const QString& identifier) {
    return identifier.normalized(QString::NormalizationForm_C);
}

// The rule shared by initWithPath and initWithPid once a path is known.
AppPtr appAtPath(const QString& path) {
    const std::optional<QString> executable = executableName(path);
    if (!executable) {
        return nullptr;
    }
    return std::make_shared<const App>(path, FileManager::displayNameAtPath(path), *executable, path);
}

// A package that is still there but whose program is not, named as the package names it.
AppPtr packageWithoutProgram(const QString& path) {
    if (!isBundle(path)) {
        return nullptr;
    }
    const auto bundle = Bundle::initWithPath(path, Bundle::Programs::mayBeMissing);
    if (!bundle) {
        return nullptr;
    }
    return std::make_shared<const App>(path,
                                       bundle->displayName().value_or(FileManager::displayNameAtPath(path)),
                                       bundle->executableName().value_or(QString()), path, false);
}

AppPtr bareApp(const QString& name) {
    return std::make_shared<const App>(name, name, name, std::nullopt);
}

// A name from the filter service: the program at that path when this user can resolve it, else a
// bare App under its file name, which is what the service matches a block against.
AppPtr appForReportedName(const QString& reported) {
    if (reported.startsWith(QLatin1Char('/'))) {
        if (AppPtr app = appAtPath(reported)) {
            return app;
        }
    }
    const QString fileName = reported.section(QLatin1Char('/'), -1);
    return fileName.isEmpty() ? nullptr : bareApp(fileName);
}

// An application package the process was started from (bundle or desktop entry) names it before
// anything else, as it does for a plain pid.
AppPtr appFromRegistry(qint32 pid) {
    const auto running = RunningApplication::runningApplicationWithProcessIdentifier(pid);
    if (!running || !running->bundleURL()) {
        return nullptr;
    }
    return appAtPath(running->bundleURL()->toLocalFile());
}

} // namespace

App::App(QString identifier, QString name, QString executable, std::optional<QString> path, bool programFound)
    : m_identifier(std::move(identifier))
    , m_name(std::move(name))
    , m_executable(std::move(executable))
    , m_path(std::move(path))
    , m_programFound(programFound)
    , m_identifierKey(normalisedKey(m_identifier)) {}

AppPtr App::initWithName(const QString& name, const QString& executable, const std::optional<QString>& path) {
    return std::make_shared<const App>(path.value_or(executable), name, executable, path);
}

AppPtr App::initWithPath(const QString& path) {
    return appAtPath(path);
}

AppPtr App::initWithIdentifier(const QString& identifier) {
    if (identifier.startsWith(QLatin1Char('/'))) {
        return initWithPath(identifier);
    }
    return bareApp(identifier);
}

AppPtr App::initWithStoredIdentifier(const QString& identifier) {
    if (AppPtr app = initWithIdentifier(identifier)) {
        return app;
    }
    return packageWithoutProgram(identifier);
}

AppPtr App::initWithPid(qint32 pid) {
    if (const std::optional<QString> path = processPath(pid)) {
        if (AppPtr app = appAtPath(*path)) {
            return app;
        }
    }
    if (const std::optional<QString> name = processName(pid)) {
        return bareApp(*name);
    }
    return nullptr;
}

AppPtr App::initWithPid(qint32 pid, const ReportedProgram& reported) {
    if (AppPtr app = appFromRegistry(pid)) {
        return app;
    }
    if (!reported.script.isEmpty()) {
        if (AppPtr app = appForReportedName(reported.script)) {
            return app;
        }
    }
    if (const std::optional<QString> path = ProcessInfo::processPath(pid)) {
        if (AppPtr app = appAtPath(*path)) {
            return app;
        }
    }
    if (!reported.executable.isEmpty()) {
        return appForReportedName(reported.executable);
    }
    // The service did not know the program either: the short name is all there is.
    if (const std::optional<QString> name = processName(pid)) {
        return bareApp(*name);
    }
    return nullptr;
}

bool App::hasSameIdentifier(const App& other) const {
    // Plain equality first: nearly all identifiers are spelt the same way, and the key comparison
    // only decides between the two Unicode spellings of one name.
    return m_identifier == other.m_identifier || m_identifierKey == other.m_identifierKey;
}

bool App::identifiersEqual(const QString& a, const QString& b) {
    return a == b || normalisedKey(a) == normalisedKey(b);
}

bool fileType(const QString& path, const QString& conformsToType) {
    const std::optional<QString> type = Workspace::typeOfFile(path);
    return type && Workspace::typeConformsToType(*type, conformsToType);
}

bool isBundle(const QString& path) {
    return fileType(path, bundleType);
}

bool isExecutable(const QString& path) {
    return fileType(path, executableType);
}

std::optional<QString> executableName(const QString& path) {
    if (!FileManager::fileExistsAtPath(path)) {
        return std::nullopt;
    }
    // One type lookup answers both tests: a stored list of thousands of paths is resolved at start-up.
    const std::optional<QString> type = Workspace::typeOfFile(path);
    if (!type) {
        return std::nullopt;
    }
    if (Workspace::typeConformsToType(*type, bundleType)) {
        // A bundle answers only through its main executable, even when the folder itself would
        // pass the executable test.
        const auto bundle = Bundle::initWithPath(path);
        if (!bundle || !bundle->executablePath()) {
            return std::nullopt;
        }
        return QFileInfo(*bundle->executablePath()).fileName();
    }
    if (Workspace::typeConformsToType(*type, executableType)) {
        return QUrl::fromLocalFile(path).fileName();
    }
    return std::nullopt;
}

std::optional<QString> processPath(qint32 pid) {
    if (const auto running = RunningApplication::runningApplicationWithProcessIdentifier(pid)) {
        // A registry entry answers alone: without a location, /proc is not asked.
        if (running->bundleURL()) {
            return running->bundleURL()->toLocalFile();
        }
        if (running->executableURL()) {
            return running->executableURL()->toLocalFile();
        }
        return std::nullopt;
    }
    return ProcessInfo::processPath(pid);
}

std::optional<QString> processName(qint32 pid) {
    return ProcessInfo::processName(pid);
}
