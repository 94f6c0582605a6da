// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/widgets/OpenPanel.h"

#include "platform/widgets/OpenPanelDialog.h"
#include "platform/widgets/OpenPanelTypeFilter.h"
#include "tests/support/TestEnvironment.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QListView>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

const QStringList applicationTypes = {QStringLiteral("com.apple.bundle"),
                                      QStringLiteral("public.executable")};

// A folder as the Applications folder looks to the panel: a bundle, a desktop entry, a command, a
// text file and an ordinary sub-folder.
class OpenPanelTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(folder.isValid());
        ASSERT_TRUE(QDir(folder.path()).mkpath(QStringLiteral("Foo.app/Contents/MacOS")));
        write(QStringLiteral("Foo.app/Contents/Info.plist"),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
              "<key>CFBundleExecutable</key><string>foo</string></dict></plist>\n");
        write(QStringLiteral("Foo.app/Contents/MacOS/foo"), "#!/bin/sh\nexit 0\n", true);
        write(QStringLiteral("tool"), "#!/bin/sh\nexit 0\n", true);
        write(QStringLiteral("notes.txt"), "not a program\n");
        write(QStringLiteral("x.desktop"), "[Desktop Entry]\nType=Application\nName=X\nExec=sh\n");
        ASSERT_TRUE(QDir(folder.path()).mkpath(QStringLiteral("sub")));
    }

    void TearDown() override { OpenPanel::setNextAnswer({}); }

    void write(const QString& name, const QByteArray& content, bool executable = false) {
        QFile file(path(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
        file.close();
        if (executable) {
            file.setPermissions(file.permissions() | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
        }
    }

    QString path(const QString& name) const { return folder.path() + QLatin1Char('/') + name; }

    // The names the dialog's file list shows for its current folder, once the file system has been read.
    static QSet<QString> shownNames(const OpenPanelDialog& dialog, qsizetype expected) {
        auto* list = dialog.findChild<QListView*>(QStringLiteral("listView"));
        if (!list) {
            return {};
        }
        TestEnvironment::waitUntil([&] { return list->model()->rowCount(list->rootIndex()) >= expected; });
        QSet<QString> names;
        for (int row = 0; row < list->model()->rowCount(list->rootIndex()); ++row) {
            names.insert(list->model()->index(row, 0, list->rootIndex()).data().toString());
        }
        return names;
    }

    QTemporaryDir folder;
};

TEST_F(OpenPanelTest, theTestAnswerSeesThePanelAndAnswersOnce) {
    OpenPanel panel;
    panel.setAllowedFileTypes(applicationTypes);
    panel.setDirectoryURL(QUrl::fromLocalFile(folder.path()));
    panel.setAllowsMultipleSelection(true);

    const QList<QUrl> chosen = {QUrl::fromLocalFile(path(QStringLiteral("tool"))),
                                QUrl::fromLocalFile(path(QStringLiteral("Foo.app")))};
    QStringList seenTypes;
    QUrl seenDirectory;
    OpenPanel::setNextAnswer([&](const OpenPanel& asked) -> std::optional<QList<QUrl>> {
        seenTypes = asked.allowedFileTypes();
        seenDirectory = asked.directoryURL();
        return chosen;
    });
    EXPECT_EQ(panel.runModal(), OpenPanel::ok);
    EXPECT_EQ(panel.URLs(), chosen);
    EXPECT_EQ(seenTypes, applicationTypes);
    EXPECT_EQ(seenDirectory, QUrl::fromLocalFile(folder.path()));

    OpenPanel::setNextAnswer([](const OpenPanel&) { return std::nullopt; });
    EXPECT_EQ(panel.runModal(), OpenPanel::cancel);
    EXPECT_TRUE(panel.URLs().isEmpty());

    // The answer was used up: this run shows the real dialog, which is dismissed.
    QTimer::singleShot(0, [] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            modal->close();
        }
    });
    EXPECT_EQ(panel.runModal(), OpenPanel::cancel);
}

