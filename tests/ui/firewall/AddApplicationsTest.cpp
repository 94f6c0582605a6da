// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/widgets/OpenPanel.h"
#include "tests/support/QtPrinters.h"
#include "tests/ui/firewall/FirewallPaneFixture.h"

#include <QAbstractButton>

namespace {

QList<QUrl> fileUrls(const QStringList& paths) {
    QList<QUrl> urls;
    for (const QString& path : paths) {
        urls.append(QUrl::fromLocalFile(path));
    }
    return urls;
}

} // namespace

class AddApplicationsTest : public FirewallPaneTest {
protected:
    void SetUp() override {
        FirewallPaneTest::SetUp();
        m_probe = std::make_shared<RecordingSubscriber>();
        Blacklist::shared().addSubscriber(m_probe);
        m_pane = loadPane();
    }

    // Clicks the add control with the open panel answering `chosen` (nothing: cancelled).
    void addThroughPanel(const std::optional<QList<QUrl>>& chosen) {
        OpenPanel::setNextAnswer([this, chosen](const OpenPanel& panel) {
            m_panelTypes = panel.allowedFileTypes();
            m_panelDirectory = panel.directoryURL();
            m_panelMultiple = panel.allowsMultipleSelection();
            m_panelTitle = panel.title();
            m_panelTypeDescription = panel.typeDescription();
            ++m_panelsShown;
            return chosen;
        });
        QTest::mouseClick(m_pane->addApplicationButton(), Qt::LeftButton);
    }

    std::shared_ptr<RecordingSubscriber> m_probe;
    std::shared_ptr<FirewallViewController> m_pane;
    QStringList m_panelTypes;
    QUrl m_panelDirectory;
    bool m_panelMultiple = false;
    QString m_panelTitle;
    QString m_panelTypeDescription;
    int m_panelsShown = 0;
};

TEST_F(AddApplicationsTest, PanelOffersSeveralApplicationsAndProgramsFromTheApplicationsFolder) {
    addThroughPanel(std::nullopt);

    ASSERT_EQ(m_panelsShown, 1);
    EXPECT_EQ(m_panelTypes,
              (QStringList{QStringLiteral("com.apple.bundle"), QStringLiteral("public.executable")}));
    EXPECT_TRUE(m_panelMultiple);
    EXPECT_EQ(m_panelTitle, QStringLiteral("Choose Applications to Block"));
    EXPECT_EQ(m_panelTypeDescription, QStringLiteral("Applications and programs"));
    const QString expectedFolder = QFileInfo(QStringLiteral("/usr/share/applications")).isDir()
                                       ? QStringLiteral("/usr/share/applications")
                                       : QStringLiteral("/Applications");
    EXPECT_EQ(m_panelDirectory, QUrl::fromLocalFile(expectedFolder));
}

TEST_F(AddApplicationsTest, ChoosingThreeApplicationsAddsThreeRowsInThePanelsOrder) {
    const QString program = makeExecutable(QStringLiteral("zsync-tool"));
    const QString entry =
        makeDesktopEntry(QStringLiteral("mail.desktop"), QStringLiteral("Mail"), QStringLiteral("mailer"));
    const QString bundle = makeBundle(QStringLiteral("Browser"), QStringLiteral("browser"));

    addThroughPanel(fileUrls({program, entry, bundle}));

    EXPECT_EQ(m_probe->blocked, (QStringList{program, entry, bundle}));
    EXPECT_EQ(shownIdentifiers(*m_pane), (QStringList{program, entry, bundle}));
    EXPECT_EQ(m_pane->tableView()->numberOfRows(), 3);
    EXPECT_EQ(Blacklist::shared().identifiers(), (QStringList{program, entry, bundle}));
}

TEST_F(AddApplicationsTest, CancellingOrChoosingNothingAddsNothing) {
    addThroughPanel(std::nullopt);
    addThroughPanel(QList<QUrl>{});

    EXPECT_EQ(m_panelsShown, 2);
    EXPECT_TRUE(m_probe->blocked.isEmpty());
    EXPECT_EQ(m_pane->tableView()->numberOfRows(), 0);
    EXPECT_TRUE(Blacklist::shared().apps().isEmpty());
}

TEST_F(AddApplicationsTest, ChosenPathsWithoutAnApplicationAreSkippedSilently) {
    const QString program = makeExecutable(QStringLiteral("fetch"));
    const QString bundle = makeBundle(QStringLiteral("Player"), QStringLiteral("player"));
    const QString notes = makeTextFile(QStringLiteral("notes.txt"));
    const QString missing = path(QStringLiteral("gone/Old.app"));
    QList<QUrl> chosen = fileUrls({notes, program, missing, bundle});
    chosen.insert(2, QUrl(QStringLiteral("https://example.com/app")));

    addThroughPanel(chosen);

    EXPECT_EQ(m_probe->blocked, (QStringList{program, bundle}));
    EXPECT_EQ(shownIdentifiers(*m_pane), (QStringList{program, bundle}));
}

TEST_F(AddApplicationsTest, AddingAnApplicationAlreadyListedChangesNothing) {
    const QString program = makeExecutable(QStringLiteral("fetch"));
    addThroughPanel(fileUrls({program}));
    addThroughPanel(fileUrls({program}));

    EXPECT_EQ(m_probe->blocked, (QStringList{program, program}));
    EXPECT_EQ(m_pane->tableView()->numberOfRows(), 1);
    EXPECT_EQ(Blacklist::shared().identifiers(), QStringList{program});
}
