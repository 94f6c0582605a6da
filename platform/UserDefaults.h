#pragma once

#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>
#include <optional>

// A typed key-value store kept as one JSON object in a file (the standard one lives at
// $XDG_CONFIG_HOME/quilvane/defaults.json), with an in-memory registration domain that answers for
// keys the file does not hold. Values are booleans, strings and arrays of strings. Every change is
// written at once, atomically. A file that is not a JSON object is moved aside
// (defaults.json.corrupt-<timestamp>) and never overwritten. Thread-safe.
class UserDefaults final : public QObject {
    Q_OBJECT
public:
    explicit UserDefaults(QString filePath, QObject* parent = nullptr);

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

    const QString& filePath() const { return m_filePath; }

Q_SIGNALS:
    void valueChanged(const QString& key);

private:
    void load();
    bool write() const;

    QString m_filePath;
    mutable QMutex m_mutex;
    QVariantMap m_values;
    QVariantMap m_registered;
    bool m_readOnly = false; // the file could not be read or moved aside: never write over it
};
