// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/widgets/TableColumn.h"

#include <QAbstractScrollArea>
#include <QHash>
#include <QList>
#include <QPointer>
#include <functional>
#include <memory>
#include <vector>

class TableViewDataSource;

// A view-based table: every cell is a widget made by the data source from a registered prototype.
// Like the platform table it stands in for, it keeps cell views only for the rows on screen (recycling
// the others), so tens of thousands of rows scroll smoothly; rows have one fixed height. Rows are
// inserted and removed one index at a time by the controller (with an optional fade), or all reloaded.
//
// Rows can be selected as in the platform's table: a click selects one row, Ctrl+click toggles a
// row, Shift+click extends from the last clicked row, a click below the rows selects none, and the
// arrow keys move the selection. The table keeps presses on its rows and its empty part for itself,
// so they never reach the window's background. The keyboard's focus passes the rows' controls in the
// order of the rows, whichever recycled cell shows which row.
class TableView : public QAbstractScrollArea {
    Q_OBJECT
public:
    enum class Animation { none = 0, fade = 1 };
    using CellFactory = std::function<QWidget*()>;

    explicit TableView(QWidget* parent = nullptr);
    ~TableView() override;

    void setDataSource(TableViewDataSource* dataSource);
    TableViewDataSource* dataSource() const { return m_dataSource; }

    // Columns, left to right; the last one stretches to the table's width.
    void addTableColumn(const QString& identifier, const QString& title = {}, int width = 100);
    int numberOfColumns() const { return static_cast<int>(m_columns.size()); }
    const TableColumn* tableColumn(int index) const;
    // The column with this identifier, or nullptr.
    const TableColumn* tableColumnWithIdentifier(const QString& identifier) const;

    // Cell prototypes by identifier; makeViewWithIdentifier returns a recycled view of that kind or
    // a new one from the factory (nullptr for an unknown identifier). `owner` is the controller the
    // cell's actions go to; it is recorded as the view's "owner" property.
    void registerCellPrototype(const QString& identifier, CellFactory factory);
    QWidget* makeViewWithIdentifier(const QString& identifier, QObject* owner);

    void setRowHeight(int height);
    int rowHeight() const { return m_rowHeight; }

    // The number of rows as last told by the data source.
    int numberOfRows() const { return m_rowCount; }

    // Asks the data source for the row count again and rebuilds every visible cell.
    void reloadData();
    // One row appears at `row` (the data source already counts it); later rows move down. When the
    // row is out of range, or the data source does not count one row more, the table reloads instead.
    void insertRow(int row, Animation animation = Animation::none);
    // The row at `row` goes away (the data source no longer counts it); later rows move up.
    void removeRow(int row, Animation animation = Animation::none);

    // The cell view of a column and row: the existing one, or (makeIfNecessary) one made now when the
    // row is on screen; nullptr for rows off screen or out of range.
    QWidget* viewAtColumn(int column, int row, bool makeIfNecessary);
    // The row whose cell contains `view` (or one of its ancestors), or -1.
    int rowForView(const QWidget* view) const;

    // The selected rows, ascending; selecting reports selectionDidChange() when the set changes.
    QList<int> selectedRowIndexes() const;
    void selectRowIndexes(const QList<int>& rows, bool byExtendingSelection = false);
    void deselectAll();
    // A dimmed table is drawn faded, as a disabled one is, while its rows still answer the pointer
    // (the firewall's list while the firewall is off: its entries can still be removed).
    void setDimmed(bool dimmed);
    bool isDimmed() const;

    // The row under a point of the viewport, or -1.
    int rowAtPoint(const QPoint& point) const;

    // Scrolls so that the row is visible.
    void scrollRowToVisible(int row);
    // The rows that currently have cell views, first to last.
    QList<int> visibleRows() const;

Q_SIGNALS:
    // Emitted after a fade animation has finished (tests and screenshots wait on it): once per faded
    // insertRow/removeRow, from the event loop even when the row was off screen and nothing faded.
    void animationFinished();
    void selectionDidChange();
    // Delete or Backspace was pressed while the table had the keyboard's focus.
    void deleteKeyPressed();
    // A context menu was asked for over `row` (by the pointer, which has selected that row) or, from
    // the keyboard, for the first selected row; -1 when there is no row.
    void rowMenuRequested(int row, const QPoint& globalPosition);

protected:
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    bool viewportEvent(QEvent* event) override;

private:
    void setSelection(QList<int> rows);

    struct Private;
    std::unique_ptr<Private> d;
    TableViewDataSource* m_dataSource = nullptr;
    std::vector<TableColumn> m_columns;
    int m_rowHeight = 44;
    int m_rowCount = 0;
};