TEST_F(OpenPanelTest, theRealDialogReturnsTheChosenItemsInOrder) {
    OpenPanel panel;
    panel.setAllowedFileTypes(applicationTypes);
    panel.setDirectoryURL(QUrl::fromLocalFile(folder.path()));
    panel.setAllowsMultipleSelection(true);
    panel.setTitle(QStringLiteral("Choose Applications to Block"));
    panel.setTypeDescription(QStringLiteral("Applications and programs"));

    QString openedIn;
    QString title;
    QStringList filters;
    QString filterShown;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<OpenPanelDialog*>(QApplication::activeModalWidget());
        if (!dialog) {
            return;
        }
        openedIn = dialog->directory().absolutePath();
        title = dialog->windowTitle();
        filters = dialog->nameFilters();
        if (auto* box = dialog->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"))) {
            filterShown = box->currentText();
        }
        dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))
            ->setText(QStringLiteral("\"x.desktop\" \"Foo.app\" \"tool\""));
        dialog->accept();
    });
    ASSERT_EQ(panel.runModal(), OpenPanel::ok);
    EXPECT_EQ(openedIn, QDir(folder.path()).absolutePath());
    EXPECT_EQ(title, QStringLiteral("Choose Applications to Block"));
    EXPECT_EQ(filters.size(), 1);
    EXPECT_EQ(filterShown, QStringLiteral("Applications and programs"));
    EXPECT_EQ(panel.URLs(), QList<QUrl>({QUrl::fromLocalFile(path(QStringLiteral("x.desktop"))),
                                         QUrl::fromLocalFile(path(QStringLiteral("Foo.app"))),
                                         QUrl::fromLocalFile(path(QStringLiteral("tool")))}));
}

TEST_F(OpenPanelTest, showsFoldersAndItemsOfTheAllowedTypesOnly) {
    OpenPanelDialog dialog(applicationTypes);
    dialog.setDirectory(folder.path());
    const QSet<QString> expected = {QStringLiteral("Foo.app"), QStringLiteral("sub"), QStringLiteral("tool"),
                                    QStringLiteral("x.desktop")};
    EXPECT_EQ(shownNames(dialog, expected.size()), expected);

    EXPECT_TRUE(OpenPanelTypeFilter::isPackage(path(QStringLiteral("Foo.app"))));
    EXPECT_FALSE(OpenPanelTypeFilter::isFolder(path(QStringLiteral("Foo.app"))));
    EXPECT_TRUE(OpenPanelTypeFilter::isFolder(path(QStringLiteral("sub"))));
    EXPECT_FALSE(dialog.typeFilter()->isChoosable(path(QStringLiteral("notes.txt"))));
    EXPECT_FALSE(dialog.typeFilter()->isChoosable(path(QStringLiteral("missing"))));

    OpenPanelDialog everything({});
    EXPECT_TRUE(everything.typeFilter()->isChoosable(path(QStringLiteral("notes.txt"))));
}

TEST_F(OpenPanelTest, openingABundleChoosesItAndOpeningAFolderEntersIt) {
    OpenPanelDialog bundle(applicationTypes);
    bundle.setDirectory(folder.path());
    bundle.selectFile(path(QStringLiteral("Foo.app")));
    bundle.accept();
    EXPECT_EQ(bundle.result(), QDialog::Accepted);
    EXPECT_EQ(bundle.chosenFiles(), QStringList(path(QStringLiteral("Foo.app"))));

    OpenPanelDialog folderDialog(applicationTypes);
    folderDialog.setDirectory(folder.path());
    folderDialog.selectFile(path(QStringLiteral("sub")));
    folderDialog.accept();
    EXPECT_EQ(folderDialog.result(), QDialog::Rejected);
    EXPECT_EQ(folderDialog.directory().absolutePath(), QDir(path(QStringLiteral("sub"))).absolutePath());

    OpenPanelDialog text(applicationTypes);
    text.setDirectory(folder.path());
    text.selectFile(path(QStringLiteral("notes.txt")));
    text.accept();
    EXPECT_EQ(text.result(), QDialog::Rejected) << "a typed name of another type is not taken";
}

TEST_F(OpenPanelTest, doubleClickingABundleChoosesItInsteadOfEnteringIt) {
    OpenPanelDialog dialog(applicationTypes);
    dialog.setDirectory(folder.path());
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    ASSERT_TRUE(shownNames(dialog, 4).contains(QStringLiteral("Foo.app")));

    auto* list = dialog.findChild<QListView*>(QStringLiteral("listView"));
    QModelIndex bundle;
    for (int row = 0; row < list->model()->rowCount(list->rootIndex()); ++row) {
        const QModelIndex index = list->model()->index(row, 0, list->rootIndex());
        if (index.data().toString() == QStringLiteral("Foo.app")) {
            bundle = index;
        }
    }
    ASSERT_TRUE(bundle.isValid());
    list->scrollTo(bundle);
    const QPoint centre = list->visualRect(bundle).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, centre);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, centre);

    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return dialog.result() == QDialog::Accepted; }));
    EXPECT_EQ(dialog.chosenFiles(), QStringList(path(QStringLiteral("Foo.app"))));
    EXPECT_EQ(dialog.directory().absolutePath(), QDir(folder.path()).absolutePath());
}

} // namespace
