// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Startup.h"

#include "model/Blacklist.h"
#include "model/LegacyImporter.h"
#include "platform/UserDefaults.h"
#include "tests/platform/PackageFixtures.h"
#include "tests/support/QtPrinters.h"

#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <gtest/gtest.h>

namespace {

const QString firstRunCompleted = QStringLiteral("firstRunCompleted");
const QString enableFirewall = QStringLiteral("enableFirewall");

class StartupTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_folder.isValid());
        QFile::remove(UserDefaults::standard().filePath());
        UserDefaults::resetStandard();
        Blacklist::resetShared();
        m_legacyFolder = m_folder.path() + QStringLiteral("/data/Quilvane");
        m_bundle = PackageFixtures::makeBundle(m_folder.path(), QStringLiteral("Browser"),
                                               QStringLiteral("browser"));
        m_executable = m_folder.path() + QStringLiteral("/bin/sync tool");
        ASSERT_TRUE(PackageFixtures::copyProgram(m_executable));
    }

    void writeLegacyFile(const QByteArray& contents, const QString& folder) const {
        ASSERT_TRUE(PackageFixtures::writeFile(folder + QStringLiteral("/blacklist"), contents));
    }

    QTemporaryDir m_folder;
    QString m_legacyFolder;
    QString m_bundle;
    QString m_executable;
};

TEST_F(StartupTest, DefaultsAreRegisteredButStoredValuesWin) {
    UserDefaults& defaults = UserDefaults::standard();
    Startup::registerDefaults(defaults);
    EXPECT_TRUE(defaults.boolForKey(enableFirewall));
    EXPECT_FALSE(defaults.boolForKey(firstRunCompleted));

    defaults.setBool(false, enableFirewall);
    Startup::registerDefaults(defaults);
    EXPECT_FALSE(defaults.boolForKey(enableFirewall));
}

TEST_F(StartupTest, TheFirstRunImportsTheLegacyListAndLaterRunsDoNot) {
    writeLegacyFile(m_bundle.toUtf8() + "\r\n\r\n   " + m_executable.toUtf8() + " \r\n/nowhere/Gone.app\r\n",
                    m_legacyFolder);
    UserDefaults& defaults = UserDefaults::standard();
    Startup::registerDefaults(defaults);

    EXPECT_TRUE(Startup::importLegacyBlacklistIfFirstRun(defaults, m_legacyFolder));
    EXPECT_TRUE(defaults.boolForKey(firstRunCompleted));
    EXPECT_EQ(Blacklist::shared().identifiers(), QStringList({m_bundle, m_executable}));

    // A second start, with a new line in the old file: nothing more is imported.
    const QString other = m_folder.path() + QStringLiteral("/bin/other");
    ASSERT_TRUE(PackageFixtures::copyProgram(other));
    writeLegacyFile(other.toUtf8() + "\n", m_legacyFolder);
    UserDefaults::resetStandard();
    Blacklist::resetShared();
    Startup::registerDefaults(UserDefaults::standard());
    EXPECT_FALSE(Startup::importLegacyBlacklistIfFirstRun(UserDefaults::standard(), m_legacyFolder));
    EXPECT_EQ(Blacklist::shared().identifiers(), QStringList({m_bundle, m_executable}));
}

TEST_F(StartupTest, AMissingOrBadLegacyFileStillCompletesTheFirstRun) {
    UserDefaults& defaults = UserDefaults::standard();
    Startup::registerDefaults(defaults);
    EXPECT_TRUE(
        Startup::importLegacyBlacklistIfFirstRun(defaults, m_folder.path() + QStringLiteral("/absent")));
    EXPECT_TRUE(defaults.boolForKey(firstRunCompleted));
    EXPECT_TRUE(Blacklist::shared().apps().isEmpty());
}

