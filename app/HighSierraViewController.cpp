#include "app/HighSierraViewController.h"

#include "app/AppDelegate.h"
#include "kernel/KextClient.h"
#include "platform/Dispatch.h"
#include "platform/Images.h"
#include "platform/Workspace.h"
#include "ui_highSierraViewController.h"

#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

namespace {

const QString securityPreferencesAddress =
    QStringLiteral("x-apple.systempreferences:com.apple.preference.security?General");
const QString guidePictureName = QStringLiteral("filter_service_guide");
constexpr QSize guidePictureSize(560, 200);

} // namespace

HighSierraViewController::HighSierraViewController()
    : m_ui(std::make_unique<Ui::HighSierraViewController>())
    , m_check(&HighSierraViewController::isKextLoaded) {}

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

QWidget* HighSierraViewController::loadView() {
    auto* view = new QWidget;
    m_ui->setupUi(view);
    if (const std::optional<QIcon> picture = Images::imageNamed(guidePictureName)) {
        // Drawn at twice its size on screen, so it stays sharp on high-density displays.
        m_ui->screenshot->setPixmap(picture->pixmap(guidePictureSize, view->devicePixelRatioF()));
    }
    connect(m_ui->preferencesButton, &QPushButton::clicked, this,
            &HighSierraViewController::preferencesButtonClicked);
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
}

bool HighSierraViewController::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonPress && isViewLoaded() && watched == view()) {
        mouseDown(static_cast<QMouseEvent*>(event));
        event->accept();
        return true;
    }
    return ViewController::eventFilter(watched, event);
}

void HighSierraViewController::mouseDown(const QMouseEvent* event) {
    QWidget* view = this->view();
    // From the screen rather than the window: both frames are tested in the view's own coordinates.
    const QPoint point = view->mapFromGlobal(event->globalPosition().toPoint());
    if (m_ui->screenshot->geometry().contains(point)) {
        openSecurityPreferences();
    } else if (m_ui->preferencePathLabel->geometry().contains(point)) {
        openSecurityPreferences();
    }
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
    Dispatch::async(Dispatch::Queue::background, [check = m_check, self = QPointer(this)] {
        const bool loaded = check();
        Dispatch::async(Dispatch::Queue::main, [self, loaded] {
            if (self) {
                self->checkFinished(loaded);
            }
        });
    });
}

void HighSierraViewController::checkFinished(bool loaded) {
    m_checkRunning = false;
    if (loaded) {
        kextWasLoaded();
    }
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
    // The main window must be open before this one closes: closing the last window quits.
    if (const std::shared_ptr<AppDelegate> delegate = AppDelegate::applicationDelegate()) {
        delegate->launchApp();
    }
    if (isViewLoaded()) {
        QWidget* window = view()->window();
        if (window != view()) {
            window->close();
        }
    }
}

void HighSierraViewController::openSecurityPreferences() {
    const QUrl url = securityPreferencesURL();
    if (url.isValid()) {
        Workspace::openURL(url);
    }
}
