// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/widgets/TableView.h"

#include "platform/widgets/TableViewDataSource.h"
#include "tests/support/TestEnvironment.h"

#include <QGraphicsEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <gtest/gtest.h>
#include <map>

namespace {

// A row cell as a controller would make it: a label for the text and a button whose action looks
// its row up through the table.
class RowCell final : public QWidget {
public:
    RowCell()
        : label(new QLabel(this))
        , button(new QPushButton(QStringLiteral("x"), this)) {
        auto* layout = new QHBoxLayout(this);
        layout->addWidget(label);
        layout->addWidget(button);
    }
    QLabel* label;
    QPushButton* button;
};

// The controller side of a table: a list of texts, and a record of what the table asked for.
class TextRows final : public TableViewDataSource {
public:
    int numberOfRowsInTableView(TableView*) override { return static_cast<int>(texts.size()); }

    QWidget* viewForTableColumn(TableView* table, const TableColumn* column, int row) override {
        ++asked[row];
        if (emptyRows.contains(row)) {
            return nullptr;
        }
        QWidget* cell = table->makeViewWithIdentifier(column->identifier(), nullptr);
        auto* rowCell = dynamic_cast<RowCell*>(cell);
        if (!rowCell) {
            return nullptr;
        }
        rowCell->label->setText(texts[row]);
        return rowCell;
    }

    QStringList texts;
    QSet<int> emptyRows;
    std::map<int, int> asked;
};

class TableViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        table.resize(320, 600 + 2 * table.frameWidth());
        table.setRowHeight(44);
        table.registerCellPrototype(QStringLiteral("cell"), [this] {
            ++made;
            return new RowCell;
        });
        table.addTableColumn(QStringLiteral("cell"));
        table.show();
    }

    void fill(int count) {
        source.texts.clear();
        for (int row = 0; row < count; ++row) {
            source.texts.append(QStringLiteral("row %1").arg(row));
        }
        table.setDataSource(&source);
        source.asked.clear();
    }

    QList<RowCell*> liveCells() const {
        QList<RowCell*> live;
        for (QWidget* child : table.viewport()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            // RowCell has no meta-object of its own, so findChildren<RowCell*> would match any widget.
            auto* cell = dynamic_cast<RowCell*>(child);
            if (cell && cell->isVisible()) {
                live.append(cell);
            }
        }
        return live;
    }

    // Every cell on screen shows the text of the row the table says it is in, at that row's place.
    void expectCellsMatchRows() const {
        const int top = table.verticalScrollBar()->value();
        for (RowCell* cell : liveCells()) {
            const int row = table.rowForView(cell);
            ASSERT_GE(row, 0) << "a cell on screen outside the table's rows";
            EXPECT_EQ(cell->label->text(), source.texts[row]) << "row " << row;
            EXPECT_EQ(cell->y(), row * table.rowHeight() - top) << "row " << row;
        }
    }

    TableView table;
    TextRows source;
    int made = 0;
};

TEST_F(TableViewTest, tenThousandRowsKeepOnlyTheRowsOnScreenWhileScrolling) {
    fill(10000);
    EXPECT_EQ(table.numberOfRows(), 10000);
    // 600 pixels of 44-pixel rows: 14 rows, 15 when one is cut at the top and the bottom.
    EXPECT_EQ(liveCells().size(), 14);
    EXPECT_EQ(table.visibleRows().first(), 0);
    EXPECT_EQ(table.visibleRows().last(), 13);

    QScrollBar* bar = table.verticalScrollBar();
    EXPECT_EQ(bar->maximum(), 10000 * 44 - 600);
    for (int value = 0; value <= bar->maximum(); value += 997) {
        bar->setValue(value);
        ASSERT_LE(liveCells().size(), 15);
        ASSERT_GE(liveCells().size(), 14);
    }
    bar->setValue(bar->maximum());
    EXPECT_EQ(table.visibleRows().last(), 9999);
    expectCellsMatchRows();
    // Views scrolled off were reused for the rows that came on, never made afresh.
    EXPECT_LE(made, 16);
    // Every row that came on screen was filled by the data source again.
    EXPECT_EQ(source.asked[9999], 1);
}

