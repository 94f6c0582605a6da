#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>
#include <QWaitCondition>
#include <optional>
#include <thread>

// A typed key-value store kept as one JSON object in a file (the standard one lives at
// $XDG_CONFIG_HOME/quilvane/defaults.json), with an in-memory registration domain that answers for
// keys the file does not hold. Values are booleans, strings and arrays of strings. A change is
// visible at once and is written by a writer thread of this object straight away, atomically
// (QSaveFile) and durably (file and folder synced), so callers on the main thread never wait for
// the disk; changes that arrive while a write is running are coalesced into the next one.
// synchronize() waits for the file to catch up; destruction and process exit do so too. A file that
// is not a JSON object is moved aside (defaults.json.corrupt-<timestamp>) and never overwritten.
// Thread-safe.
class UserDefaults final : public QObject {
    Q_OBJECT
public:
    explicit UserDefaults(QString filePath, QObject* parent = nullptr);
    ~UserDefaults() override;

    // The standard defaults, at $XDG_CONFIG_HOME/quilvane/defaults.json.
    static UserDefaults& standard();
    // Tests only: the next standard() re-reads the environment and the file.
    static void resetStandard();

    void registerDefaults(const QVariantMap& defaults);

    QVariant objectForKey(const QString& key) const;
    bool boolForKey(const QString& key) const;
    // The value only when it is an array whose elements are all strings.
    std::optional<QStringList> arrayForKey(const QString& key) const;

    void setValue(const QVariant& value, const QString& key);
    void setBool(bool value, const QString& key);

    // Waits until every change made so far is on disk; false when the last write failed.
    bool synchronize();

    const QString& filePath() const { return m_filePath; }

Q_SIGNALS:
    void valueChanged(const QString& key);

private:
    void load();
    bool write(const QJsonObject& values) const;
    void scheduleWrite(); // with m_mutex held
    void runWriter();
    QJsonValue valueForKey(const QString& key) const;

    QString m_filePath;
    mutable QMutex m_mutex;
    // Kept as JSON so that a save serialises without converting every value again.
    QJsonObject m_values;
    QVariantMap m_registered;
    bool m_readOnly = false; // the file could not be read or moved aside: never write over it

    // The writer thread, started by the first change.
    std::thread m_writer;
    QWaitCondition m_changed;
    QWaitCondition m_written;
    quint64 m_changeCount = 0;
    quint64 m_writtenCount = 0;
    bool m_lastWriteSucceeded = true;
    bool m_stopping = false;
};
