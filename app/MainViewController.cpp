// SPDX-License-Identifier: GPL-3.0-or-later
#include "resources/SceneIdentifiers.h"
#include "app/MainViewController.h"

#include "platform/Images.h"
#include "platform/widgets/Storyboard.h"
#include "ui_mainViewController.h"

#include <QLabel>
#include <QLayout>
#include <QTabWidget>

namespace {

constexpr int firewallTab = 0;
constexpr int monitorTab = 1;
constexpr int logoSize = 40;

} // namespace

MainViewController::MainViewController()
    : m_ui(std::make_unique<Ui::MainViewController>()) {}

MainViewController::~MainViewController() = default;

QTabWidget* MainViewController::tabView() const {
    return isViewLoaded() ? m_ui->tabView : nullptr;
}

void MainViewController::setSelectedTabIndex(qint64 index) {
    if (index == m_selectedTabIndex) {
        return;
    }
    m_selectedTabIndex = index;
    Q_EMIT selectedTabIndexChanged(index);
}

QWidget* MainViewController::loadView() {
    auto* view = new QWidget;
    m_ui->setupUi(view);
    if (const std::optional<QIcon> icon = Images::imageNamed(QStringLiteral("quilvane"))) {
        m_ui->logoImageView->setPixmap(icon->pixmap(logoSize * 2, logoSize * 2));
    }
    // The selected tab and selectedTabIndex follow each other, in both directions.
    connect(m_ui->tabView, &QTabWidget::currentChanged, this,
            [this](int index) { setSelectedTabIndex(index); });
    connect(this, &MainViewController::selectedTabIndexChanged, m_ui->tabView, [this](qint64 index) {
        if (index >= 0 && index < m_ui->tabView->count()) {
            m_ui->tabView->setCurrentIndex(static_cast<int>(index));
        }
    });
    return view;
}

void MainViewController::viewDidLoad() {
    ViewController::viewDidLoad();
    // The form always provides both tabs; anything else is a broken build of the resources.
    if (!m_ui->tabView || m_ui->tabView->count() < 2) {
        qFatal("the main view's resources lack the tab view with its two tabs");
    }
    m_firewallViewController = installPane(firewallTab, SceneIdentifiers::firewallViewController(),
                                           tr("The firewall pane is not part of this build."));
    m_monitorViewController = installPane(monitorTab, SceneIdentifiers::monitorViewController(),
                                          tr("The network monitor pane is not part of this build."));
}

// The tab receives the pane's view (loading it runs the pane's own viewDidLoad).
std::shared_ptr<ViewController> MainViewController::installPane(int tabIndex, const QString& identifier,
                                                                const QString& missingText) {
    QWidget* page = m_ui->tabView->widget(tabIndex);
    const std::shared_ptr<ViewController> pane =
        storyboard() ? storyboard()->instantiate<ViewController>(identifier) : nullptr;
    QWidget* content = pane ? pane->view() : nullptr;
    if (!content) {
        auto* note = new QLabel(missingText);
        note->setAlignment(Qt::AlignCenter);
        note->setObjectName(identifier + QStringLiteral("Placeholder"));
        content = note;
    }
    page->layout()->addWidget(content);
    return pane;
}
