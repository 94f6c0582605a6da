// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/UserDefaults.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutexLocker>
#include <QSaveFile>
#include <QStandardPaths>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

QMutex s_standardMutex;
UserDefaults* s_standard = nullptr;
UserDefaults::Schema* const s_standardSchema = new UserDefaults::Schema; // never freed: read at exit
// Instances replaced by resetStandard() stay alive: callers may still hold references to them.
std::vector<UserDefaults*>* const s_retired = new std::vector<UserDefaults*>; // never freed either

void printError(const QString& message) {
    const QByteArray line = message.toLocal8Bit() + '\n';
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
    std::fflush(stderr);
}

// A rename is durable only once the folder that holds the new name has reached the disk too.
void syncFolder(const QString& folderPath) {
    const int fd = ::open(QFile::encodeName(folderPath).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

QString corruptCopyPath(const QString& filePath) {
    const QString stamp =
        QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss.zzz'Z'"));
    QString candidate = filePath + QStringLiteral(".corrupt-") + stamp;
    for (int n = 1; QFileInfo::exists(candidate); ++n) {
        candidate = filePath + QStringLiteral(".corrupt-") + stamp + QLatin1Char('-') + QString::number(n);
    }
    return candidate;
}

std::optional<QStringList> stringList(const QJsonValue& value) {
    if (!value.isArray()) {
        return std::nullopt;
    }
    const QJsonArray array = value.toArray();
    QStringList list;
    list.reserve(array.size());
    for (const QJsonValue& element : array) {
        if (!element.isString()) {
            return std::nullopt;
        }
        list.append(element.toString());
    }
    return list;
}

bool hasType(const QJsonValue& value, UserDefaults::ValueType type) {
    switch (type) {
    case UserDefaults::ValueType::boolean:
        return value.isBool();
    case UserDefaults::ValueType::string:
        return value.isString();
    case UserDefaults::ValueType::stringArray:
        return stringList(value).has_value();
    }
    return false;
}

// What one settings file holds: its values, or why they cannot be used.
struct FileContents {
    bool exists = false;
    QJsonObject values;
    QString problem; // empty when the values are sound
};

FileContents readSettingsFile(const QString& path, const UserDefaults::Schema& schema) {
    FileContents contents;
    QFile file(path);
    contents.exists = file.exists();
    if (!contents.exists) {
        return contents;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        contents.problem = QStringLiteral("it cannot be read: ") + file.errorString();
        return contents;
    }
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError) {
        contents.problem = QStringLiteral("it is not valid JSON: ") + error.errorString() +
                           QStringLiteral(" at offset ") + QString::number(error.offset);
        return contents;
    }
    if (!document.isObject()) {
        contents.problem = QStringLiteral("it is not a JSON object");
        return contents;
    }
    contents.values = document.object();
    for (auto it = schema.cbegin(); it != schema.cend(); ++it) {
        const auto found = contents.values.constFind(it.key());
        if (found != contents.values.constEnd() && !hasType(*found, it.value())) {
            contents.problem = QStringLiteral("the value of \"%1\" has the wrong type").arg(it.key());
            contents.values = QJsonObject();
            return contents;
        }
    }
    return contents;
}

// Writes `bytes` to `path` so that a reader sees either the old file or the new one, whole.
bool writeAtomically(const QString& path, const QByteArray& bytes) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        printError(
            QStringLiteral("quilvane: cannot write the settings file %1 (%2)").arg(path, file.errorString()));
        return false;
    }
    file.write(bytes);
    if (!file.commit()) {
        printError(
            QStringLiteral("quilvane: cannot write the settings file %1 (%2)").arg(path, file.errorString()));
        return false;
    }
    return true;
}

// A return from main or std::exit must not lose a change the writer thread has not written yet.
void synchronizeStandardAtExit() {
    UserDefaults* standard = nullptr;
    {
        QMutexLocker locker(&s_standardMutex);
        standard = s_standard;
    }
    if (standard != nullptr) {
        standard->synchronize();
    }
}

} // namespace

UserDefaults::UserDefaults(QString filePath, Schema schema, QObject* parent)
    : QObject(parent)
    , m_filePath(std::move(filePath))
    , m_schema(std::move(schema)) {
    load();
}

UserDefaults::Batch::Batch(UserDefaults& defaults)
    : m_defaults(defaults) {
    QMutexLocker locker(&m_defaults.m_mutex);
    ++m_defaults.m_batchDepth;
}

UserDefaults::Batch::~Batch() {
    QMutexLocker locker(&m_defaults.m_mutex);
    if (--m_defaults.m_batchDepth == 0 && m_defaults.m_writtenCount < m_defaults.m_changeCount) {
        m_defaults.m_changed.wakeAll();
    }
}