// The real program, in a home of its own: start-up runs the import before any window, and a
// demo run saves a picture of the window it opened.
class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_home.isValid());
        ASSERT_TRUE(m_controlDir.isValid());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), m_home.path());
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home.path() + QStringLiteral("/.config"));
        environment.insert(QStringLiteral("XDG_DATA_HOME"), m_home.path() + QStringLiteral("/.local/share"));
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_home.path());
        // No session bus: a Quilvane that runs on this desktop must not answer for the one tested.
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                           QStringLiteral("unix:path=") + m_home.path() + QStringLiteral("/no-bus"));
        environment.insert(QStringLiteral("QUILVANE_CONTROL_DIR"), m_controlDir.path());
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        m_process.setProcessEnvironment(environment);
    }

    int run(const QStringList& arguments) {
        m_process.start(QStringLiteral(QUILVANE_APP_BINARY), arguments);
        if (!m_process.waitForFinished(30000)) {
            m_process.kill();
            m_process.waitForFinished();
            return -1;
        }
        m_stdout = QString::fromLocal8Bit(m_process.readAllStandardOutput());
        m_stderr = QString::fromLocal8Bit(m_process.readAllStandardError());
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    }

    QJsonObject storedDefaults() const {
        QFile file(m_home.path() + QStringLiteral("/.config/quilvane/defaults.json"));
        if (!file.open(QIODevice::ReadOnly)) {
            return {};
        }
        return QJsonDocument::fromJson(file.readAll()).object();
    }

    QTemporaryDir m_home;
    QTemporaryDir m_controlDir;
    QProcess m_process;
    QString m_stdout;
    QString m_stderr;
};

TEST_F(ProgramTest, HelpVersionAndBadOptions) {
    EXPECT_EQ(run({QStringLiteral("--version")}), 0);
    EXPECT_EQ(m_stdout, QStringLiteral("quilvane " QUILVANE_VERSION "\n"));
    EXPECT_EQ(run({QStringLiteral("--help")}), 0);
    EXPECT_TRUE(m_stdout.startsWith(QStringLiteral("Usage: quilvane [options]")));
    EXPECT_EQ(run({QStringLiteral("--quit-after"), QStringLiteral("later")}), 2);
    EXPECT_TRUE(m_stderr.startsWith(QStringLiteral("quilvane: option --quit-after needs a number")));
    EXPECT_TRUE(m_stdout.isEmpty());
    EXPECT_TRUE(storedDefaults().isEmpty()) << "nothing is set up before the options are understood";
}

TEST_F(ProgramTest, FirstStartImportsThenOpensTheGuideAndSavesAPicture) {
    const QString program = m_home.path() + QStringLiteral("/bin/editor");
    ASSERT_TRUE(PackageFixtures::copyProgram(program));
    ASSERT_TRUE(PackageFixtures::writeFile(m_home.path() + QStringLiteral("/.local/share/Quilvane/blacklist"),
                                           " " + program.toUtf8() + "\n"));
    const QString picture = m_home.path() + QStringLiteral("/guide.png");

    ASSERT_EQ(
        run({QStringLiteral("--screenshot"), picture, QStringLiteral("--quit-after"), QStringLiteral("0.5")}),
        0)
        << m_stderr.toStdString();
    EXPECT_EQ(
        m_stdout,
        QStringLiteral("quilvane: saved a picture of the window “Start the Quilvane Filter Service” to ") +
            picture + QLatin1Char('\n'));
    QImage image(picture);
    EXPECT_FALSE(image.isNull());
    EXPECT_GE(image.width(), 400);

    const QJsonObject defaults = storedDefaults();
    EXPECT_EQ(defaults.value(firstRunCompleted), QJsonValue(true));
    EXPECT_EQ(defaults.value(QStringLiteral("blacklist")).toArray(), QJsonArray({program}));
}

// A logout sends SIGTERM: the application leaves through its event loop, as when its last window
// closes, and what it stored reaches the file.
TEST_F(ProgramTest, TerminationSignalsQuitThroughTheEventLoopAndKeepTheSettings) {
    const QString program = m_home.path() + QStringLiteral("/bin/editor");
    ASSERT_TRUE(PackageFixtures::copyProgram(program));
    ASSERT_TRUE(PackageFixtures::writeFile(m_home.path() + QStringLiteral("/.local/share/Quilvane/blacklist"),
                                           program.toUtf8() + "\n"));
    for (const int signal : {SIGTERM, SIGINT}) {
        QFile::remove(m_home.path() + QStringLiteral("/.config/quilvane/defaults.json"));
        m_process.start(QStringLiteral(QUILVANE_APP_BINARY), QStringList());
        ASSERT_TRUE(m_process.waitForStarted());
        QThread::msleep(1500);
        ::kill(static_cast<pid_t>(m_process.processId()), signal);
        ASSERT_TRUE(m_process.waitForFinished(10'000));
        EXPECT_EQ(m_process.exitStatus(), QProcess::NormalExit) << "signal " << signal;
        EXPECT_EQ(m_process.exitCode(), 0) << "signal " << signal;
        const QJsonObject defaults = storedDefaults();
        EXPECT_EQ(defaults.value(firstRunCompleted), QJsonValue(true)) << "signal " << signal;
        EXPECT_EQ(defaults.value(QStringLiteral("blacklist")).toArray(), QJsonArray({program}));
    }
}

} // namespace
