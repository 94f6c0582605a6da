// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QFileSystemWatcher>
#include <QHash>
#include <QJsonObject>
#include <QJsonValue>
#include <QMutex>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>
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
// the disk; changes that arrive while a write is running are coalesced into the next one. Every write
// also leaves the same bytes in a backup beside the file (<file>.bak), written the same way, so one
// damaged copy never costs the user their settings.
//
// A file that cannot be read, is not a JSON object, or holds a value of another type than the
// schema gives for a known key is damaged: it is moved aside (<file>.corrupt-<timestamp>), never
// overwritten, and the backup is used when it is sound. loadReport() says what happened, for the
// window to tell the user. synchronize() waits for the file to catch up; destruction and process
// exit (std::exit or a return from main) do so too. Thread-safe.
class UserDefaults final : public QObject {
    Q_OBJECT
public:
    enum class ValueType { boolean, string, stringArray };
    // The known keys and the type each must hold in the file.
    using Schema = QHash<QString, ValueType>;

    // How the file was found at load.
    enum class LoadState {
        fine,     // read as it was, or absent (a first start)
        restored, // damaged; the backup was sound and is used
        damaged,  // damaged, and no sound backup: the stored values are unknown
    };
    struct LoadReport {
        LoadState state = LoadState::fine;
        QString reason;      // why the file counts as damaged
        QString damagedCopy; // where it was moved; empty when it could not be moved
    };

    explicit UserDefaults(QString filePath, Schema schema = {}, QObject* parent = nullptr);
    ~UserDefaults() override;

    // The standard defaults, at $XDG_CONFIG_HOME/quilvane/defaults.json, checked against the schema
    // given here before the first standard() call.
    static UserDefaults& standard();
    static void setStandardSchema(Schema schema);
    // Tests only: the next standard() re-reads the environment and the file.
    static void resetStandard();

    void registerDefaults(const QVariantMap& defaults);

    QVariant objectForKey(const QString& key) const;
    bool boolForKey(const QString& key) const;
    // The value only when it is an array whose elements are all strings.
    std::optional<QStringList> arrayForKey(const QString& key) const;

    void setValue(const QVariant& value, const QString& key);
    void setBool(bool value, const QString& key);
    // Whether `key` was set or removed by this object since it loaded the file.
    bool wasChangedSinceLoad(const QString& key) const;

    // Holds every write back while it lives, so that the changes made meanwhile reach the file in one
    // atomic write or not at all (a kill in between leaves the file as it was before).
    class Batch final {
    public:
        explicit Batch(UserDefaults& defaults);
        ~Batch();
        Q_DISABLE_COPY_MOVE(Batch)

    private:
        UserDefaults& m_defaults;
    };

    // Waits until every change made so far is on disk; false when the last write failed.
    bool synchronize();

    // Follows the file when another program (quilvanectl, a second copy) replaces it: a sound file
    // that differs from what this object holds is taken over, and valueChanged and valueReloaded are
    // emitted for each key that changed. While a write of this object is pending, its own values
    // win, as they would on disk. A damaged file written by someone else is left alone.
    void watchFile();
    // The reading watchFile() does after a change; public for tests.
    void reloadFromFile();

    const QString& filePath() const { return m_filePath; }
    QString backupPath() const { return m_filePath + QStringLiteral(".bak"); }
    const LoadReport& loadReport() const { return m_loadReport; }

Q_SIGNALS:
    void valueChanged(const QString& key);
    // `key` changed because another program changed the file.
    void valueReloaded(const QString& key);

private:
    void load();
    void useDamagedFile(const QString& reason);
    bool write(const QJsonObject& values) const;
    void scheduleWrite(); // with m_mutex held
    void runWriter();
    QJsonValue valueForKey(const QString& key) const;

    QString m_filePath;
    mutable QMutex m_mutex;
    // Kept as JSON so that a save serialises without converting every value again.
    QJsonObject m_values;
    QVariantMap m_registered;
    Schema m_schema;
    LoadReport m_loadReport;
    QSet<QString> m_changedKeys;
    int m_batchDepth = 0;
    bool m_readOnly = false; // the file could not be read or moved aside: never write over it

    // The writer thread, started by the first change.
    std::thread m_writer;
    QWaitCondition m_changed;
    QWaitCondition m_written;
    quint64 m_changeCount = 0;
    quint64 m_writtenCount = 0;
    bool m_lastWriteSucceeded = true;
    bool m_stopping = false;
    QFileSystemWatcher* m_watcher = nullptr;
    QTimer* m_reloadTimer = nullptr;
};
