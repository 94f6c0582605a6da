// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Startup.h"
#include "tests/platform/PackageFixtures.h"
#include "tests/support/QtPrinters.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

constexpr int legacyLines = 1'000;

// The importer in a process of its own, killed at random moments: whatever moment the kill lands
// on, the next start ends with every entry of the old file, and a start never finds half an import
// marked as done.
class LegacyImportKillTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_folder.isValid());
        const QString original = m_folder.filePath(QStringLiteral("bin/program"));
        ASSERT_TRUE(PackageFixtures::copyProgram(original));
        QByteArray file;
        for (int i = 0; i < legacyLines; ++i) {
            const QString path = m_folder.filePath(QStringLiteral("bin/program-%1").arg(i));
            ASSERT_EQ(::link(QFile::encodeName(original).constData(), QFile::encodeName(path).constData()),
                      0);
            m_paths.append(path);
            file += path.toUtf8() + '\n';
        }
        ASSERT_TRUE(PackageFixtures::writeFile(m_folder.filePath(QStringLiteral("legacy/blacklist")), file));
    }

    QString configFolder(int run) const { return m_folder.filePath(QStringLiteral("config-%1").arg(run)); }

    void start(QProcess& probe, int run, bool dieInsideImport = false) const {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), configFolder(run));
        if (dieInsideImport) {
            environment.insert(QStringLiteral("QUILVANE_PROBE_DIE_INSIDE_IMPORT"), QStringLiteral("1"));
        }
        probe.setProcessEnvironment(environment);
        probe.start(QStringLiteral(QUILVANE_IMPORT_PROBE), {m_folder.filePath(QStringLiteral("legacy"))});
        ASSERT_TRUE(probe.waitForStarted());
    }

    // Runs the probe to its end; its standard output.
    QString runToEnd(int run) const {
        QProcess probe;
        start(probe, run);
        probe.waitForFinished(60'000);
        EXPECT_EQ(probe.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(probe.exitCode(), 0) << probe.readAllStandardError().toStdString();
        return QString::fromUtf8(probe.readAllStandardOutput()).trimmed();
    }

    QJsonObject stored(int run) const {
        QFile file(configFolder(run) + QStringLiteral("/quilvane/defaults.json"));
        if (!file.open(QIODevice::ReadOnly)) {
            return {};
        }
        const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
        EXPECT_TRUE(document.isObject()) << "the file is never left half written";
        return document.object();
    }

    QStringList storedList(int run) const {
        QStringList list;
        for (const QJsonValue& value : stored(run).value(QStringLiteral("blacklist")).toArray()) {
            list.append(value.toString());
        }
        return list;
    }

    QTemporaryDir m_folder;
    QStringList m_paths;
};

TEST_F(LegacyImportKillTest, AKillAtAnyMomentLosesNoEntry) {
    QElapsedTimer whole;
    whole.start();
    EXPECT_EQ(runToEnd(0), QStringLiteral("imported"));
    const qint64 duration = whole.elapsed();
    EXPECT_EQ(storedList(0), m_paths);

    for (int run = 1; run <= 6; ++run) {
        QProcess probe;
        start(probe, run);
        const auto delay = static_cast<unsigned long>(QRandomGenerator::global()->bounded(duration + 1));
        QThread::msleep(delay);
        probe.kill();
        probe.waitForFinished();

        const bool done = stored(run).value(QStringLiteral("firstRunCompleted")).toBool();
        const QStringList afterKill = storedList(run);
        EXPECT_TRUE(done ? afterKill == m_paths : afterKill.isEmpty())
            << "killed after " << delay << " ms: done " << done << " with " << afterKill.size() << " entries";

        EXPECT_EQ(runToEnd(run), done ? QStringLiteral("skipped") : QStringLiteral("imported"));
        EXPECT_EQ(storedList(run), m_paths) << "killed after " << delay << " ms";
        EXPECT_TRUE(stored(run).value(QStringLiteral("firstRunCompleted")).toBool());
    }
}

TEST_F(LegacyImportKillTest, AnImportThatDiesEveryTimeIsGivenUpAndTheStartGoesOn) {
    for (int attempt = 1; attempt <= Startup::maximumImportAttempts; ++attempt) {
        QProcess probe;
        start(probe, 0, true);
        probe.waitForFinished(60'000);
        ASSERT_EQ(probe.exitStatus(), QProcess::CrashExit) << "attempt " << attempt;
        EXPECT_FALSE(stored(0).value(QStringLiteral("firstRunCompleted")).toBool());
    }
    QProcess probe;
    start(probe, 0, true);
    probe.waitForFinished(60'000);
    EXPECT_EQ(probe.exitStatus(), QProcess::NormalExit) << "the import is not tried again";
    EXPECT_EQ(QString::fromUtf8(probe.readAllStandardOutput()).trimmed(), QStringLiteral("skipped"));
    EXPECT_TRUE(QString::fromUtf8(probe.readAllStandardError()).contains(QStringLiteral("was not imported")));
    EXPECT_TRUE(stored(0).value(QStringLiteral("firstRunCompleted")).toBool());
}

} // namespace
