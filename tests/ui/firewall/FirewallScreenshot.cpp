// SPDX-License-Identifier: GPL-3.0-or-later
// Draws the firewall pane with a few blocked applications (a bundle, a desktop entry and a bare
// process name) and saves it as a PNG, for the documentation. Runs in a temporary home so that it
// never reads or writes the user's settings:
//
//   QT_QPA_PLATFORM=offscreen firewall_screenshot docs/firewall.png

#include "model/App.h"
#include "model/Blacklist.h"
#include "model/RefusedAttempts.h"
#include "platform/UserDefaults.h"
#include "platform/widgets/TableView.h"
#include "tests/platform/PackageFixtures.h"
#include "ui/firewall/FirewallViewController.h"

#include <QApplication>
#include <QDir>
#include <QPainter>
#include <QPainterPath>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>

namespace {

// A simple 64-pixel icon: a rounded square in `color` with one letter on it.
bool drawIcon(const QString& path, const QColor& color, const QString& letter) {
    QImage image(64, 64, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(4, 4, 56, 56), 13, 13);
    painter.fillPath(shape, color);
    QFont font = painter.font();
    font.setPixelSize(34);
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(QRect(4, 4, 56, 56), Qt::AlignCenter, letter);
    painter.end();
    QDir().mkpath(QFileInfo(path).absolutePath());
    return image.save(path);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2 || QByteArray(argv[1]) == "--help") {
        std::fprintf(stderr, "usage: %s OUTPUT.png\n", argv[0]);
        return argc == 2 ? EXIT_SUCCESS : EXIT_FAILURE;
    }
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/quilvane-demo-XXXXXX"));
    if (!home.isValid()) {
        std::fprintf(stderr, "firewall_screenshot: cannot create a temporary folder\n");
        return EXIT_FAILURE;
    }
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/.config")).toUtf8());
    qputenv("XDG_DATA_HOME", (home.path() + QStringLiteral("/.local/share")).toUtf8());
    qputenv("XDG_RUNTIME_DIR", home.path().toUtf8());
    qputenv("QUILVANE_CONTROL_DIR", (home.path() + QStringLiteral("/no-filter")).toUtf8());
    QApplication application(argc, argv);
    UserDefaults::standard().registerDefaults({{QStringLiteral("enableFirewall"), true}});

    const QString apps = home.path() + QStringLiteral("/Applications");
    const QString bundle =
        PackageFixtures::makeBundle(apps, QStringLiteral("Mail Reader"), QStringLiteral("mailreader"), true,
                                    QStringLiteral("<key>CFBundleIconFile</key><string>mail.png</string>\n"));
    drawIcon(bundle + QStringLiteral("/Contents/Resources/mail.png"), QColor(0x2f, 0x6f, 0xd6),
             QStringLiteral("M"));

    const QString chatIcon = home.path() + QStringLiteral("/icons/chat.png");
    drawIcon(chatIcon, QColor(0x2e, 0xa0, 0x5a), QStringLiteral("C"));
    const QString chatProgram = home.path() + QStringLiteral("/bin/chat-client");
    PackageFixtures::copyProgram(chatProgram);
    const QString entry = PackageFixtures::makeDesktopEntry(
        apps + QStringLiteral("/chat.desktop"), "Type=Application\nName=Chat\nExec=" + chatProgram.toUtf8() +
                                                    " %U\nIcon=" + chatIcon.toUtf8() + "\n");

    const AppPtr chat = App::initWithPath(entry);
    for (const AppPtr& app :
         {App::initWithPath(bundle), chat, App::initWithIdentifier(QStringLiteral("curl"))}) {
        if (!app) {
            std::fprintf(stderr, "firewall_screenshot: could not make the sample applications\n");
            return EXIT_FAILURE;
        }
        Blacklist::shared().block(app);
    }
    // The chat program kept trying after it was blocked: three attempts, the last at 10:42:07.
    const QDateTime lastAttempt(QDate::currentDate(), QTime(10, 42, 7));
    for (int attempt = 2; attempt >= 0; --attempt) {
        RefusedAttempts::shared().record(chat->identifierKey(), lastAttempt.addSecs(-attempt * 20));
    }

    auto pane = std::make_shared<FirewallViewController>();
    QWidget* view = pane->view();
    view->resize(620, 330);
    view->show();
    QApplication::processEvents();
    const QString output = QString::fromLocal8Bit(argv[1]);
    if (!view->grab().save(output)) {
        std::fprintf(stderr, "firewall_screenshot: cannot write %s\n", argv[1]);
        return EXIT_FAILURE;
    }
    std::printf("%s\n", argv[1]);
    return EXIT_SUCCESS;
}
