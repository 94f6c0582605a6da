// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/AppDelegate.h"
#include "app/Startup.h"
#include "kernel/KextClient.h"
#include "model/Blacklist.h"
#include "model/ListEnforcement.h"
#include "model/Notices.h"
#include "model/SettingsKeys.h"
#include "platform/UserDefaults.h"
#include "tests/app/ShellFixture.h"
#include "tests/platform/PackageFixtures.h"
#include "tests/support/FakeKextFilter.h"
#include "tests/support/TestEnvironment.h"
#include "wire/ControlPath.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <functional>
#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

// A user with a stored block list whose settings file is then damaged: the next start must leave the
// filter service's list as it was, never tell it to block nothing.
class DamagedSettingsTest : public ShellFixture {
protected:
    void SetUp() override {
        ShellFixture::SetUp();
        m_filter = std::make_unique<FakeKextFilter>(); // after the fixture has emptied the control folder
        Notices::shared().clearAll();
        Startup::useSettingsSchema();
        QFile::remove(UserDefaults::standard().backupPath());
        for (const QString& copy : damagedCopies()) {
            QDir(QFileInfo(settingsPath()).dir().filePath(copy)).removeRecursively();
            QFile::remove(QFileInfo(settingsPath()).dir().filePath(copy));
        }
        restart();
        ASSERT_TRUE(m_programs.isValid());
        m_program = m_programs.filePath(QStringLiteral("mailer"));
        ASSERT_TRUE(PackageFixtures::copyProgram(m_program));

        // The first session: two entries stored and sent.
        Blacklist::shared().block(App::initWithPath(m_program));
        Blacklist::shared().block(App::initWithIdentifier(QStringLiteral("curl")));
        UserDefaults::standard().setBool(true, SettingsKeys::enableFirewall);
        ASSERT_TRUE(UserDefaults::standard().synchronize());
        ASSERT_TRUE(KextClient::shared().connectIfNeeded());
        KextClient::shared().updateBlacklist(&Blacklist::shared());
        ASSERT_TRUE(m_filter->waitForCommands(1));
        ASSERT_FALSE(m_filter->commands()[0].payload.empty());
        KextClient::resetShared();
    }

    void TearDown() override {
        Notices::shared().clearAll();
        KextClient::resetShared();
        m_filter.reset();
        ShellFixture::TearDown();
    }

    static void restart() {
        UserDefaults::resetStandard();
        Startup::registerDefaults(UserDefaults::standard());
        Blacklist::resetShared();
    }

    static QString settingsPath() { return UserDefaults::standard().filePath(); }

    static void rewrite(const std::function<void(QJsonObject&)>& change) {
        QFile file(settingsPath());
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        QJsonObject values = QJsonDocument::fromJson(file.readAll()).object();
        file.close();
        change(values);
        ASSERT_TRUE(PackageFixtures::writeFile(settingsPath(), QJsonDocument(values).toJson()));
    }

    static QStringList damagedCopies() {
        const QFileInfo info(settingsPath());
        return info.dir().entryList({info.fileName() + QStringLiteral(".corrupt-*")},
                                    QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot);
    }

    // The second session: the application starts on the damaged file.
    void startAgain() {
        restart();
        launchApp();
        TestEnvironment::spin(300ms);
    }

    void expectRestored() {
        startAgain();
        const std::vector<FakeKextFilter::Command> commands = m_filter->commands();
        ASSERT_EQ(commands.size(), 2u) << "the start sends the list once";
        EXPECT_EQ(commands[1].payload, commands[0].payload) << "the service's list stays as it was";
        EXPECT_EQ(Blacklist::shared().identifiers(), QStringList({m_program, QStringLiteral("curl")}));

        ASSERT_TRUE(UserDefaults::standard().synchronize());
        QFile file(settingsPath());
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QJsonObject stored = QJsonDocument::fromJson(file.readAll()).object();
        EXPECT_EQ(stored.value(SettingsKeys::blacklist).toArray(),
                  QJsonArray({m_program, QStringLiteral("curl")}))
            << "the file is whole again";
        EXPECT_EQ(stored.value(SettingsKeys::enableFirewall), QJsonValue(true));

        ASSERT_EQ(damagedCopies().size(), 1);
        const QString notice = Notices::shared().text(QStringLiteral("settings"));
        EXPECT_TRUE(notice.contains(settingsPath())) << notice.toStdString();
        EXPECT_TRUE(notice.contains(QStringLiteral("restored from the backup"))) << notice.toStdString();
        EXPECT_TRUE(notice.contains(damagedCopies().first())) << "it says where the damaged copy went";
    }

    std::unique_ptr<FakeKextFilter> m_filter;
    QTemporaryDir m_programs;
    QString m_program;
};

TEST_F(DamagedSettingsTest, ATruncatedFileIsRestoredFromTheBackup) {
    QFile file(settingsPath());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray whole = file.readAll();
    file.close();
    ASSERT_TRUE(PackageFixtures::writeFile(settingsPath(), whole.left(whole.size() / 2)));
    expectRestored();
}

