// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Bundle.h"

#include "platform/BoundedFile.h"
#include "platform/DesktopExec.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstdlib>
#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>
#include <plist/plist.h>

namespace {

struct PlistDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

struct GObjectDeleter {
    void operator()(gpointer object) const { g_object_unref(object); }
};
struct GKeyFileDeleter {
    void operator()(GKeyFile* file) const { g_key_file_unref(file); }
};
struct GFreeDeleter {
    void operator()(gpointer memory) const { g_free(memory); }
};
using GCharPtr = std::unique_ptr<gchar, GFreeDeleter>;

QVariant plistValue(plist_t node) {
    switch (plist_get_node_type(node)) {
    case PLIST_STRING: {
        char* text = nullptr;
        plist_get_string_val(node, &text);
        const QString value = QString::fromUtf8(text);
        std::free(text);
        return value;
    }
    case PLIST_BOOLEAN: {
        uint8_t flag = 0;
        plist_get_bool_val(node, &flag);
        return flag != 0;
    }
    case PLIST_UINT: {
        uint64_t number = 0;
        plist_get_uint_val(node, &number);
        return static_cast<qulonglong>(number);
    }
    case PLIST_REAL: {
        double number = 0;
        plist_get_real_val(node, &number);
        return number;
    }
    default:
        return {}; // arrays, dictionaries and data are not asked for
    }
}

std::optional<QVariantMap> readInfoPlist(const QString& path) {
    const std::optional<QByteArray> bytes = BoundedFile::read(path);
    if (!bytes) {
        return std::nullopt;
    }
    plist_t raw = nullptr;
    plist_from_memory(bytes->constData(), static_cast<uint32_t>(bytes->size()), &raw);
    const PlistPtr root(raw);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) {
        return std::nullopt;
    }
    QVariantMap info;
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(root.get(), &it);
    for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(root.get(), it, &key, &value);
        if (key == nullptr) {
            break;
        }
        const QVariant converted = plistValue(value);
        if (converted.isValid()) {
            info.insert(QString::fromUtf8(key), converted);
        }
        std::free(key);
    }
    std::free(it);
    return info;
}

// A [Desktop Entry] value, or an empty text.
QString entryValue(GKeyFile* keys, const char* key, bool localised = false) {
    const GCharPtr value(
        localised ? g_key_file_get_locale_string(keys, G_KEY_FILE_DESKTOP_GROUP, key, nullptr, nullptr)
                  : g_key_file_get_string(keys, G_KEY_FILE_DESKTOP_GROUP, key, nullptr));
    return value ? QString::fromUtf8(value.get()) : QString();
}

// Exec= split the way the desktop unquotes it (GIO's own executable name is only the text up to the
// first space, which breaks quoted paths).
QStringList execWords(GKeyFile* keys) {
    const GCharPtr exec(
        g_key_file_get_string(keys, G_KEY_FILE_DESKTOP_GROUP, G_KEY_FILE_DESKTOP_KEY_EXEC, nullptr));
    gint argc = 0;
    gchar** argv = nullptr;
    if (!exec || !g_shell_parse_argv(exec.get(), &argc, &argv, nullptr)) {
        return {};
    }
    QStringList words;
    for (gint i = 0; i < argc; ++i) {
        words.append(QFile::decodeName(argv[i]));
    }
    g_strfreev(argv);
    return words;
}

QVariantMap namedInfo(const QString& name) {
    if (name.isEmpty()) {
        return {};
    }
    return {{QStringLiteral("CFBundleName"), name}, {QStringLiteral("CFBundleDisplayName"), name}};
}

std::optional<QString> fileNameOf(const std::optional<QString>& path) {
    return path ? std::optional<QString>(QFileInfo(*path).fileName()) : std::nullopt;
}

// An entry GIO accepts: its name and icon as the desktop shows them, its program as it runs.
std::unique_ptr<const Bundle> openApplication(const QString& path, GDesktopAppInfo* app,
                                              const QStringList& words, const QString& snapInstanceName) {
    GAppInfo* appInfo = G_APP_INFO(app);
    const char* name = g_app_info_get_name(appInfo);
    QVariantMap info = namedInfo(name != nullptr ? QString::fromUtf8(name) : QString());

    std::optional<QString> iconName;
    if (GIcon* icon = g_app_info_get_icon(appInfo); icon != nullptr) {
        const GCharPtr text(g_icon_to_string(icon));
        if (text && *text.get() != '\0') {
            iconName = QString::fromUtf8(text.get());
        }
    }

    std::optional<QString> program = DesktopExec::program(words, snapInstanceName);
    std::optional<QString> programName = program ? fileNameOf(program) : DesktopExec::programName(words);
    return std::make_unique<const Bundle>(Bundle::Kind::desktopEntry, path, std::move(info),
                                          std::move(program), std::move(programName), std::move(iconName));
}

} // namespace

