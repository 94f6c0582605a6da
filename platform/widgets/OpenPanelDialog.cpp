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
    m_lastFolder = directory().absolutePath();
    connect(this, &QFileDialog::directoryEntered, this, &OpenPanelDialog::directoryWasEntered);
}

OpenPanelDialog::~OpenPanelDialog() = default;

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

void OpenPanelDialog::directoryWasEntered(const QString& directory) {
    if (!OpenPanelTypeFilter::isPackage(directory)) {
        m_lastFolder = directory;
        return;
    }
    // A double click opened a package as a folder: step back out and choose it instead.
    const QString package = QFileInfo(directory).absoluteFilePath();
    setDirectory(m_lastFolder.isEmpty() ? QFileInfo(package).absolutePath() : m_lastFolder);
    selectFile(package);
    if (m_typeFilter->isChoosable(package)) {
        QDialog::accept();
    }
}
