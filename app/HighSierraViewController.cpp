// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/HighSierraViewController.h"

#include "app/AppDelegate.h"
#include "app/CopiedFeedback.h"
#include "kernel/KextClient.h"
#include "platform/Dispatch.h"
#include "platform/Images.h"
#include "platform/Workspace.h"
#include "ui_highSierraViewController.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <cstdio>

namespace {

const QString securityPreferencesAddress =
    QStringLiteral("x-apple.systempreferences:com.apple.preference.security?General");
const QString guidePictureName = QStringLiteral("filter_service_guide");
constexpr QSize guidePictureSize(560, 200);
// A service that admits the person at the machine asks polkit first, which answers within a second.
constexpr std::chrono::milliseconds polkitVerdictWait{1500};

// For people who started Quilvane from a terminal.
void printLine(const QString& line) {
    const QByteArray bytes = (line + QLatin1Char('\n')).toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stderr);
    std::fflush(stderr);
}

} // namespace

HighSierraViewController::HighSierraViewController()
    : m_ui(std::make_unique<Ui::HighSierraViewController>())
    , m_check(&HighSierraViewController::isKextLoaded)
    , m_diagnosis([] { return FilterServiceStatus::probe(polkitVerdictWait); }) {}

HighSierraViewController::~HighSierraViewController() = default;

QUrl HighSierraViewController::securityPreferencesURL() {
    return QUrl(securityPreferencesAddress, QUrl::StrictMode);
}

QLabel* HighSierraViewController::screenshot() const {
    return isViewLoaded() ? m_ui->screenshot : nullptr;
}

QLabel* HighSierraViewController::preferencePathLabel() const {
    return isViewLoaded() ? m_ui->preferencePathLabel : nullptr;
}

QLineEdit* HighSierraViewController::commandField() const {
    return isViewLoaded() ? m_ui->commandField : nullptr;
}

QWidget* HighSierraViewController::loadView() {
    auto* view = new QWidget;
    m_ui->setupUi(view);
    if (const std::optional<QIcon> picture = Images::imageNamed(guidePictureName)) {
        // Drawn at twice its size on screen, so it stays sharp on high-density displays.
        m_ui->screenshot->setPixmap(picture->pixmap(guidePictureSize, view->devicePixelRatioF()));
    }
    if (const std::optional<QIcon> logo = Images::imageNamed(QStringLiteral("quilvane"))) {
        m_ui->logo->setPixmap(logo->pixmap(QSize(40, 40), view->devicePixelRatioF()));
    }
    QFont titleFont = m_ui->titleLabel->font();
    titleFont.setPointSizeF(16);
    titleFont.setBold(true);
    m_ui->titleLabel->setFont(titleFont);
    connect(m_ui->preferencesButton, &QPushButton::clicked, this,
            &HighSierraViewController::preferencesButtonClicked);
    connect(m_ui->copyButton, &QPushButton::clicked, this, &HighSierraViewController::copyButtonClicked);
    // Presses on the picture and on the labels are not taken by them and reach the view.
    view->installEventFilter(this);
    return view;
}

void HighSierraViewController::viewDidLoad() {
    ViewController::viewDidLoad();
    // The picture sits on an opaque light grey, whatever the widget style's window colour is.
    QPalette palette = m_ui->screenshot->palette();
    palette.setColor(QPalette::Window, QColor::fromRgbF(0.84f, 0.84f, 0.84f, 1.0f));
    m_ui->screenshot->setPalette(palette);
    m_ui->screenshot->setAutoFillBackground(true);

    // The first check comes one interval after loading, not at once.
    m_kextPoller = std::make_unique<QTimer>();
    m_kextPoller->setInterval(pollInterval);
    connect(m_kextPoller.get(), &QTimer::timeout, this, &HighSierraViewController::pollKext);
    m_kextPoller->start();

    // The launch has just looked at the service: the first frame says what it found, not the form's
    // fixed text.
    if (const std::shared_ptr<AppDelegate> delegate = AppDelegate::applicationDelegate()) {
        if (const auto state = delegate->launchServiceState();
            state && *state != FilterServiceStatus::State::answering) {
            showServiceState(*state);
            pollAfter(*state);
        }
    }
}

