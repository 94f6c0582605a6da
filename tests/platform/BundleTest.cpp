// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Bundle.h"

#include "tests/platform/PackageFixtures.h"
#include "tests/support/QtPrinters.h"

#include <QFile>
#include <QTemporaryDir>
#include <cstdlib>
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace PackageFixtures;

namespace {

// The address space this process holds now, from /proc/self/statm (first field, in pages).
rlim_t addressSpaceInUse() {
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly)) {
        return 0;
    }
    const qulonglong pages = statm.readAll().split(' ').value(0).toULongLong();
    return static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
}

// Opens `path` as a package in a child process held to ten seconds and 256 MiB more address space
// than it starts with, so that a reader that waits forever or reads without end fails the test
// instead of hanging or exhausting the machine. True when the child came back and found no package.
bool rejectedWithinBounds(const QString& path) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::alarm(10);
        const rlim_t room = addressSpaceInUse() + 256 * 1024 * 1024;
        const rlimit limit{room, room};
        ::setrlimit(RLIMIT_AS, &limit);
        // Nothing may unwind into the test runner: the child would go on running the other tests.
        int status = 2;
        try {
            status = Bundle::initWithPath(path) ? 1 : 0;
        } catch (...) {
        }
        ::_exit(status);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

class BundleTest : public ::testing::Test {
protected:
    QString at(const QString& name) const { return m_dir.filePath(name); }
    QTemporaryDir m_dir;
};

TEST_F(BundleTest, BundleDirectoryGivesItsMainExecutableAndInfoValues) {
    const QString path =
        makeBundle(m_dir.path(), QStringLiteral("Foo Browser"), QStringLiteral("foo-bin"), true,
                   QStringLiteral("<key>CFBundleShortVersionString</key><string>2.4.1</string>"
                                  "<key>CFBundleName</key><string>Foo</string>"));
    const auto bundle = Bundle::initWithPath(path);
    ASSERT_TRUE(bundle);
    EXPECT_EQ(bundle->kind(), Bundle::Kind::directory);
    EXPECT_EQ(bundle->executablePath(), path + QStringLiteral("/Contents/MacOS/foo-bin"));
    EXPECT_EQ(bundle->objectForInfoDictionaryKey(QStringLiteral("CFBundleShortVersionString")).toString(),
              QStringLiteral("2.4.1"));
    EXPECT_EQ(bundle->displayName(), QStringLiteral("Foo"));
    EXPECT_FALSE(bundle->objectForInfoDictionaryKey(QStringLiteral("Missing")).isValid());
}

TEST_F(BundleTest, BinaryInfoPlistIsReadToo) {
    const QString path = makeBundle(m_dir.path(), QStringLiteral("Bin"), QStringLiteral("bin-exe"));
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "CFBundleExecutable", plist_new_string("bin-exe"));
    plist_dict_set_item(root, "CFBundleDisplayName", plist_new_string("Binary App"));
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &bytes, &length);
    plist_free(root);
    ASSERT_TRUE(writeFile(path + QStringLiteral("/Contents/Info.plist"), QByteArray(bytes, length)));
    std::free(bytes);

    const auto bundle = Bundle::initWithPath(path);
    ASSERT_TRUE(bundle);
    EXPECT_EQ(bundle->executablePath(), path + QStringLiteral("/Contents/MacOS/bin-exe"));
    EXPECT_EQ(bundle->displayName(), QStringLiteral("Binary App"));
}

TEST_F(BundleTest, BundleWithoutUsableExecutableOpensWithoutOne) {
    const QString noKey = makeBundle(m_dir.path(), QStringLiteral("NoKey"), std::nullopt);
    const QString noFile = makeBundle(m_dir.path(), QStringLiteral("NoFile"), QStringLiteral("gone"), false);
    const QString escaping =
        makeBundle(m_dir.path(), QStringLiteral("Escape"), QStringLiteral("../../x"), false);
    for (const QString& path : {noKey, noFile, escaping}) {
        const auto bundle = Bundle::initWithPath(path);
        ASSERT_TRUE(bundle) << path.toStdString();
        EXPECT_EQ(bundle->executablePath(), std::nullopt) << path.toStdString();
    }
}

