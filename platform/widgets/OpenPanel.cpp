// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/widgets/OpenPanel.h"

#include "platform/widgets/OpenPanelDialog.h"

#include <QApplication>

namespace {

OpenPanel::Answer& nextAnswer() {
    static OpenPanel::Answer answer;
    return answer;
}

} // namespace

OpenPanel::OpenPanel() = default;

int OpenPanel::runModal() {
    m_urls.clear();
    if (Answer answer = std::exchange(nextAnswer(), {})) {
        const std::optional<QList<QUrl>> chosen = answer(*this);
        if (!chosen) {
            return cancel;
        }
        m_urls = *chosen;
        return ok;
    }

    OpenPanelDialog dialog(m_allowedFileTypes, QApplication::activeWindow());
    if (!m_title.isEmpty()) {
        dialog.setWindowTitle(m_title);
    }
    if (!m_typeDescription.isEmpty()) {
        dialog.setTypeDescription(m_typeDescription);
    }
    dialog.setFileMode(m_allowsMultipleSelection ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
    if (m_directoryURL.isLocalFile()) {
        dialog.setDirectory(m_directoryURL.toLocalFile());
    }
    if (dialog.exec() != QDialog::Accepted) {
        return cancel;
    }
    m_urls = dialog.chosenUrls();
    return ok;
}

void OpenPanel::setNextAnswer(Answer answer) {
    nextAnswer() = std::move(answer);
}
