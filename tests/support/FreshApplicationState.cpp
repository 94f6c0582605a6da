// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/FreshApplicationState.h"

#include "kernel/KextClient.h"
#include "model/Blacklist.h"
#include "model/ListEnforcement.h"
#include "platform/UserDefaults.h"

#include <QFile>

namespace {

constexpr const char* kControlDirVariable = "QUILVANE_CONTROL_DIR";

} // namespace

FreshApplicationState::FreshApplicationState(const QString& folder,
                                             const std::function<void(UserDefaults&)>& registerDefaults)
    : m_controlDirectory(folder + QStringLiteral("/no-filter"))
    , m_hadControlDirectory(qEnvironmentVariableIsSet(kControlDirVariable))
    , m_previousControlDirectory(qgetenv(kControlDirVariable)) {
    qputenv(kControlDirVariable, m_controlDirectory.toUtf8());
    KextClient::resetShared();
    UserDefaults::standard().synchronize();
    QFile::remove(UserDefaults::standard().filePath());
    UserDefaults::resetStandard();
    if (registerDefaults) {
        registerDefaults(UserDefaults::standard());
    }
    Blacklist::resetShared();
    ListEnforcement::shared().reset();
}

FreshApplicationState::~FreshApplicationState() {
    KextClient::resetShared();
    if (m_hadControlDirectory) {
        qputenv(kControlDirVariable, m_previousControlDirectory);
    } else {
        qunsetenv(kControlDirVariable);
    }
}