TEST_F(BundleTest, DamagedInfoPlistOrPlainFileDoesNotOpen) {
    const QString damaged = makeBundle(m_dir.path(), QStringLiteral("Damaged"), QStringLiteral("x"));
    ASSERT_TRUE(writeFile(damaged + QStringLiteral("/Contents/Info.plist"), "<plist><dict><key>"));
    EXPECT_FALSE(Bundle::initWithPath(damaged));

    const QString arrayRoot = makeBundle(m_dir.path(), QStringLiteral("Array"), QStringLiteral("x"));
    ASSERT_TRUE(writeFile(arrayRoot + QStringLiteral("/Contents/Info.plist"),
                          "<plist version=\"1.0\"><array><string>x</string></array></plist>"));
    EXPECT_FALSE(Bundle::initWithPath(arrayRoot));

    ASSERT_TRUE(writeFile(at(QStringLiteral("plain.txt")), "text"));
    EXPECT_FALSE(Bundle::initWithPath(at(QStringLiteral("plain.txt"))));
    EXPECT_FALSE(Bundle::initWithPath(at(QStringLiteral("missing.app"))));
}

TEST_F(BundleTest, InfoPlistThatIsAFifoOrEndlessDeviceIsRejectedPromptly) {
    const QString fifo = makeBundle(m_dir.path(), QStringLiteral("Fifo"), QStringLiteral("x"));
    const QString fifoPlist = fifo + QStringLiteral("/Contents/Info.plist");
    ASSERT_TRUE(QFile::remove(fifoPlist));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifoPlist).constData(), 0600), 0);
    EXPECT_TRUE(rejectedWithinBounds(fifo));

    const QString endless = makeBundle(m_dir.path(), QStringLiteral("Zero"), QStringLiteral("x"));
    const QString endlessPlist = endless + QStringLiteral("/Contents/Info.plist");
    ASSERT_TRUE(QFile::remove(endlessPlist));
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/zero"), endlessPlist));
    EXPECT_TRUE(rejectedWithinBounds(endless));
}

TEST_F(BundleTest, DesktopEntryResolvesItsProgramThroughPathAndSymlinks) {
    const QString bin = at(QStringLiteral("bin"));
    ASSERT_TRUE(copyProgram(at(QStringLiteral("opt/real-tool"))));
    QDir().mkpath(bin);
    ASSERT_TRUE(QFile::link(at(QStringLiteral("opt/real-tool")), bin + QStringLiteral("/tool")));
    const QByteArray oldPath = qgetenv("PATH");
    qputenv("PATH", bin.toUtf8() + ':' + oldPath);

    const QString entry =
        makeDesktopEntry(at(QStringLiteral("tool.desktop")),
                         "Type=Application\nName=Handy Tool\nExec=tool --flag %U\nIcon=utilities-terminal\n");
    const auto bundle = Bundle::initWithPath(entry);
    qputenv("PATH", oldPath);

    ASSERT_TRUE(bundle);
    EXPECT_EQ(bundle->kind(), Bundle::Kind::desktopEntry);
    EXPECT_EQ(bundle->executablePath(), at(QStringLiteral("opt/real-tool")));
    EXPECT_EQ(bundle->displayName(), QStringLiteral("Handy Tool"));
    EXPECT_EQ(bundle->iconName(), QStringLiteral("utilities-terminal"));
}

TEST_F(BundleTest, DesktopEntryWithQuotedExecPathKeepsItsSpaces) {
    ASSERT_TRUE(copyProgram(at(QStringLiteral("my apps/run it"))));
    const QByteArray body =
        "Type=Application\nName=Spaced\nExec=\"" + at(QStringLiteral("my apps/run it")).toUtf8() + "\" %f\n";
    const auto bundle = Bundle::initWithPath(makeDesktopEntry(at(QStringLiteral("spaced.desktop")), body));
    ASSERT_TRUE(bundle);
    EXPECT_EQ(bundle->executablePath(), at(QStringLiteral("my apps/run it")));
}

TEST_F(BundleTest, DesktopEntriesThatAreNoRunnableApplication) {
    const auto noExec = Bundle::initWithPath(
        makeDesktopEntry(at(QStringLiteral("noexec.desktop")), "Type=Application\nName=No Exec\n"));
    if (noExec) {
        EXPECT_EQ(noExec->executablePath(), std::nullopt);
    }
    EXPECT_FALSE(Bundle::initWithPath(makeDesktopEntry(at(QStringLiteral("link.desktop")),
                                                       "Type=Link\nName=Web\nURL=https://example.org\n")));
    EXPECT_FALSE(Bundle::initWithPath(
        makeDesktopEntry(at(QStringLiteral("tryexec.desktop")),
                         "Type=Application\nName=T\nExec=sleep 1\nTryExec=/nonexistent/prog\n")));
    EXPECT_FALSE(Bundle::initWithPath(makeDesktopEntry(
        at(QStringLiteral("gone.desktop")), "Type=Application\nName=G\nExec=/nonexistent/prog\n")));
    ASSERT_TRUE(writeFile(at(QStringLiteral("garbage.desktop")), QByteArray("\xff\xfe\x00garbage", 10)));
    EXPECT_FALSE(Bundle::initWithPath(at(QStringLiteral("garbage.desktop"))));
}

} // namespace
