// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Workspace.h"

#include "platform/Bundle.h"
#include "platform/Images.h"
#include "platform/TypeIdentifiers.h"

#include <QAbstractFileIconProvider>
#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

const QString& applicationBundleType = TypeIdentifiers::applicationBundle;
const QString& bundleType = TypeIdentifiers::bundle;
const QString& executableType = TypeIdentifiers::executable;
const QString& folderType = TypeIdentifiers::folder;
const QString& dataType = TypeIdentifiers::data;
const QString desktopEntryType = QStringLiteral("org.freedesktop.desktop-entry");
const QString directoryType = QStringLiteral("public.directory");
const QString itemType = QStringLiteral("public.item");

// Each type's direct parents; conformance is the transitive closure.
const QHash<QString, QStringList>& parentTypes() {
    static const QHash<QString, QStringList> table{
        {applicationBundleType, {bundleType, executableType}},
        {bundleType, {directoryType}},
        {desktopEntryType, {bundleType, executableType, dataType}},
        {executableType, {dataType}},
        {folderType, {directoryType}},
        {directoryType, {itemType}},
        {dataType, {itemType}},
    };
    return table;
}

// Four bytes straight from the file: QFile would stat it twice more and read a whole buffer, and a
// long block list asks this of every stored path at start-up. O_NONBLOCK: a FIFO swapped in after
// the type check must not hold the caller in open().
bool startsAsProgram(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return false;
    }
    char head[4] = {};
    const ssize_t got = ::read(fd, head, sizeof head);
    ::close(fd);
    return (got == 4 && std::memcmp(head,
                                    "\x7f"
                                    "ELF",
                                    4) == 0) ||
           (got >= 2 && head[0] == '#' && head[1] == '!');
}

// Our own images for desktops without an icon theme, where the provider has nothing to offer:
// packages look like applications, and everything else like a process.
QIcon imageForType(const std::optional<QString>& type) {
    const bool package = type && Workspace::typeConformsToType(*type, bundleType);
    const QString name =
        package ? QStringLiteral("application_icon_32x32") : QStringLiteral("process_icon_32x32");
    return Images::imageNamed(name).value_or(QIcon());
}

QMutex s_openerMutex;
std::function<bool(const QUrl&)> s_opener;

} // namespace

std::optional<QString> Workspace::typeOfFile(const QString& path) {
    const QFileInfo info(path);
    // isDir() first: its stat answers exists() as well, which alone would cost an access(2).
    const bool isDir = !path.isEmpty() && info.isDir();
    if (path.isEmpty() || !info.exists()) {
        return std::nullopt;
    }
    if (isDir) {
        if (info.fileName().endsWith(QLatin1String(".app")) && info.fileName().size() > 4) {
            return applicationBundleType;
        }
        if (QFileInfo(path + QStringLiteral("/Contents/Info.plist")).isFile()) {
            return bundleType;
        }
        return folderType;
    }
    if (info.isFile()) {
        if (path.endsWith(QLatin1String(".desktop"))) {
            return desktopEntryType;
        }
        // One flag at a time: these three come from the mode already read, where permissions() would
        // also ask access(2) for the user's own rights, a system call each, thousands at start-up.
        const bool executeBit = info.permission(QFile::ExeOwner) || info.permission(QFile::ExeGroup) ||
                                info.permission(QFile::ExeOther);
        if (executeBit && startsAsProgram(path)) {
            return executableType;
        }
    }
    return dataType;
}

bool Workspace::typeConformsToType(const QString& type, const QString& conformsToType) {
    if (type == conformsToType || conformsToType == itemType) {
        return true;
    }
    const QStringList parents = parentTypes().value(type);
    return std::any_of(parents.cbegin(), parents.cend(),
                       [&](const QString& parent) { return typeConformsToType(parent, conformsToType); });
}

QIcon Workspace::iconForFile(const QString& path) {
    if (const auto bundle = Bundle::initWithPath(path); bundle && bundle->iconName()) {
        const QString& name = *bundle->iconName();
        QIcon icon = name.startsWith(QLatin1Char('/')) ? QIcon(name) : QIcon::fromTheme(name);
        if (!icon.isNull()) {
            return icon;
        }
    }
    static const QAbstractFileIconProvider provider;
    if (QIcon icon = provider.icon(QFileInfo(path)); !icon.isNull()) {
        return icon;
    }
    return imageForType(typeOfFile(path));
}

bool Workspace::openURL(const QUrl& url) {
    std::function<bool(const QUrl&)> opener;
    {
        QMutexLocker locker(&s_openerMutex);
        opener = s_opener;
    }
    return opener ? opener(url) : QDesktopServices::openUrl(url);
}

void Workspace::setUrlOpener(std::function<bool(const QUrl&)> opener) {
    QMutexLocker locker(&s_openerMutex);
    s_opener = std::move(opener);
}
