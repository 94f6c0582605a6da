// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QFileDialog>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

class OpenPanelTypeFilter;

// The open panel's dialog: Qt's own (non-native) file dialog, so that it behaves the same on every
// desktop, showing only items of the allowed types. Application packages are chosen like files: opening
// one (the Open button or a double click) accepts the dialog with the package instead of entering it.
class OpenPanelDialog final : public QFileDialog {
    Q_OBJECT
public:
    explicit OpenPanelDialog(const QStringList& allowedTypes, QWidget* parent = nullptr);
    ~OpenPanelDialog() override;

    const OpenPanelTypeFilter* typeFilter() const { return m_typeFilter; }

    // Names the one filter the dialog offers. The allowed types do the filtering, so the name
    // stands for every file (and hides the pattern) rather than saying "All Files".
    void setTypeDescription(const QString& description);

    // What the user chose once the dialog has been accepted: the package opened by a double click,
    // or else the dialog's selection. Use these rather than selectedUrls()/selectedFiles().
    QList<QUrl> chosenUrls() const;
    QStringList chosenFiles() const;

public Q_SLOTS:
    void accept() override;

private:
    void directoryWasEntered(const QString& directory);

    OpenPanelTypeFilter* m_typeFilter;
    QString m_openedPackage;
};