UserDefaults::~UserDefaults() {
    {
        QMutexLocker locker(&m_mutex);
        m_stopping = true;
        m_changed.wakeAll();
    }
    if (m_writer.joinable()) {
        m_writer.join(); // writes what is still pending first
    }
}

bool UserDefaults::synchronize() {
    QMutexLocker locker(&m_mutex);
    // Within a batch the changes are not due yet; waiting for them would never end.
    while (m_batchDepth == 0 && m_writtenCount < m_changeCount) {
        m_written.wait(&m_mutex);
    }
    return m_lastWriteSucceeded;
}

void UserDefaults::scheduleWrite() {
    ++m_changeCount;
    if (!m_writer.joinable()) {
        m_writer = std::thread([this] { runWriter(); });
    }
    if (m_batchDepth == 0) {
        m_changed.wakeAll();
    }
}

void UserDefaults::runWriter() {
    QMutexLocker locker(&m_mutex);
    for (;;) {
        while (!m_stopping && (m_writtenCount == m_changeCount || m_batchDepth > 0)) {
            m_changed.wait(&m_mutex);
        }
        if (m_writtenCount == m_changeCount) {
            return; // stopping, nothing pending
        }
        const quint64 target = m_changeCount;
        const QJsonObject snapshot = m_values; // shared, not copied: later changes detach
        locker.unlock();
        const bool succeeded = write(snapshot);
        locker.relock();
        m_writtenCount = target;
        m_lastWriteSucceeded = succeeded;
        m_written.wakeAll();
    }
}

UserDefaults& UserDefaults::standard() {
    QMutexLocker locker(&s_standardMutex);
    if (s_standard == nullptr) {
        static const bool flushAtExit = std::atexit(synchronizeStandardAtExit) == 0;
        Q_UNUSED(flushAtExit);
        const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
        s_standard = new UserDefaults(folder + QStringLiteral("/quilvane/defaults.json"), *s_standardSchema);
    }
    return *s_standard;
}

void UserDefaults::setStandardSchema(Schema schema) {
    QMutexLocker locker(&s_standardMutex);
    *s_standardSchema = std::move(schema);
}

void UserDefaults::resetStandard() {
    UserDefaults* retired = nullptr;
    {
        QMutexLocker locker(&s_standardMutex);
        std::swap(retired, s_standard);
        if (retired != nullptr) {
            s_retired->push_back(retired);
        }
    }
    // The next instance reads the file: it must see every change of this one.
    if (retired != nullptr) {
        retired->synchronize();
    }
}

void UserDefaults::registerDefaults(const QVariantMap& defaults) {
    QMutexLocker locker(&m_mutex);
    for (auto it = defaults.cbegin(); it != defaults.cend(); ++it) {
        m_registered.insert(it.key(), it.value());
    }
}

QJsonValue UserDefaults::valueForKey(const QString& key) const {
    QMutexLocker locker(&m_mutex);
    const auto stored = m_values.constFind(key);
    if (stored != m_values.constEnd()) {
        return *stored;
    }
    const auto registered = m_registered.constFind(key);
    if (registered != m_registered.cend()) {
        return QJsonValue::fromVariant(*registered);
    }
    return QJsonValue::Undefined;
}

QVariant UserDefaults::objectForKey(const QString& key) const {
    const QJsonValue value = valueForKey(key);
    return value.isUndefined() ? QVariant() : value.toVariant();
}

bool UserDefaults::boolForKey(const QString& key) const {
    const QVariant value = objectForKey(key);
    switch (value.typeId()) {
    case QMetaType::Bool:
        return value.toBool();
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::Double:
        return value.toDouble() != 0.0;
    case QMetaType::QString: {
        const QString text = value.toString().trimmed();
        if (text.compare(QLatin1String("yes"), Qt::CaseInsensitive) == 0 ||
            text.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0) {
            return true;
        }
        return text.toLongLong() != 0;
    }
    default:
        return false;
    }
}

std::optional<QStringList> UserDefaults::arrayForKey(const QString& key) const {
    return stringList(valueForKey(key));
}

void UserDefaults::setValue(const QVariant& value, const QString& key) {
    {
        QMutexLocker locker(&m_mutex);
        if (value.isValid()) {
            // Stored as JSON from here on, so what is read back is what a reload would give.
            m_values.insert(key, QJsonValue::fromVariant(value));
        } else {
            m_values.remove(key);
        }
        m_changedKeys.insert(key);
        scheduleWrite();
    }
    Q_EMIT valueChanged(key);
}

