// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/widgets/OpenPanelDialog.h"

#include "platform/widgets/OpenPanelTypeFilter.h"

#include <QDir>
#include <QFileInfo>

OpenPanelDialog::OpenPanelDialog(const QStringList& allowedTypes, QWidget* parent)
    : QFileDialog(parent)
    , m_typeFilter(new OpenPanelTypeFilter(allowedTypes, this)) {
    setOption(QFileDialog::DontUseNativeDialog);
    setFileMode(QFileDialog::ExistingFiles);
    setAcceptMode(QFileDialog::AcceptOpen);
    setProxyModel(m_typeFilter);
    connect(this, &QFileDialog::directoryEntered, this, &OpenPanelDialog::directoryWasEntered);
}

OpenPanelDialog::~OpenPanelDialog() = default;

void OpenPanelDialog::setTypeDescription(const QString& description) {
    setOption(QFileDialog::HideNameFilterDetails);
    setNameFilter(description + QStringLiteral(" (*)"));
}

void OpenPanelDialog::accept() {
    const QStringList files = selectedFiles();
    bool onlyItems = !files.isEmpty();
    for (const QString& file : files) {
        if (!QFileInfo::exists(file) || OpenPanelTypeFilter::isFolder(file)) {
            // Qt's dialog enters a folder, or tells the user that a typed name does not exist.
            onlyItems = false;
            break;
        }
        if (!m_typeFilter->isChoosable(file)) {
            // A name typed by hand that the panel would not have shown.
            return;
        }
    }
    if (onlyItems) {
        // QFileDialog::accept() would walk into a package directory; it is the chosen item here.
        QDialog::accept();
        return;
    }
    QFileDialog::accept();
}

QList<QUrl> OpenPanelDialog::chosenUrls() const {
    if (!m_openedPackage.isEmpty()) {
        return {QUrl::fromLocalFile(m_openedPackage)};
    }
    return selectedUrls();
}

QStringList OpenPanelDialog::chosenFiles() const {
    QStringList files;
    for (const QUrl& url : chosenUrls()) {
        files.append(url.toLocalFile());
    }
    return files;
}

void OpenPanelDialog::directoryWasEntered(const QString& directory) {
    if (!OpenPanelTypeFilter::isPackage(directory)) {
        return;
    }
    // A double click (or Return) opened a package as a folder: step back out and choose it instead.
    // The file list's own selection is unreliable at this point (the folder is being re-read), so the
    // package is remembered here.
    const QString package = QFileInfo(directory).absoluteFilePath();
    setDirectory(QFileInfo(package).absolutePath());
    if (m_typeFilter->isChoosable(package)) {
        m_openedPackage = package;
        QDialog::accept();
    }
}
