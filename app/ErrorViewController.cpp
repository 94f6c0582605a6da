// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/ErrorViewController.h"

#include "app/UpdatePage.h"
#include "platform/Images.h"
#include "ui_errorViewController.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPushButton>

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
    // Only a quick look: a polkit verdict is not waited for in the window's first paint.
    showServiceState(FilterServiceStatus::probe(std::chrono::milliseconds(0)));
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
}

void ErrorViewController::downloadButtonClicked() {
    openUpdatePage();
}