void UserDefaults::setBool(bool value, const QString& key) {
    setValue(QVariant(value), key);
}

bool UserDefaults::wasChangedSinceLoad(const QString& key) const {
    QMutexLocker locker(&m_mutex);
    return m_changedKeys.contains(key);
}

void UserDefaults::watchFile() {
    if (m_watcher != nullptr) {
        return;
    }
    const QString folder = QFileInfo(m_filePath).absolutePath();
    QDir().mkpath(folder);
    m_watcher = new QFileSystemWatcher(this);
    m_reloadTimer = new QTimer(this);
    m_reloadTimer->setSingleShot(true);
    // A writer renames a whole new file into place; one reading once it has settled.
    m_reloadTimer->setInterval(100);
    connect(m_reloadTimer, &QTimer::timeout, this, &UserDefaults::reloadFromFile);
    // The folder too: an atomic replace is a new file, which a watch on the old one misses.
    m_watcher->addPath(folder);
    const auto changed = [this] {
        if (QFile::exists(m_filePath) && !m_watcher->files().contains(m_filePath)) {
            m_watcher->addPath(m_filePath);
        }
        m_reloadTimer->start();
    };
    connect(m_watcher, &QFileSystemWatcher::directoryChanged, this, changed);
    connect(m_watcher, &QFileSystemWatcher::fileChanged, this, changed);
    changed();
    m_reloadTimer->stop();
}

void UserDefaults::reloadFromFile() {
    const FileContents file = readSettingsFile(m_filePath, m_schema);
    if (!file.exists || !file.problem.isEmpty()) {
        return;
    }
    QStringList changed;
    {
        QMutexLocker locker(&m_mutex);
        if (m_readOnly || m_changeCount != m_writtenCount || file.values == m_values) {
            return;
        }
        QStringList keys = m_values.keys() + file.values.keys();
        keys.removeDuplicates();
        for (const QString& key : keys) {
            if (m_values.value(key) != file.values.value(key)) {
                changed.append(key);
            }
        }
        m_values = file.values;
    }
    for (const QString& key : changed) {
        Q_EMIT valueChanged(key);
        Q_EMIT valueReloaded(key);
    }
}

void UserDefaults::load() {
    const FileContents file = readSettingsFile(m_filePath, m_schema);
    if (!file.exists) {
        return; // a first start: the defaults answer
    }
    if (file.problem.isEmpty()) {
        m_values = file.values;
        return;
    }
    useDamagedFile(file.problem);
}

// Keeps the damaged file for the user and never writes over it; the backup stands in when sound.
void UserDefaults::useDamagedFile(const QString& reason) {
    m_loadReport.reason = reason;
    const FileContents backup = readSettingsFile(backupPath(), m_schema);
    const bool backupSound = backup.exists && backup.problem.isEmpty();
    m_loadReport.state = backupSound ? LoadState::restored : LoadState::damaged;

    const QString copy = corruptCopyPath(m_filePath);
    if (QFile::rename(m_filePath, copy)) {
        syncFolder(QFileInfo(m_filePath).absolutePath());
        m_loadReport.damagedCopy = copy;
    } else {
        m_readOnly = true;
    }
    if (backupSound) {
        m_values = backup.values;
        if (!m_readOnly) {
            QMutexLocker locker(&m_mutex);
            scheduleWrite(); // the file is whole again at once, not only at the next change
        }
    }
    const QString outcome = backupSound ? QStringLiteral("the backup %1 is used").arg(backupPath())
                                        : QStringLiteral("there is no sound backup; the defaults are used");
    const QString moved = m_readOnly
                              ? QStringLiteral("it could not be moved aside, so changes will not be saved")
                              : QStringLiteral("it was moved to ") + copy;
    printError(QStringLiteral("quilvane: the settings file %1 is damaged (%2); %3; %4")
                   .arg(m_filePath, reason, moved, outcome));
}

bool UserDefaults::write(const QJsonObject& values) const {
    if (m_readOnly) {
        return false;
    }
    const QFileInfo info(m_filePath);
    if (!QDir().mkpath(info.absolutePath())) {
        printError(QStringLiteral("quilvane: cannot create the folder %1").arg(info.absolutePath()));
        return false;
    }
    const QByteArray bytes = QJsonDocument(values).toJson(QJsonDocument::Indented);
    if (!writeAtomically(m_filePath, bytes)) {
        return false;
    }
    // The backup only ever receives what the file itself took, so it is always a sound copy.
    writeAtomically(backupPath(), bytes);
    syncFolder(info.absolutePath());
    return true;
}
