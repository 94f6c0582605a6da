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

} // namespace

UserDefaults::UserDefaults(QString filePath, QObject* parent)
    : QObject(parent)
    , m_filePath(std::move(filePath)) {
    load();
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
    while (m_writtenCount < m_changeCount) {
        m_written.wait(&m_mutex);
    }
    return m_lastWriteSucceeded;
}

void UserDefaults::scheduleWrite() {
    ++m_changeCount;
    if (!m_writer.joinable()) {
        m_writer = std::thread([this] { runWriter(); });
    }
    m_changed.wakeAll();
}

void UserDefaults::runWriter() {
    QMutexLocker locker(&m_mutex);
    for (;;) {
        while (!m_stopping && m_writtenCount == m_changeCount) {
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
        const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
        s_standard = new UserDefaults(folder + QStringLiteral("/quilvane/defaults.json"));
    }
    return *s_standard;
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
        scheduleWrite();
    }
    Q_EMIT valueChanged(key);
}

void UserDefaults::setBool(bool value, const QString& key) {
    setValue(QVariant(value), key);
}

void UserDefaults::load() {
    QFile file(m_filePath);
    if (!file.exists()) {
        return;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        printError(QStringLiteral("quilvane: cannot read the settings file %1 (%2); using the defaults")
                       .arg(m_filePath, file.errorString()));
        m_readOnly = true;
        return;
    }
    const QByteArray contents = file.readAll();
    file.close();

    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(contents, &error);
    if (error.error == QJsonParseError::NoError && document.isObject()) {
        m_values = document.object();
        return;
    }

    // Keep the bad file for the user and start afresh; never write over what we could not read.
    const QString reason =
        error.error != QJsonParseError::NoError
            ? error.errorString() + QStringLiteral(" at offset ") + QString::number(error.offset)
            : QStringLiteral("not a JSON object");
    const QString copy = corruptCopyPath(m_filePath);
    if (QFile::rename(m_filePath, copy)) {
        syncFolder(QFileInfo(m_filePath).absolutePath());
        printError(
            QStringLiteral("quilvane: the settings file %1 is damaged (%2); it was moved to %3 and the "
                           "defaults are used")
                .arg(m_filePath, reason, copy));
    } else {
        m_readOnly = true;
        printError(
            QStringLiteral("quilvane: the settings file %1 is damaged (%2) and could not be moved aside; "
                           "the defaults are used and changes will not be saved")
                .arg(m_filePath, reason));
    }
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
    QSaveFile file(m_filePath);
    if (!file.open(QIODevice::WriteOnly)) {
        printError(QStringLiteral("quilvane: cannot write the settings file %1 (%2)")
                       .arg(m_filePath, file.errorString()));
        return false;
    }
    file.write(QJsonDocument(values).toJson(QJsonDocument::Indented));
    if (!file.commit()) {
        printError(QStringLiteral("quilvane: cannot write the settings file %1 (%2)")
                       .arg(m_filePath, file.errorString()));
        return false;
    }
    syncFolder(info.absolutePath());
    return true;
}
