// SPDX-License-Identifier: GPL-3.0-or-later
#include "kernel/KextClient.h"
#include "wire/ControlPath.h"
#include "model/Blacklist.h"
#include "platform/UserDefaults.h"
#include "tests/support/TestEnvironment.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

class RecordingSubscriber final : public TrafficSubscriber {
public:
    void connectionMade(const ConnectionPtr&, const AppPtr& app) override { m_apps.push_back(app); }
    int countOf(const QString& executable) const {
        return static_cast<int>(std::count_if(m_apps.begin(), m_apps.end(), [&](const AppPtr& app) {
            return app->executable() == executable;
        }));
    }
    AppPtr first(const QString& executable) const {
        const auto found = std::find_if(m_apps.begin(), m_apps.end(),
                                        [&](const AppPtr& app) { return app->executable() == executable; });
        return found == m_apps.end() ? nullptr : *found;
    }
    void forget() { m_apps.clear(); }

private:
    std::vector<AppPtr> m_apps;
};

// The real filter service in its simulation mode (no privileges, no eBPF: helper programs of its
// own connect to it and are stopped when blocked), in a control folder of the test's own.
class KextClientServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_folder.isValid());
        m_previousControlDir = qgetenv("QUILVANE_CONTROL_DIR");
        qputenv("QUILVANE_CONTROL_DIR", m_folder.path().toUtf8());
        UserDefaults::standard().registerDefaults({{QStringLiteral("enableFirewall"), true}});
        UserDefaults::standard().setBool(true, QStringLiteral("enableFirewall"));
        m_service.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_service.start(QStringLiteral(QUILVANE_FILTERD_BINARY),
                        {QStringLiteral("--simulate"), QStringLiteral("--control-dir"), m_folder.path()});
        ASSERT_TRUE(m_service.waitForStarted());
        const QString socket = QString::fromStdString(Quilvane::Wire::controlSocketPath());
        ASSERT_TRUE(TestEnvironment::waitUntil([&] { return QFile::exists(socket); }, 10s));
    }

    void TearDown() override {
        m_service.terminate();
        if (!m_service.waitForFinished(5000)) {
            m_service.kill();
            m_service.waitForFinished();
        }
        qputenv("QUILVANE_CONTROL_DIR", m_previousControlDir);
    }

    QTemporaryDir m_folder;
    QByteArray m_previousControlDir;
    QProcess m_service;
};

} // namespace

TEST_F(KextClientServiceTest, RecordsArriveAndABlockHolds) {
    KextClient client;
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return client.connectIfNeeded(); }, 5s));
    auto subscriber = std::make_shared<RecordingSubscriber>();
    client.addSubscriber(subscriber);
    const QString mail = QStringLiteral("quilvane-sim-mail");
    const QString browser = QStringLiteral("quilvane-sim-browser");
    ASSERT_TRUE(TestEnvironment::waitUntil(
        [&] { return subscriber->countOf(mail) > 0 && subscriber->countOf(browser) > 0; }, 15s));
    // The record names the program that really connected, by its path.
    const AppPtr reported = subscriber->first(mail);
    ASSERT_TRUE(reported->path());
    EXPECT_TRUE(reported->path()->endsWith(QLatin1Char('/') + mail)) << reported->path()->toStdString();

    Blacklist blacklist(QStringLiteral("blacklist-of-the-service-test"));
    blacklist.block(App::initWithIdentifier(mail));
    client.updateBlacklist(&blacklist);
    TestEnvironment::spin(1500ms); // records already on their way still land
    subscriber->forget();
    TestEnvironment::spin(3s);
    EXPECT_EQ(subscriber->countOf(mail), 0);
    EXPECT_GT(subscriber->countOf(browser), 0);
}