TEST_F(DamagedSettingsTest, AListWithANonTextElementIsRestoredFromTheBackup) {
    rewrite([this](QJsonObject& values) {
        values.insert(SettingsKeys::blacklist, QJsonArray({m_program, 42}));
    });
    expectRestored();
}

TEST_F(DamagedSettingsTest, AnUnreadableFileIsRestoredFromTheBackup) {
    // A folder in its place cannot be read even by root, who may read any file.
    ASSERT_TRUE(QFile::remove(settingsPath()));
    ASSERT_TRUE(QDir().mkpath(settingsPath()));
    expectRestored();
}

TEST_F(DamagedSettingsTest, AFirewallSwitchOfTheWrongTypeIsRestoredFromTheBackup) {
    rewrite(
        [](QJsonObject& values) { values.insert(SettingsKeys::enableFirewall, QStringLiteral("maybe")); });
    expectRestored();
}

TEST_F(DamagedSettingsTest, WithoutABackupTheServiceKeepsItsListUntilTheUserChangesIt) {
    rewrite(
        [](QJsonObject& values) { values.insert(SettingsKeys::enableFirewall, QStringLiteral("maybe")); });
    ASSERT_TRUE(QFile::remove(UserDefaults::standard().backupPath()));
    startAgain();

    EXPECT_EQ(m_filter->commands().size(), 1u) << "nothing replaces the service's list";
    const QString notice = Notices::shared().text(QStringLiteral("settings"));
    EXPECT_TRUE(notice.startsWith(QStringLiteral("The block list could not be read")))
        << notice.toStdString();
    EXPECT_TRUE(notice.contains(settingsPath()));
    EXPECT_EQ(damagedCopies().size(), 1) << "the damaged file is kept";

    // The switch is a change by the user: from then on the list is sent as the window shows it.
    UserDefaults::standard().setBool(true, SettingsKeys::enableFirewall);
    KextClient::shared().updateBlacklist(&Blacklist::shared());
    ASSERT_TRUE(m_filter->waitForCommands(2));
    EXPECT_TRUE(m_filter->commands()[1].payload.empty());
    EXPECT_TRUE(Notices::shared()
                    .text(QStringLiteral("settings"))
                    .contains(QStringLiteral("the list shown is the one")));

    Blacklist::shared().block(App::initWithIdentifier(QStringLiteral("wget")));
    ASSERT_TRUE(m_filter->waitForCommands(3));
    EXPECT_EQ(m_filter->commands()[2].payload, std::vector<std::uint8_t>({'w', 'g', 'e', 't', 0}));
}

// With the file and its backup lost, the window takes the list the real service has in force
// instead of showing an empty one, and the next change adds to it rather than lifting it.
TEST_F(DamagedSettingsTest, WithoutABackupTheListInForceIsTakenFromTheService) {
    m_filter.reset();
    QProcess service;
    service.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    service.start(QStringLiteral(QUILVANE_FILTERD_BINARY),
                  {QStringLiteral("--simulate"), QStringLiteral("--control-dir"),
                   QString::fromStdString(Quilvane::Wire::controlDirectory())});
    ASSERT_TRUE(service.waitForStarted());
    ASSERT_TRUE(TestEnvironment::waitUntil([] { return KextClient::shared().connectIfNeeded(); }, 10s));
    KextClient::shared().updateBlacklist(&Blacklist::shared());
    ASSERT_TRUE(TestEnvironment::waitUntil(
        [] { return ListEnforcement::shared().listState().state == ListEnforcement::State::enforced; }, 10s));
    KextClient::resetShared();

    ASSERT_TRUE(QFile::remove(settingsPath()));
    ASSERT_TRUE(QDir().mkpath(settingsPath())); // unreadable
    ASSERT_TRUE(QFile::remove(UserDefaults::standard().backupPath()));
    ListEnforcement::shared().reset();
    startAgain();

    const QStringList inForce = {QStringLiteral("curl"), QStringLiteral("mailer")};
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return Blacklist::shared().identifiers() == inForce; }, 10s))
        << Blacklist::shared().identifiers().join(QLatin1Char(',')).toStdString();
    EXPECT_TRUE(
        Notices::shared().text(QStringLiteral("settings")).contains(QStringLiteral("taken from the service")))
        << Notices::shared().text(QStringLiteral("settings")).toStdString();

    Blacklist::shared().block(App::initWithIdentifier(QStringLiteral("wget")));
    EXPECT_TRUE(TestEnvironment::waitUntil(
        [] { return ListEnforcement::shared().listState().state == ListEnforcement::State::enforced; }, 10s));
    for (const QString& name : inForce + QStringList{QStringLiteral("wget")}) {
        EXPECT_EQ(ListEnforcement::shared().stateFor(name).state, ListEnforcement::State::enforced)
            << name.toStdString() << " stays blocked after the change";
    }
    service.terminate();
    service.waitForFinished(5000);
}

} // namespace