// Each check of a service that turns this user away is one more refusal in its log, and only an
// administrator (and a new login) changes the answer: the checks then come ever less often, as the
// client's own attempts do. Any other finding is checked again every second.
void HighSierraViewController::pollAfter(FilterServiceStatus::State state) {
    m_refusals = state == FilterServiceStatus::State::refused ? m_refusals + 1 : 0;
    const auto interval = m_refusals > 0 ? KextClient::delayAfterRefusals(m_refusals) : pollInterval;
    if (m_kextPoller && m_kextPoller->intervalAsDuration() != interval) {
        m_kextPoller->start(interval);
    }
}

bool HighSierraViewController::eventFilter(QObject* watched, QEvent* event) {
    if (!isViewLoaded()) {
        return ViewController::eventFilter(watched, event);
    }
    if (event->type() == QEvent::MouseButtonPress && watched == view()) {
        if (mouseDown(static_cast<QMouseEvent*>(event))) {
            event->accept();
            return true;
        }
        // Not taken: the press goes on to the window, whose background moves it.
        event->ignore();
        return false;
    }
    if (event->type() == QEvent::ParentChange && watched == view() && view()->window() != view()) {
        // The guide's dialogs go when its window closes, however it is closed.
        view()->window()->installEventFilter(this);
    }
    if (event->type() == QEvent::Close && watched == view()->window() && watched != view()) {
        closeOwnedDialogs();
    }
    return ViewController::eventFilter(watched, event);
}

bool HighSierraViewController::mouseDown(const QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        return false;
    }
    QWidget* view = this->view();
    // From the screen rather than the window: both frames are tested in the view's own coordinates.
    const QPoint point = view->mapFromGlobal(event->globalPosition().toPoint());
    const auto hits = [&](const QWidget* widget) {
        return widget->isVisible() && widget->geometry().contains(point);
    };
    if (hits(m_ui->screenshot) || hits(m_ui->preferencePathLabel)) {
        openSecurityPreferences();
        return true;
    }
    return false;
}

void HighSierraViewController::showServiceState(FilterServiceStatus::State state) {
    const bool changed = m_state != state;
    m_state = state;
    const FilterServiceStatus::Advice advice =
        FilterServiceStatus::advice(state, FilterServiceStatus::currentUserName());
    m_ui->titleLabel->setText(advice.title);
    m_ui->explanationLabel->setText(advice.explanation);
    m_ui->commandField->setText(advice.command);
    m_ui->commandField->setCursorPosition(0);
    // Starting the service helps only where it is not running; a refusal is for an administrator.
    const bool startHelps =
        state == FilterServiceStatus::State::notRunning || state == FilterServiceStatus::State::notInstalled;
    m_ui->preferencesButton->setVisible(startHelps);
    // The picture shows starting an installed service.
    m_ui->screenshot->setVisible(state == FilterServiceStatus::State::notRunning);
    m_ui->preferencePathLabel->setVisible(startHelps);
    m_ui->sourceLabel->setText(footnote(state));
    m_ui->sourceLabel->setVisible(!m_ui->sourceLabel->text().isEmpty());
    m_ui->statusLabel->setText(statusLine(state));
    if (changed) {
        printLine(FilterServiceStatus::terminalLine(advice));
    }
}

// The line beside the buttons: what the guide is doing about `state`.
QString HighSierraViewController::statusLine(FilterServiceStatus::State state) {
    switch (state) {
    case FilterServiceStatus::State::notInstalled:
        return tr("The filter service is not installed.");
    case FilterServiceStatus::State::refused:
        return tr("The filter service is running and does not let you in.");
    case FilterServiceStatus::State::notRunning:
    case FilterServiceStatus::State::answering:
        break;
    }
    return tr("Waiting for the filter service…");
}