TEST_F(TableViewTest, scrollingByOneRowAsksOnlyForTheRowThatComesOn) {
    fill(100);
    table.verticalScrollBar()->setValue(44);
    EXPECT_EQ(source.asked.size(), 1u);
    EXPECT_EQ(source.asked[14], 1);
    EXPECT_EQ(table.visibleRows().first(), 1);
    expectCellsMatchRows();
}

TEST_F(TableViewTest, insertingAndRemovingShiftsTheViewsOfUnchangedRows) {
    fill(30);
    RowCell* formerRow5 = dynamic_cast<RowCell*>(table.viewAtColumn(0, 5, false));
    ASSERT_NE(formerRow5, nullptr);

    source.texts.insert(3, QStringLiteral("new"));
    table.insertRow(3);
    EXPECT_EQ(table.numberOfRows(), 31);
    // Only the new row was asked for; the rows below it kept their views and moved down.
    ASSERT_EQ(source.asked.size(), 1u);
    EXPECT_EQ(source.asked.begin()->first, 3);
    EXPECT_EQ(table.rowForView(formerRow5), 6);
    EXPECT_EQ(liveCells().size(), 14);
    expectCellsMatchRows();

    source.asked.clear();
    source.texts.removeAt(1);
    table.removeRow(1);
    EXPECT_EQ(table.numberOfRows(), 30);
    // The row that moved up into the last place on screen is the only one asked for.
    ASSERT_EQ(source.asked.size(), 1u);
    EXPECT_EQ(source.asked.begin()->first, 13);
    EXPECT_EQ(table.rowForView(formerRow5), 5);
    EXPECT_EQ(formerRow5->label->text(), QStringLiteral("row 5"));
    expectCellsMatchRows();
}

TEST_F(TableViewTest, rowChangesAboveOrBelowTheScreenKeepTheRowsConsistent) {
    fill(100);
    table.verticalScrollBar()->setValue(44 * 50);
    source.asked.clear();

    source.texts.removeAt(10);
    table.removeRow(10);
    expectCellsMatchRows();
    source.texts.insert(0, QStringLiteral("first"));
    table.insertRow(0);
    expectCellsMatchRows();

    // Appending far below the screen makes no view and asks for nothing.
    const int before = made;
    source.asked.clear();
    source.texts.append(QStringLiteral("last"));
    table.insertRow(static_cast<int>(source.texts.size()) - 1, TableView::Animation::fade);
    EXPECT_EQ(made, before);
    EXPECT_TRUE(source.asked.empty());
    EXPECT_EQ(table.numberOfRows(), 101);
}

TEST_F(TableViewTest, viewAtColumnMakesViewsOnlyWhenAskedAndOnlyOnScreen) {
    source.emptyRows = {2};
    fill(50);
    EXPECT_EQ(table.viewAtColumn(0, 2, false), nullptr);
    EXPECT_EQ(table.viewAtColumn(0, 40, false), nullptr);
    EXPECT_EQ(table.viewAtColumn(0, 40, true), nullptr) << "row 40 is off screen";
    EXPECT_EQ(table.viewAtColumn(1, 0, true), nullptr) << "no such column";
    EXPECT_EQ(table.viewAtColumn(0, -1, true), nullptr);
    EXPECT_TRUE(source.asked.empty());

    source.emptyRows.clear();
    QWidget* made2 = table.viewAtColumn(0, 2, true);
    ASSERT_NE(made2, nullptr);
    EXPECT_EQ(source.asked[2], 1);
    EXPECT_EQ(table.rowForView(made2), 2);
    EXPECT_EQ(table.viewAtColumn(0, 2, false), made2);
    EXPECT_EQ(made2->y(), 2 * 44);
}

TEST_F(TableViewTest, reloadDataAsksForEveryRowOnScreenAgainAndReusesTheViews) {
    fill(5);
    const int before = made;
    source.texts = {QStringLiteral("a"), QStringLiteral("b")};
    table.reloadData();
    EXPECT_EQ(table.numberOfRows(), 2);
    EXPECT_EQ(source.asked.size(), 2u);
    EXPECT_EQ(liveCells().size(), 2);
    EXPECT_EQ(made, before);
    expectCellsMatchRows();
}

