// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QTemporaryDir>
#include <QtGlobal>

// For programs that run the real panes outside the test runner (load tools, screenshots): the
// offscreen platform unless the caller chose another, and a temporary folder that serves both as
// the settings folder and as a control folder without a filter in it, so that a run neither touches
// the user's settings nor reaches a filter service on the machine. Make it before the QApplication
// and keep it for the whole run.
class ScratchHome final {
public:
    ScratchHome() {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
            qputenv("QT_QPA_PLATFORM", "offscreen");
        }
        qputenv("XDG_CONFIG_HOME", m_folder.path().toUtf8());
        qputenv("QUILVANE_CONTROL_DIR", m_folder.path().toUtf8());
    }

    QString path() const { return m_folder.path(); }

private:
    QTemporaryDir m_folder;
};