// The small print under the guide. A refused user gets in only after a new login, so the guide
// promises to close by itself only where the service's start is all that is missing; the
// source-folder hint is only for someone running a build from the source folder.
QString HighSierraViewController::footnote(FilterServiceStatus::State state) {
    QStringList parts;
    if (runningFromBuildTree()) {
        parts.append(
            tr("Working from the source folder? <tt>./scripts/run</tt> starts the service and Quilvane "
               "together."));
    }
    if (state == FilterServiceStatus::State::notRunning ||
        state == FilterServiceStatus::State::notInstalled) {
        parts.append(tr("This window closes by itself as soon as the service answers; there is no need to "
                        "restart Quilvane."));
    }
    return parts.join(QLatin1Char(' '));
}

// A build folder has CMake's cache one level above the program's own folder (build/app/quilvane).
bool HighSierraViewController::runningFromBuildTree() {
    return QFileInfo::exists(QCoreApplication::applicationDirPath() + QStringLiteral("/../CMakeCache.txt"));
}

void HighSierraViewController::copyButtonClicked() {
    QGuiApplication::clipboard()->setText(m_ui->commandField->text());
    CopiedFeedback::show(m_ui->copyButton);
}

void HighSierraViewController::preferencesButtonClicked() {
    openSecurityPreferences();
}

void HighSierraViewController::pollKext() {
    // A check that takes longer than the interval must not run beside the next one: both would
    // open and close the shared client's socket.
    if (m_checkRunning || m_ended) {
        return;
    }
    m_checkRunning = true;
    ++m_checksStarted;
    Dispatch::async(Dispatch::Queue::background,
                    [check = m_check, diagnosis = m_diagnosis, self = QPointer(this)] {
                        // A service that will hang up on this user must not end the guide.
                        const FilterServiceStatus::State state = diagnosis();
                        const bool loaded = state == FilterServiceStatus::State::answering && check();
                        Dispatch::async(Dispatch::Queue::main, [self, state, loaded] {
                            if (self) {
                                self->checkFinished(state, loaded);
                            }
                        });
                    });
}

void HighSierraViewController::checkFinished(FilterServiceStatus::State state, bool loaded) {
    m_checkRunning = false;
    if (loaded) {
        kextWasLoaded();
        return;
    }
    if (state != FilterServiceStatus::State::answering) {
        showServiceState(state);
    }
    pollAfter(state);
}

bool HighSierraViewController::isKextLoaded() {
    KextClient& client = KextClient::shared();
    client.connectIfNeeded();
    return client.socket() != 0;
}

void HighSierraViewController::kextWasLoaded() {
    if (m_ended) {
        return;
    }
    m_ended = true;
    m_kextPoller.reset();
    // The main window must be open before this one closes: closing the last window quits. The check
    // has just found the service answering, so the launch takes that as its finding.
    const std::shared_ptr<AppDelegate> delegate = AppDelegate::applicationDelegate();
    if (delegate) {
        delegate->launchWithServiceState(FilterServiceStatus::State::answering);
    }
    if (!delegate || !delegate->mainWindowShown()) {
        // The service closed the connection between the check and the launch (too many clients of
        // this user, say): no main window opened, so the guide stays and goes on checking, rather
        // than leaving the application without a window.
        resumeAfterFailedHandOver();
        return;
    }
    if (isViewLoaded()) {
        closeOwnedDialogs();
        QWidget* window = view()->window();
        if (window != view()) {
            window->close();
        }
    }
}

void HighSierraViewController::resumeAfterFailedHandOver() {
    m_ended = false;
    m_kextPoller = std::make_unique<QTimer>();
    m_kextPoller->setInterval(pollInterval);
    connect(m_kextPoller.get(), &QTimer::timeout, this, &HighSierraViewController::pollKext);
    m_kextPoller->start();
    if (isViewLoaded()) {
        m_ui->statusLabel->setText(tr("The filter service answered, then closed the connection; trying "
                                      "again…"));
    }
    printLine(QStringLiteral("quilvane: the filter service answered, then closed the connection before "
                             "the main window could open; the guide stays and tries again"));
}

// Dialogs opened from the guide (the service settings) are children of its window.
void HighSierraViewController::closeOwnedDialogs() {
    for (QDialog* dialog : view()->window()->findChildren<QDialog*>()) {
        dialog->close();
    }
}

void HighSierraViewController::openSecurityPreferences() {
    const QUrl url = securityPreferencesURL();
    if (url.isValid()) {
        Workspace::openURL(url);
    }
}
