// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/widgets/Storyboard.h"

#include "platform/widgets/ViewController.h"
#include "platform/widgets/WindowController.h"

Storyboard::Storyboard(QString name)
    : m_name(std::move(name)) {}

Storyboard& Storyboard::main() {
    static Storyboard storyboard(QStringLiteral("Main"));
    return storyboard;
}

void Storyboard::registerScene(const QString& identifier, Factory factory) {
    m_factories.insert(identifier, std::move(factory));
}

std::shared_ptr<QObject> Storyboard::instantiateControllerWithIdentifier(const QString& identifier) {
    const auto found = m_factories.constFind(identifier);
    if (found == m_factories.constEnd() || !*found) {
        return nullptr;
    }
    std::shared_ptr<QObject> controller = (*found)();
    if (auto* viewController = qobject_cast<ViewController*>(controller.get())) {
        viewController->setStoryboard(this);
    } else if (auto* windowController = qobject_cast<WindowController*>(controller.get())) {
        windowController->setStoryboard(this);
    }
    return controller;
}
