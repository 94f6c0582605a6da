// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/firewall/FirewallView.h"

#include "tests/support/QtPrinters.h"
#include "tests/ui/firewall/FirewallPaneFixture.h"
#include "ui/firewall/DraggingInfo.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLabel>
#include <QMimeData>
#include <QWindow>

namespace {

constexpr unsigned copyOperation = DraggingInfo::operationCopy;
constexpr unsigned moveOperation = Qt::MoveAction;
constexpr unsigned linkOperation = Qt::LinkAction;

std::unique_ptr<QMimeData> filesData(const QStringList& paths) {
    auto data = std::make_unique<QMimeData>();
    QList<QUrl> urls;
    for (const QString& path : paths) {
        urls.append(QUrl::fromLocalFile(path));
    }
    data->setUrls(urls);
    return data;
}

DraggingInfo filesDrag(const QStringList& paths, unsigned mask = copyOperation) {
    return DraggingInfo::fromMimeData(filesData(paths).get(), mask);
}

// What the window system does while the user drags over a window and lets go: the window gets an
// enter and a move event at the pointer, then the drop (or a leave). Qt's window finds the widget
// under the pointer that takes drops, as it does for a real drag.
struct DragResult {
    bool enterAccepted = false;
    Qt::DropAction enterAction = Qt::IgnoreAction;
    bool dropAccepted = false;
};

DragResult dragAndDrop(QWidget& target, QPoint windowPosition, const QMimeData& data,
                       Qt::DropActions actions) {
    QWindow* window = target.window()->windowHandle();
    DragResult result;
    QDragEnterEvent enter(windowPosition, actions, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window, &enter);
    QDragMoveEvent move(windowPosition, actions, &data, Qt::LeftButton, Qt::NoModifier);
    if (enter.isAccepted() && (actions & enter.dropAction())) {
        move.setDropAction(enter.dropAction());
        move.accept();
    } else {
        move.ignore();
    }
    QCoreApplication::sendEvent(window, &move);
    result.enterAccepted = move.isAccepted();
    result.enterAction = move.dropAction();
    if (!result.enterAccepted) {
        QDragLeaveEvent leave;
        QCoreApplication::sendEvent(window, &leave);
        return result;
    }
    QDropEvent drop(windowPosition, actions, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window, &drop);
    result.dropAccepted = drop.isAccepted();
    return result;
}

} // namespace

TEST(DraggingInfoTest, ReadsLocalFilePathsFromAUriList) {
    QMimeData data;
    data.setData(QStringLiteral("text/uri-list"), "# dragged from a file manager\r\n"
                                                  "file:///opt/My%20Apps/Caf%C3%A9.app\r\n"
                                                  "file:///usr/share/applications/editor.desktop\r\n");
    const DraggingInfo info = DraggingInfo::fromMimeData(&data, copyOperation);

    EXPECT_TRUE(info.types().contains(QStringLiteral("text/uri-list")));
    EXPECT_EQ(info.fileNames(), (QStringList{QStringLiteral("/opt/My Apps/Caf\u00e9.app"),
                                             QStringLiteral("/usr/share/applications/editor.desktop")}));
    EXPECT_EQ(info.sourceOperationMask(), copyOperation);
}

TEST(DraggingInfoTest, FileListIsUnreadableWithoutLocalFiles) {
    QMimeData text;
    text.setText(QStringLiteral("/usr/bin/curl"));
    EXPECT_FALSE(DraggingInfo::fromMimeData(&text, copyOperation).fileNames().has_value());

    QMimeData web;
    web.setUrls(
        {QUrl::fromLocalFile(QStringLiteral("/usr/bin/curl")), QUrl(QStringLiteral("https://example.com/"))});
    EXPECT_FALSE(DraggingInfo::fromMimeData(&web, copyOperation).fileNames().has_value());

    EXPECT_FALSE(DraggingInfo::fromMimeData(nullptr, copyOperation).fileNames().has_value());

    QMimeData empty;
    empty.setData(QStringLiteral("text/uri-list"), QByteArray());
    EXPECT_EQ(DraggingInfo::fromMimeData(&empty, copyOperation).fileNames(), QStringList());
}

TEST(FirewallViewDragTest, EntryOffersCopyOnlyForFileDragsThatAllowCopying) {
    FirewallView view;
    QMimeData text;
    text.setText(QStringLiteral("hello"));
    QMimeData image;
    image.setImageData(QImage(4, 4, QImage::Format_ARGB32));

    EXPECT_EQ(view.draggingEntered(DraggingInfo({}, std::nullopt, copyOperation)),
              DraggingInfo::operationNone);
    EXPECT_EQ(view.draggingEntered(DraggingInfo::fromMimeData(&text, copyOperation)),
              DraggingInfo::operationNone);
    EXPECT_EQ(view.draggingEntered(DraggingInfo::fromMimeData(&image, copyOperation)),
              DraggingInfo::operationNone);
    EXPECT_EQ(view.draggingEntered(filesDrag({QStringLiteral("/bin/ls")}, copyOperation)), copyOperation);
    EXPECT_EQ(view.draggingEntered(filesDrag({QStringLiteral("/bin/ls")}, copyOperation | moveOperation)),
              copyOperation);
    EXPECT_EQ(view.draggingEntered(filesDrag({QStringLiteral("/bin/ls")}, moveOperation)),
              DraggingInfo::operationNone);
    EXPECT_EQ(view.draggingEntered(filesDrag({QStringLiteral("/bin/ls")}, moveOperation | linkOperation)),
              DraggingInfo::operationNone);

    EXPECT_TRUE(FirewallView::operationAllowed(copyOperation, copyOperation | moveOperation));
    EXPECT_FALSE(FirewallView::operationAllowed(copyOperation, moveOperation | linkOperation));
    EXPECT_FALSE(FirewallView::operationAllowed(0, ~0u));
}

