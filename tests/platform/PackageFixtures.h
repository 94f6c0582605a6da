// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDir>
#include <QFile>
#include <QString>
#include <optional>

// Builders for application packages and programs in a temporary folder, shared by the platform
// and model tests. Every program is a copy of a real binary so that it can be run.
namespace PackageFixtures {

inline const char* const realProgram = "/bin/sleep";

// Copies /bin/sleep to `path` (execute bits kept); true on success.
inline bool copyProgram(const QString& path) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    return QFile::copy(QString::fromLatin1(realProgram), path);
}

inline bool writeFile(const QString& path, const QByteArray& contents, bool executable = false) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(contents) != contents.size()) {
        return false;
    }
    file.close();
    if (executable) {
        return file.setPermissions(file.permissions() | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
    }
    return true;
}

inline QByteArray infoPlist(const std::optional<QString>& executable, const QString& extraXml = {}) {
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                     "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                     "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                     "<plist version=\"1.0\"><dict>\n";
    if (executable) {
        xml += "<key>CFBundleExecutable</key><string>" + executable->toUtf8() + "</string>\n";
    }
    xml += extraXml.toUtf8();
    xml += "</dict></plist>\n";
    return xml;
}

// <folder>/<name>.app with Contents/Info.plist naming `executable` and, when `withProgram`, the
// program itself in Contents/MacOS. Returns the bundle path.
inline QString makeBundle(const QString& folder, const QString& name,
                          const std::optional<QString>& executable, bool withProgram = true,
                          const QString& extraXml = {}) {
    const QString bundle = folder + QLatin1Char('/') + name + QStringLiteral(".app");
    QDir().mkpath(bundle + QStringLiteral("/Contents/MacOS"));
    writeFile(bundle + QStringLiteral("/Contents/Info.plist"), infoPlist(executable, extraXml));
    if (executable && withProgram) {
        copyProgram(bundle + QStringLiteral("/Contents/MacOS/") + *executable);
    }
    return bundle;
}

inline QString makeDesktopEntry(const QString& path, const QByteArray& body) {
    writeFile(path, "[Desktop Entry]\n" + body);
    return path;
}

} // namespace PackageFixtures
