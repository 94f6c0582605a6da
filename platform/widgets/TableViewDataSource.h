// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

class QWidget;
class TableView;
class TableColumn;

// What a TableView asks its controller: how many rows there are, and the view of one cell. The
// controller makes cell views with TableView::makeViewWithIdentifier and fills them; returning nullptr
// leaves the cell empty.
class TableViewDataSource {
public:
    virtual ~TableViewDataSource() = default;

    virtual int numberOfRowsInTableView(TableView* tableView) = 0;
    virtual QWidget* viewForTableColumn(TableView* tableView, const TableColumn* column, int row) = 0;
};