TEST_F(FirewallPaneTest, DropBlocksApplicationsAndProgramsAndSkipsOtherFiles) {
    auto pane = loadPane();
    auto* view = qobject_cast<FirewallView*>(pane->view());
    ASSERT_NE(view, nullptr);
    const QString bundle = makeBundle(QStringLiteral("Mail Reader"), QStringLiteral("mailreader"));
    const QString notes = makeTextFile(QStringLiteral("notes.txt"));
    const QString program = makeExecutable(QStringLiteral("fetch"));

    EXPECT_TRUE(view->performDragOperation(filesDrag({bundle, notes, program})));

    EXPECT_EQ(shownIdentifiers(*pane), (QStringList{bundle, program}));
    EXPECT_EQ(Blacklist::shared().identifiers(), (QStringList{bundle, program}));
}

TEST_F(FirewallPaneTest, DropOfMissingOrNoFilesIsTakenButAddsNothing) {
    auto pane = loadPane();
    auto* view = qobject_cast<FirewallView*>(pane->view());
    ASSERT_NE(view, nullptr);

    EXPECT_TRUE(view->performDragOperation(filesDrag({path(QStringLiteral("deleted/Gone.app"))})));
    EXPECT_TRUE(view->performDragOperation(
        DraggingInfo({DraggingInfo::fileNamesType()}, QStringList(), copyOperation)));
    EXPECT_FALSE(view->performDragOperation(
        DraggingInfo({QStringLiteral("text/plain")}, std::nullopt, copyOperation)));

    EXPECT_EQ(pane->tableView()->numberOfRows(), 0);
    EXPECT_TRUE(Blacklist::shared().apps().isEmpty());
}

TEST_F(FirewallPaneTest, FilesDraggedOverARowIconLandOnThePane) {
    Blacklist::shared().block(App::initWithIdentifier(QStringLiteral("backupd")));
    auto pane = loadPane();
    FirewallTableCellView* cell = cellAt(*pane, 0);
    ASSERT_NE(cell, nullptr);
    QWidget* window = pane->view()->window();
    const QPoint overIcon = cell->imageView()->mapTo(window, cell->imageView()->rect().center());
    ASSERT_EQ(window->childAt(overIcon), cell->imageView());
    const QString entry = makeDesktopEntry(QStringLiteral("chat.desktop"), QStringLiteral("Chat"),
                                           QStringLiteral("chatprogram"));

    const DragResult result =
        dragAndDrop(*pane->view(), overIcon, *filesData({entry}), Qt::CopyAction | Qt::MoveAction);

    EXPECT_TRUE(result.enterAccepted);
    EXPECT_EQ(result.enterAction, Qt::CopyAction);
    EXPECT_TRUE(result.dropAccepted);
    EXPECT_EQ(shownIdentifiers(*pane), (QStringList{QStringLiteral("backupd"), entry}));
}

TEST_F(FirewallPaneTest, DragsWithoutFilesOrWithoutCopyAreRefusedOnEntry) {
    auto pane = loadPane();
    const QPoint overTable =
        pane->tableView()->mapTo(pane->view()->window(), pane->tableView()->rect().center());
    const QString program = makeExecutable(QStringLiteral("fetch"));
    QMimeData text;
    text.setText(program);

    const DragResult textDrag = dragAndDrop(*pane->view(), overTable, text, Qt::CopyAction);
    const DragResult moveOnly = dragAndDrop(*pane->view(), overTable, *filesData({program}), Qt::MoveAction);

    EXPECT_FALSE(textDrag.enterAccepted);
    EXPECT_FALSE(moveOnly.enterAccepted);
    EXPECT_EQ(pane->tableView()->numberOfRows(), 0);
    EXPECT_TRUE(Blacklist::shared().apps().isEmpty());
}

TEST_F(FirewallPaneTest, DropWhoseFileListCannotBeReadIsRefused) {
    auto pane = loadPane();
    const QPoint overTable =
        pane->tableView()->mapTo(pane->view()->window(), pane->tableView()->rect().center());
    const QString program = makeExecutable(QStringLiteral("fetch"));
    QMimeData mixed;
    mixed.setUrls({QUrl::fromLocalFile(program), QUrl(QStringLiteral("https://example.com/download"))});

    const DragResult result = dragAndDrop(*pane->view(), overTable, mixed, Qt::CopyAction);

    EXPECT_TRUE(result.enterAccepted);
    EXPECT_FALSE(result.dropAccepted);
    EXPECT_TRUE(Blacklist::shared().apps().isEmpty());
}
