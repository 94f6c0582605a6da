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
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

QMutex s_standardMutex;
UserDefaults* s_standard = nullptr;
// Instances replaced by resetStandard() stay alive: callers may still hold references to them.
std::vector<UserDefaults*> s_retired;

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

bool isStringList(const QVariant& value) {
    if (value.typeId() == QMetaType::QStringList) {
        return true;
    }
    if (value.typeId() != QMetaType::QVariantList) {
        return false;
    }
    const QVariantList list = value.toList();
    return std::all_of(list.cbegin(), list.cend(),
                       [](const QVariant& element) { return element.typeId() == QMetaType::QString; });
}

} // namespace

UserDefaults::UserDefaults(QString filePath, QObject* parent)
    : QObject(parent)
    , m_filePath(std::move(filePath)) {
    load();
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
    QMutexLocker locker(&s_standardMutex);
    if (s_standard != nullptr) {
        s_retired.push_back(s_standard);
        s_standard = nullptr;
    }
}

void UserDefaults::registerDefaults(const QVariantMap& defaults) {
    QMutexLocker locker(&m_mutex);
    for (auto it = defaults.cbegin(); it != defaults.cend(); ++it) {
        m_registered.insert(it.key(), it.value());
    }
}

QVariant UserDefaults::objectForKey(const QString& key) const {
    QMutexLocker locker(&m_mutex);
    const auto stored = m_values.constFind(key);
    if (stored != m_values.cend()) {
        return *stored;
    }
    return m_registered.value(key);
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
    const QVariant value = objectForKey(key);
    if (!isStringList(value)) {
        return std::nullopt;
    }
    return value.toStringList();
}

void UserDefaults::setValue(const QVariant& value, const QString& key) {
    {
        QMutexLocker locker(&m_mutex);
        if (value.isValid()) {
            // Stored as JSON from here on, so what is read back is what a reload would give.
            m_values.insert(key, QJsonValue::fromVariant(value).toVariant());
        } else {
            m_values.remove(key);
        }
        write();
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
        m_values = document.object().toVariantMap();
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

bool UserDefaults::write() const {
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
    file.write(QJsonDocument(QJsonObject::fromVariantMap(m_values)).toJson(QJsonDocument::Indented));
    if (!file.commit()) {
        printError(QStringLiteral("quilvane: cannot write the settings file %1 (%2)")
                       .arg(m_filePath, file.errorString()));
        return false;
    }
    syncFolder(info.absolutePath());
    return true;
}