TEST_F(TableViewTest, rowForViewFindsTheRowOfAControlInsideACell) {
    fill(10);
    auto* cell = dynamic_cast<RowCell*>(table.viewAtColumn(0, 4, false));
    ASSERT_NE(cell, nullptr);
    EXPECT_EQ(table.rowForView(cell->button), 4);
    QPushButton stranger;
    EXPECT_EQ(table.rowForView(&stranger), -1);
    EXPECT_EQ(table.rowForView(nullptr), -1);
    EXPECT_EQ(table.rowForView(table.viewport()), -1);
}

TEST_F(TableViewTest, aRowRemovedFromInsideItsOwnActionLeavesTheSenderUsable) {
    fill(10);
    auto* cell = dynamic_cast<RowCell*>(table.viewAtColumn(0, 2, false));
    ASSERT_NE(cell, nullptr);
    QObject::connect(cell->button, &QPushButton::clicked, &table, [&] {
        const int row = table.rowForView(cell->button);
        source.texts.removeAt(row);
        table.removeRow(row, TableView::Animation::fade);
    });
    cell->button->click();
    EXPECT_EQ(table.numberOfRows(), 9);
    EXPECT_EQ(table.rowForView(cell->button), -1);
    expectCellsMatchRows();
}

TEST_F(TableViewTest, fadesRunToTheEndAndLeaveOpaqueCells) {
    fill(3);
    QSignalSpy finished(&table, &TableView::animationFinished);

    source.texts.append(QStringLiteral("faded in"));
    table.insertRow(3, TableView::Animation::fade);
    QWidget* inserted = table.viewAtColumn(0, 3, false);
    ASSERT_NE(inserted, nullptr);
    EXPECT_NE(inserted->graphicsEffect(), nullptr) << "the fade is running";
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return finished.count() == 1; }));
    EXPECT_EQ(inserted->graphicsEffect(), nullptr);

    source.texts.removeAt(0);
    table.removeRow(0, TableView::Animation::fade);
    EXPECT_EQ(table.numberOfRows(), 3) << "the model changes before the fade ends";
    expectCellsMatchRows();
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return finished.count() == 2; }));
    EXPECT_TRUE(table.viewport()->findChildren<QLabel*>(Qt::FindDirectChildrenOnly).isEmpty())
        << "the picture of the removed row is gone";
}

TEST_F(TableViewTest, aCallerThatDisagreesWithItsDataSourceGetsTheDataSourceView) {
    fill(5);
    table.insertRow(2); // the data source still counts 5
    EXPECT_EQ(table.numberOfRows(), 5);
    table.removeRow(7);
    EXPECT_EQ(table.numberOfRows(), 5);
    expectCellsMatchRows();
}

TEST_F(TableViewTest, columnsRunLeftToRightAndTheLastFillsTheWidth) {
    TableView wide;
    wide.resize(400, 200);
    wide.registerCellPrototype(QStringLiteral("cell"), [] { return new RowCell; });
    wide.addTableColumn(QStringLiteral("cell"), QStringLiteral("Name"), 120);
    wide.addTableColumn(QStringLiteral("cell"), QStringLiteral("Path"), 50);
    wide.show();
    source.texts = {QStringLiteral("one")};
    wide.setDataSource(&source);

    QWidget* first = wide.viewAtColumn(0, 0, false);
    QWidget* second = wide.viewAtColumn(1, 0, false);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(first->geometry(), QRect(0, 0, 120, wide.rowHeight()));
    EXPECT_EQ(second->x(), 120);
    EXPECT_EQ(second->width(), wide.viewport()->width() - 120);
    EXPECT_EQ(wide.tableColumnWithIdentifier(QStringLiteral("cell")), wide.tableColumn(0));
    EXPECT_EQ(wide.tableColumnWithIdentifier(QStringLiteral("none")), nullptr);
    EXPECT_EQ(wide.makeViewWithIdentifier(QStringLiteral("none"), nullptr), nullptr);
    // Titles give the table a header above the rows.
    EXPECT_GT(wide.viewport()->y(), wide.frameWidth());
}

} // namespace
