// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/ErrorViewController.h"

#include "app/AppDelegate.h"
#include "app/CopiedFeedback.h"
#include "app/UpdatePage.h"
#include "platform/Images.h"
#include "ui_errorViewController.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPushButton>
#include <cstdio>

ErrorViewController::ErrorViewController()
    : m_ui(std::make_unique<Ui::ErrorViewController>()) {}

ErrorViewController::~ErrorViewController() = default;

QWidget* ErrorViewController::loadView() {
    auto* view = new QWidget;
    m_ui->setupUi(view);
    if (const std::optional<QIcon> icon = Images::imageNamed(QStringLiteral("quilvane"))) {
        m_ui->iconLabel->setPixmap(icon->pixmap(96, 96));
    }
    connect(m_ui->downloadButton, &QPushButton::clicked, this, &ErrorViewController::downloadButtonClicked);
    connect(m_ui->copyButton, &QPushButton::clicked, this, &ErrorViewController::copyButtonClicked);
    // What the launch found, which waited for a polkit verdict off the main thread; only without a
    // launch (a window made on its own) a quick look, which waits for nothing.
    const std::shared_ptr<AppDelegate> delegate = AppDelegate::applicationDelegate();
    const std::optional<FilterServiceStatus::State> launched =
        delegate ? delegate->launchServiceState() : std::nullopt;
    const FilterServiceStatus::State state =
        launched ? *launched : FilterServiceStatus::probe(std::chrono::milliseconds(0));
    showServiceState(state);
    // Also for people who started Quilvane from a terminal, as the guide does.
    const QByteArray line = (FilterServiceStatus::terminalLine(
                                 FilterServiceStatus::advice(state, FilterServiceStatus::currentUserName())) +
                             QLatin1Char('\n'))
                                .toLocal8Bit();
    std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), stderr);
    std::fflush(stderr);
    return view;
}

void ErrorViewController::showServiceState(FilterServiceStatus::State state) {
    const FilterServiceStatus::Advice advice =
        FilterServiceStatus::advice(state, FilterServiceStatus::currentUserName());
    m_ui->titleLabel->setText(QStringLiteral("<span style=\"font-size:16pt; font-weight:600\">%1</span>")
                                  .arg(advice.title.toHtmlEscaped()));
    m_ui->messageLabel->setText(advice.explanation);
    m_ui->commandField->setText(advice.command);
    m_ui->commandField->setVisible(!advice.command.isEmpty());
    m_ui->copyButton->setVisible(!advice.command.isEmpty());
    // A newer version helps only against a service that answers another version's protocol.
    m_ui->downloadButton->setVisible(state == FilterServiceStatus::State::answering);
}

QString ErrorViewController::title() const {
    return isViewLoaded() ? m_ui->titleLabel->text() : QString();
}

QString ErrorViewController::message() const {
    return isViewLoaded() ? m_ui->messageLabel->text() : QString();
}

QString ErrorViewController::command() const {
    return isViewLoaded() ? m_ui->commandField->text() : QString();
}

void ErrorViewController::copyButtonClicked() {
    QGuiApplication::clipboard()->setText(m_ui->commandField->text());
    CopiedFeedback::show(m_ui->copyButton);
}

void ErrorViewController::downloadButtonClicked() {
    openUpdatePage();
}
