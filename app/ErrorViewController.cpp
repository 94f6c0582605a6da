#include "app/ErrorViewController.h"

#include "app/UpdatePage.h"
#include "platform/Images.h"
#include "ui_errorViewController.h"

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
    return view;
}

void ErrorViewController::downloadButtonClicked() {
    openUpdatePage();
}
