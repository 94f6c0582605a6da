// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QHash>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

// A registry that makes controllers by their scene identifier ("firewallViewController", ...), the way
// a storyboard instantiates its scenes. Scenes are registered once at start-up (or by a test); every
// instantiate call makes a fresh controller and tells it which storyboard it came from, so that it can
// instantiate further scenes itself.
class Storyboard final {
public:
    using Factory = std::function<std::shared_ptr<QObject>()>;

    explicit Storyboard(QString name);

    // The application's "Main" storyboard.
    static Storyboard& main();

    const QString& name() const { return m_name; }

    void registerScene(const QString& identifier, Factory factory);
    bool hasScene(const QString& identifier) const { return m_factories.contains(identifier); }

    // A new controller for the scene, or nullptr when no such scene is registered.
    std::shared_ptr<QObject> instantiateControllerWithIdentifier(const QString& identifier);

    // The same, taken as T (nullptr when the scene makes something else).
    template <typename T> std::shared_ptr<T> instantiate(const QString& identifier) {
        return std::dynamic_pointer_cast<T>(instantiateControllerWithIdentifier(identifier));
    }

private:
    QString m_name;
    QHash<QString, Factory> m_factories;
};
