// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QVariant>
#include <QVariantMap>
#include <memory>
#include <optional>

// An application package opened from disk. Two kinds exist: a bundle directory
// (`X.app/Contents/Info.plist`, read with libplist in XML or binary form, main executable in
// `Contents/MacOS/`) and a freedesktop desktop entry (`*.desktop`, `Type=Application`, read with GIO
// as the desktop reads it). A bundle answers for its main executable, its display name, its icon and
// the values of its information dictionary. Opening reads the package once; the object is immutable.
class Bundle final {
public:
    enum class Kind { directory, desktopEntry };

    // Whether a desktop entry whose program cannot be found opens. The desktop hides such an entry
    // and so does the panel that adds applications; a block stored earlier still needs its name.
    enum class Programs { required, mayBeMissing };

    // Opens the package at `path`; empty when nothing there is a package that can be read.
    static std::unique_ptr<const Bundle> initWithPath(const QString& path,
                                                      Programs programs = Programs::required);

    Kind kind() const { return m_kind; }
    const QString& bundlePath() const { return m_bundlePath; }
    // The main executable as an absolute path; absent when the package names none or it does not
    // exist. A desktop entry's program is the one its launchers start (DesktopExec): for a flatpak
    // or a snap, the path inside the sandbox or the bare program name.
    const std::optional<QString>& executablePath() const { return m_executablePath; }
    // The main executable's file name: that of executablePath() when it was found, else the name the
    // package gives it (CFBundleExecutable, the program word of Exec=), so that a package whose
    // program is missing for now still says what the program is called.
    const std::optional<QString>& executableName() const { return m_executableName; }
    // Directory: CFBundleDisplayName, else CFBundleName. Desktop entry: the localised Name=.
    std::optional<QString> displayName() const;
    // Directory: the icon file inside Contents/Resources. Desktop entry: the Icon= value, a theme
    // icon name or an absolute file path.
    const std::optional<QString>& iconName() const { return m_iconName; }
    // A value of the information dictionary (CFBundleShortVersionString, CFBundleName, ...), or an
    // invalid QVariant. A desktop entry answers CFBundleName and CFBundleDisplayName with its Name=.
    QVariant objectForInfoDictionaryKey(const QString& key) const;

    Bundle(Kind kind, QString bundlePath, QVariantMap info, std::optional<QString> executablePath,
           std::optional<QString> executableName, std::optional<QString> iconName);

private:
    static std::unique_ptr<const Bundle> openDirectory(const QString& path);
    static std::unique_ptr<const Bundle> openDesktopEntry(const QString& path, Programs programs);

    Kind m_kind;
    QString m_bundlePath;
    QVariantMap m_info;
    std::optional<QString> m_executablePath;
    std::optional<QString> m_executableName;
    std::optional<QString> m_iconName;
};
