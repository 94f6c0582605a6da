// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// One column of a TableView: its identifier names the cell prototype that serves it.
class TableColumn final {
public:
    TableColumn(QString identifier, QString title, int width)
        : m_identifier(std::move(identifier))
        , m_title(std::move(title))
        , m_width(width) {}

    const QString& identifier() const { return m_identifier; }
    const QString& title() const { return m_title; }
    int width() const { return m_width; }
    void setWidth(int width) { m_width = width; }

private:
    QString m_identifier;
    QString m_title;
    int m_width;
};