Bundle::Bundle(Kind kind, QString bundlePath, QVariantMap info, std::optional<QString> executablePath,
               std::optional<QString> executableName, std::optional<QString> iconName)
    : m_kind(kind)
    , m_bundlePath(std::move(bundlePath))
    , m_info(std::move(info))
    , m_executablePath(std::move(executablePath))
    , m_executableName(std::move(executableName))
    , m_iconName(std::move(iconName)) {}

std::unique_ptr<const Bundle> Bundle::initWithPath(const QString& path, Programs programs) {
    const QFileInfo info(path);
    if (info.isDir()) {
        return openDirectory(path);
    }
    if (info.isFile() && path.endsWith(QLatin1String(".desktop"))) {
        return openDesktopEntry(path, programs);
    }
    return nullptr;
}

std::unique_ptr<const Bundle> Bundle::openDirectory(const QString& path) {
    const QDir contents(path + QStringLiteral("/Contents"));
    // A folder without an information dictionary still opens, like any bundle: it just has no
    // executable. A dictionary that cannot be parsed makes the bundle unreadable.
    QVariantMap info;
    const QString plistPath = contents.filePath(QStringLiteral("Info.plist"));
    if (QFileInfo::exists(plistPath)) {
        const std::optional<QVariantMap> parsed = readInfoPlist(plistPath);
        if (!parsed) {
            return nullptr;
        }
        info = *parsed;
    }

    std::optional<QString> executablePath;
    std::optional<QString> executableName;
    const QString executable = info.value(QStringLiteral("CFBundleExecutable")).toString();
    if (!executable.isEmpty() && !executable.contains(QLatin1Char('/'))) {
        executableName = executable;
        const QString candidate = contents.filePath(QStringLiteral("MacOS/") + executable);
        if (QFileInfo(candidate).isFile()) {
            executablePath = candidate;
        }
    }

    std::optional<QString> iconName;
    const QString iconFile = info.value(QStringLiteral("CFBundleIconFile")).toString();
    if (!iconFile.isEmpty() && !iconFile.contains(QLatin1Char('/'))) {
        const QString resources = contents.filePath(QStringLiteral("Resources/"));
        for (const QString& candidate : QStringList{iconFile, iconFile + QStringLiteral(".png")}) {
            if (QFileInfo(resources + candidate).isFile()) {
                iconName = resources + candidate;
                break;
            }
        }
    }
    return std::make_unique<const Bundle>(Kind::directory, path, std::move(info), std::move(executablePath),
                                          std::move(executableName), std::move(iconName));
}

std::unique_ptr<const Bundle> Bundle::openDesktopEntry(const QString& path, Programs programs) {
    // Read by us rather than by GIO, which would wait on a FIFO put there after the type check.
    const std::optional<QByteArray> bytes = BoundedFile::read(path);
    if (!bytes) {
        return nullptr;
    }
    const std::unique_ptr<GKeyFile, GKeyFileDeleter> keys(g_key_file_new());
    if (!g_key_file_load_from_data(keys.get(), bytes->constData(), static_cast<gsize>(bytes->size()),
                                   G_KEY_FILE_NONE, nullptr)) {
        return nullptr;
    }
    const QStringList words = execWords(keys.get());
    // GIO refuses entries that are not Type=Application, whose TryExec= or Exec= program is missing
    // or whose Exec= does not parse; those are no application packages.
    const std::unique_ptr<GDesktopAppInfo, GObjectDeleter> app(
        g_desktop_app_info_new_from_keyfile(keys.get()));
    if (app) {
        return openApplication(path, app.get(), words, entryValue(keys.get(), "X-SnapInstanceName"));
    }
    if (programs == Programs::required || entryValue(keys.get(), G_KEY_FILE_DESKTOP_KEY_TYPE) !=
                                              QLatin1String(G_KEY_FILE_DESKTOP_TYPE_APPLICATION)) {
        return nullptr;
    }
    const QString icon = entryValue(keys.get(), G_KEY_FILE_DESKTOP_KEY_ICON);
    return std::make_unique<const Bundle>(
        Kind::desktopEntry, path, namedInfo(entryValue(keys.get(), G_KEY_FILE_DESKTOP_KEY_NAME, true)),
        std::nullopt, DesktopExec::programName(words),
        icon.isEmpty() ? std::nullopt : std::optional<QString>(icon));
}

std::optional<QString> Bundle::displayName() const {
    for (const char* key : {"CFBundleDisplayName", "CFBundleName"}) {
        const QString name = m_info.value(QLatin1String(key)).toString();
        if (!name.isEmpty()) {
            return name;
        }
    }
    return std::nullopt;
}

QVariant Bundle::objectForInfoDictionaryKey(const QString& key) const {
    return m_info.value(key);
}
