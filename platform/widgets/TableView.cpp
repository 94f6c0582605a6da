// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/widgets/TableView.h"

#include "platform/widgets/TableViewDataSource.h"

#include <QAbstractButton>
#include <QContextMenuEvent>
#include <QGraphicsOpacityEffect>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QScrollBar>
#include <QStandardItemModel>
#include <QVariantAnimation>
#include <algorithm>
#include <deque>

namespace {

constexpr int fadeDuration = 200; // milliseconds

// Views made from a prototype remember its identifier, so that they can go back to its reuse pool.
const char* const cellIdentifierProperty = "tableCellIdentifier";
// Marks the opacity effects the table installs for a fade, so that it never removes a cell's own.
const char* const fadeEffectProperty = "tableFadeEffect";

struct ColumnSpan {
    int x;
    int width;
};

} // namespace

// The cell views of the rows on screen are kept in one deque: the visible rows are always a contiguous
// range, so scrolling adds and drops rows only at its two ends, and inserting or removing a row in the
// middle shifts the later ones without touching their views.
struct TableView::Private {
    struct Row {
        std::vector<QPointer<QWidget>> cells;
        bool built = false;
    };

    explicit Private(TableView* table)
        : q(table) {}

    TableView* q;
    QHash<QString, CellFactory> prototypes;
    QHash<QString, QList<QPointer<QWidget>>> pool;
    std::deque<Row> rows;
    int firstRow = 0;
    // Views handed out by makeViewWithIdentifier during one data source call; those the data source
    // did not return go back to the pool instead of lingering hidden.
    QList<QPointer<QWidget>> handedOut;
    bool askingDataSource = false;
    bool syncing = false;
    bool syncAgain = false;
    QHeaderView* header = nullptr;
    QStandardItemModel* headerModel = nullptr;
    QList<QPointer<QVariantAnimation>> animations;
    // Lies over the rows while the table is dimmed; the pointer passes through it.
    QPointer<QWidget> dimmer;
    // Selected rows, ascending, and the row a Shift+click extends from.
    QList<int> selection;
    int anchor = -1;

    int lastRow() const { return firstRow + static_cast<int>(rows.size()) - 1; }
    int offset() const { return q->verticalScrollBar()->value(); }
    Row* rowAt(int row) {
        if (row < firstRow || row > lastRow()) {
            return nullptr;
        }
        return &rows[static_cast<size_t>(row - firstRow)];
    }

    // The rows that intersect the viewport, as [first, last]; last < first when there are none.
    std::pair<int, int> wantedRange() const {
        const int height = q->viewport()->height();
        if (q->m_rowCount <= 0 || height <= 0) {
            return {0, -1};
        }
        const int top = offset();
        const int first = std::min(top / q->m_rowHeight, q->m_rowCount - 1);
        const int last = std::min((top + height - 1) / q->m_rowHeight, q->m_rowCount - 1);
        return {first, last};
    }

    std::vector<ColumnSpan> columnSpans() const {
        std::vector<ColumnSpan> spans;
        int x = 0;
        const int count = static_cast<int>(q->m_columns.size());
        for (int column = 0; column < count; ++column) {
            int width = q->m_columns[static_cast<size_t>(column)].width();
            if (column == count - 1) {
                width = std::max(width, q->viewport()->width() - x);
            }
            spans.push_back({x, width});
            x += width;
        }
        return spans;
    }

    QWidget* askForCell(int column, int row) {
        if (!q->m_dataSource || column < 0 || column >= q->numberOfColumns()) {
            return nullptr;
        }
        const bool nested = askingDataSource;
        const QList<QPointer<QWidget>> outerHandedOut = std::exchange(handedOut, {});
        askingDataSource = true;
        QWidget* view =
            q->m_dataSource->viewForTableColumn(q, &q->m_columns[static_cast<size_t>(column)], row);
        askingDataSource = nested;
        for (const QPointer<QWidget>& unused : std::exchange(handedOut, outerHandedOut)) {
            if (unused && unused != view) {
                recycle(unused);
            }
        }
        if (view && view->parentWidget() != q->viewport()) {
            view->setParent(q->viewport());
        }
        return view;
    }

    void build(int row) {
        for (int column = 0; column < q->numberOfColumns(); ++column) {
            QWidget* cell = askForCell(column, row);
            // The data source may have changed the table meanwhile; look the row up again.
            Row* target = rowAt(row);
            if (!target) {
                recycle(cell);
                return;
            }
            target->cells.resize(static_cast<size_t>(q->numberOfColumns()));
            target->cells[static_cast<size_t>(column)] = cell;
        }
        if (Row* target = rowAt(row)) {
            target->cells.resize(static_cast<size_t>(q->numberOfColumns()));
            target->built = true;
        }
    }

    void recycle(QWidget* view) {
        if (!view) {
            return;
        }
        if (QGraphicsEffect* effect = view->graphicsEffect();
            effect && effect->property(fadeEffectProperty).toBool()) {
            view->setGraphicsEffect(nullptr);
        }
        view->hide();
        const QString identifier = view->property(cellIdentifierProperty).toString();
        if (identifier.isEmpty() || !prototypes.contains(identifier)) {
            // Not ours to reuse. Deferred: the view may be the sender of the action that removed its row.
            view->deleteLater();
            return;
        }
        pool[identifier].append(view);
    }

    void recycle(Row& row) {
        for (QPointer<QWidget>& cell : row.cells) {
            recycle(cell);
        }
        row.cells.clear();
        row.built = false;
    }

    void recycleAll() {
        for (Row& row : rows) {
            recycle(row);
        }
        rows.clear();
    }

    // Brings the rows with cell views in line with the rows on screen and places every cell.
    void sync() {
        if (syncing) {
            syncAgain = true;
            return;
        }
        syncing = true;
        do {
            syncAgain = false;
            const auto [first, last] = wantedRange();
            if (last < first || rows.empty() || lastRow() < first || firstRow > last) {
                recycleAll();
                firstRow = std::max(first, 0);
            }
            if (last >= first) {
                while (!rows.empty() && firstRow < first) {
                    recycle(rows.front());
                    rows.pop_front();
                    ++firstRow;
                }
                while (!rows.empty() && lastRow() > last) {
                    recycle(rows.back());
                    rows.pop_back();
                }
                if (rows.empty()) {
                    firstRow = first;
                }
                for (; firstRow > first; --firstRow) {
                    rows.emplace_front();
                }
                while (lastRow() < last) {
                    rows.emplace_back();
                }
                for (int row = firstRow; row <= lastRow() && !syncAgain; ++row) {
                    if (Row* pending = rowAt(row); pending && !pending->built) {
                        build(row);
                    }
                }
            }
            place();
        } while (syncAgain);
        if (dimmer) {
            dimmer->setGeometry(q->viewport()->rect());
            dimmer->raise();
        }
        syncing = false;
        updateTabOrder();
    }

    // Recycled cells keep their place in the focus chain from when they were made, so the chain is
    // laid again in row order: the table, then each row's controls, then whatever followed before.
    void updateTabOrder() {
        QWidget* previous = q;
        for (const Row& row : rows) {
            for (const QPointer<QWidget>& cell : row.cells) {
                if (!cell) {
                    continue;
                }
                for (QWidget* control : focusableControls(cell)) {
                    QWidget::setTabOrder(previous, control);
                    previous = control;
                }
            }
        }
    }

    // A cell's own controls that take the keyboard's focus by Tab, in the order the cell made them
    // (its form's order).
    static QList<QWidget*> focusableControls(QWidget* cell) {
        QList<QWidget*> controls = cell->findChildren<QWidget*>();
        controls.removeIf([](const QWidget* widget) { return !(widget->focusPolicy() & Qt::TabFocus); });
        return controls;
    }

    void place() {
        const std::vector<ColumnSpan> spans = columnSpans();
        const int top = offset();
        for (size_t index = 0; index < rows.size(); ++index) {
            const int y = (firstRow + static_cast<int>(index)) * q->m_rowHeight - top;
            const std::vector<QPointer<QWidget>>& cells = rows[index].cells;
            for (size_t column = 0; column < cells.size() && column < spans.size(); ++column) {
                if (QWidget* cell = cells[column]) {
                    cell->setGeometry(spans[column].x, y, spans[column].width, q->m_rowHeight);
                    cell->show();
                }
            }
        }
    }

    void updateScrollRange() {
        const int height = q->viewport()->height();
        QScrollBar* bar = q->verticalScrollBar();
        bar->setPageStep(std::max(1, height));
        bar->setSingleStep(std::max(1, q->m_rowHeight / 2));
        bar->setRange(0, std::max(0, q->m_rowCount * q->m_rowHeight - height));
    }

    void updateHeader() {
        const bool wanted = std::any_of(q->m_columns.begin(), q->m_columns.end(),
                                        [](const TableColumn& column) { return !column.title().isEmpty(); });
        if (!wanted) {
            delete header;
            header = nullptr;
            headerModel = nullptr;
            q->setViewportMargins(0, 0, 0, 0);
            return;
        }
        if (!header) {
            header = new QHeaderView(Qt::Horizontal, q);
            headerModel = new QStandardItemModel(header);
            header->setModel(headerModel);
            header->setSectionsClickable(false);
            header->setStretchLastSection(true);
            header->show();
        }
        QStringList titles;
        for (const TableColumn& column : q->m_columns) {
            titles.append(column.title());
        }
        headerModel->setColumnCount(static_cast<int>(titles.size()));
        headerModel->setHorizontalHeaderLabels(titles);
        for (int column = 0; column < q->numberOfColumns(); ++column) {
            header->resizeSection(column, q->m_columns[static_cast<size_t>(column)].width());
        }
        q->setViewportMargins(0, header->sizeHint().height(), 0, 0);
        placeHeader();
    }

    void placeHeader() {
        if (!header) {
            return;
        }
        const QRect area = q->viewport()->geometry();
        const int height = header->sizeHint().height();
        header->setGeometry(area.left(), area.top() - height, area.width(), height);
    }

    void startFade(QVariantAnimation* animation) {
        animations.append(animation);
        QObject::connect(animation, &QAbstractAnimation::stateChanged, q,
                         [this](QAbstractAnimation::State state) {
                             if (state == QAbstractAnimation::Stopped) {
                                 animations.removeIf([](const QPointer<QVariantAnimation>& running) {
                                     return running.isNull();
                                 });
                                 Q_EMIT q->animationFinished();
                             }
                         });
        animation->setDuration(fadeDuration);
        animation->start(QAbstractAnimation::DeleteWhenStopped);
    }

    void fadeIn(int row) {
        Row* target = rowAt(row);
        if (!target) {
            finishLater();
            return;
        }
        QList<QPair<QPointer<QWidget>, QPointer<QGraphicsOpacityEffect>>> faded;
        for (const QPointer<QWidget>& cell : target->cells) {
            if (!cell) {
                continue;
            }
            auto* effect = new QGraphicsOpacityEffect(cell);
            effect->setProperty(fadeEffectProperty, true);
            effect->setOpacity(0.0);
            cell->setGraphicsEffect(effect);
            faded.append({cell, effect});
        }
        auto* animation = new QVariantAnimation(q);
        animation->setStartValue(0.0);
        animation->setEndValue(1.0);
        QObject::connect(animation, &QVariantAnimation::valueChanged, animation,
                         [faded](const QVariant& value) {
                             for (const auto& [cell, effect] : faded) {
                                 if (effect) {
                                     effect->setOpacity(value.toReal());
                                 }
                             }
                         });
        QObject::connect(animation, &QAbstractAnimation::finished, animation, [faded] {
            for (const auto& [cell, effect] : faded) {
                if (cell && effect && cell->graphicsEffect() == effect) {
                    cell->setGraphicsEffect(nullptr);
                }
            }
        });
        startFade(animation);
    }

    // A removed row fades out as a picture over the rows that have already moved up.
    void fadeOut(const QPixmap& snapshot, const QRect& rect) {
        auto* ghost = new QLabel(q->viewport());
        ghost->setAttribute(Qt::WA_TransparentForMouseEvents);
        ghost->setPixmap(snapshot);
        ghost->setGeometry(rect);
        auto* effect = new QGraphicsOpacityEffect(ghost);
        ghost->setGraphicsEffect(effect);
        ghost->show();
        ghost->raise();
        auto* animation = new QVariantAnimation(q);
        animation->setStartValue(1.0);
        animation->setEndValue(0.0);
        QObject::connect(animation, &QVariantAnimation::valueChanged, effect,
                         [effect](const QVariant& value) { effect->setOpacity(value.toReal()); });
        QObject::connect(animation, &QObject::destroyed, ghost, &QObject::deleteLater);
        startFade(animation);
    }

    // A fade of a row that has no views on screen is over at once; waiters still hear of it.
    void finishLater() {
        QMetaObject::invokeMethod(
            q, [table = q] { Q_EMIT table->animationFinished(); }, Qt::QueuedConnection);
    }

    // False when the data source does not count the rows the caller announced.
    bool dataSourceCounts(int expected) const {
        return !q->m_dataSource || q->m_dataSource->numberOfRowsInTableView(q) == expected;
    }
};

TableView::TableView(QWidget* parent)
    : QAbstractScrollArea(parent)
    , d(std::make_unique<Private>(this)) {
    setFocusPolicy(Qt::StrongFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
}

TableView::~TableView() {
    // Running fades report to this table when they stop; stop them while it still exists.
    for (const QPointer<QVariantAnimation>& animation : std::exchange(d->animations, {})) {
        if (animation) {
            QObject::disconnect(animation, nullptr, this, nullptr);
            delete animation.data();
        }
    }
}

void TableView::setDataSource(TableViewDataSource* dataSource) {
    m_dataSource = dataSource;
    reloadData();
}

void TableView::addTableColumn(const QString& identifier, const QString& title, int width) {
    d->recycleAll();
    m_columns.emplace_back(identifier, title, std::max(0, width));
    d->updateHeader();
    d->sync();
}

const TableColumn* TableView::tableColumn(int index) const {
    if (index < 0 || index >= numberOfColumns()) {
        return nullptr;
    }
    return &m_columns[static_cast<size_t>(index)];
}

const TableColumn* TableView::tableColumnWithIdentifier(const QString& identifier) const {
    const auto found = std::find_if(m_columns.begin(), m_columns.end(), [&](const TableColumn& column) {
        return column.identifier() == identifier;
    });
    return found == m_columns.end() ? nullptr : &*found;
}

void TableView::registerCellPrototype(const QString& identifier, CellFactory factory) {
    d->prototypes.insert(identifier, std::move(factory));
}

QWidget* TableView::makeViewWithIdentifier(const QString& identifier, QObject* owner) {
    const auto prototype = d->prototypes.constFind(identifier);
    if (prototype == d->prototypes.constEnd() || !*prototype) {
        return nullptr;
    }
    QWidget* view = nullptr;
    QList<QPointer<QWidget>>& pooled = d->pool[identifier];
    while (!view && !pooled.isEmpty()) {
        view = pooled.takeLast();
    }
    if (!view) {
        view = (*prototype)();
        if (!view) {
            return nullptr;
        }
        view->hide();
        view->setParent(viewport());
        view->setProperty(cellIdentifierProperty, identifier);
    }
    view->setProperty("owner", QVariant::fromValue(owner));
    if (d->askingDataSource) {
        d->handedOut.append(view);
    }
    return view;
}

void TableView::setRowHeight(int height) {
    m_rowHeight = std::max(1, height);
    d->updateScrollRange();
    d->sync();
}

void TableView::reloadData() {
    m_rowCount = m_dataSource ? std::max(0, m_dataSource->numberOfRowsInTableView(this)) : 0;
    d->anchor = -1;
    setSelection({});
    d->recycleAll();
    d->updateScrollRange();
    d->sync();
}

void TableView::insertRow(int row, Animation animation) {
    if (row < 0 || row > m_rowCount || !d->dataSourceCounts(m_rowCount + 1)) {
        // The caller and its data source disagree; show what the data source says.
        reloadData();
        return;
    }
    ++m_rowCount;
    for (int& selected : d->selection) {
        selected += selected >= row ? 1 : 0;
    }
    if (!d->rows.empty()) {
        if (row < d->firstRow) {
            ++d->firstRow;
        } else if (row <= d->lastRow() + 1) {
            d->rows.insert(d->rows.begin() + (row - d->firstRow), Private::Row{});
        }
    }
    d->updateScrollRange();
    d->sync();
    if (animation == Animation::fade) {
        d->fadeIn(row);
    }
}

void TableView::removeRow(int row, Animation animation) {
    if (row < 0 || row >= m_rowCount || !d->dataSourceCounts(m_rowCount - 1)) {
        reloadData();
        return;
    }
    // Only a table on screen has a row to fade out. Grabbing a table that was never shown would deliver
    // its pending resize first, which rebuilds the rows under our feet; so grab before looking the
    // row up, and only when there is something to see.
    QPixmap snapshot;
    QRect snapshotRect;
    if (animation == Animation::fade && isVisible() && d->rowAt(row)) {
        snapshotRect = QRect(0, row * m_rowHeight - d->offset(), viewport()->width(), m_rowHeight);
        snapshot = viewport()->grab(snapshotRect);
    }
    --m_rowCount;
    QList<int> selection = d->selection;
    selection.removeOne(row);
    for (int& selected : selection) {
        selected -= selected > row ? 1 : 0;
    }
    if (Private::Row* removed = d->rowAt(row)) {
        d->recycle(*removed);
        d->rows.erase(d->rows.begin() + (row - d->firstRow));
    } else if (row < d->firstRow && !d->rows.empty()) {
        --d->firstRow;
    }
    d->updateScrollRange();
    d->sync();
    setSelection(std::move(selection));
    if (animation == Animation::fade) {
        if (snapshot.isNull()) {
            d->finishLater();
        } else {
            d->fadeOut(snapshot, snapshotRect);
        }
    }
}

QWidget* TableView::viewAtColumn(int column, int row, bool makeIfNecessary) {
    Private::Row* target = d->rowAt(row);
    if (!target || column < 0 || column >= numberOfColumns() || row >= m_rowCount) {
        return nullptr;
    }
    target->cells.resize(static_cast<size_t>(numberOfColumns()));
    if (QWidget* existing = target->cells[static_cast<size_t>(column)]) {
        return existing;
    }
    if (!makeIfNecessary) {
        return nullptr;
    }
    QWidget* made = d->askForCell(column, row);
    target = d->rowAt(row);
    if (!target) {
        d->recycle(made);
        return nullptr;
    }
    target->cells.resize(static_cast<size_t>(numberOfColumns()));
    target->cells[static_cast<size_t>(column)] = made;
    d->place();
    return made;
}

int TableView::rowForView(const QWidget* view) const {
    for (const QWidget* widget = view; widget; widget = widget->parentWidget()) {
        if (widget->parentWidget() != viewport()) {
            continue;
        }
        for (size_t index = 0; index < d->rows.size(); ++index) {
            const std::vector<QPointer<QWidget>>& cells = d->rows[index].cells;
            if (std::find(cells.begin(), cells.end(), widget) != cells.end()) {
                return d->firstRow + static_cast<int>(index);
            }
        }
        return -1;
    }
    return -1;
}

QList<int> TableView::selectedRowIndexes() const {
    return d->selection;
}

void TableView::selectRowIndexes(const QList<int>& rows, bool byExtendingSelection) {
    QList<int> selection = byExtendingSelection ? d->selection : QList<int>{};
    for (int row : rows) {
        if (row >= 0 && row < m_rowCount) {
            selection.append(row);
        }
    }
    setSelection(std::move(selection));
}

void TableView::deselectAll() {
    setSelection({});
}

void TableView::setSelection(QList<int> rows) {
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    if (rows == d->selection) {
        return;
    }
    d->selection = std::move(rows);
    viewport()->update();
    Q_EMIT selectionDidChange();
}

namespace {

// A veil in the window's colour over the rows: faded like a disabled view, still clickable through.
class Dimmer final : public QWidget {
public:
    explicit Dimmer(QWidget* parent)
        : QWidget(parent) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setObjectName(QStringLiteral("tableDimmer"));
    }

protected:
    // Over the rows' content but not over their buttons: a button that still works must not look
    // disabled.
    void paintEvent(QPaintEvent* /*event*/) override {
        QRegion veiled(rect());
        for (const QAbstractButton* button : parentWidget()->findChildren<QAbstractButton*>()) {
            if (button->isVisibleTo(parentWidget())) {
                veiled -= QRect(button->mapTo(parentWidget(), QPoint(0, 0)), button->size());
            }
        }
        QColor veil = palette().color(QPalette::Base);
        veil.setAlphaF(0.55f);
        QPainter painter(this);
        painter.setClipRegion(veiled);
        painter.fillRect(rect(), veil);
    }
};

} // namespace

void TableView::setDimmed(bool dimmed) {
    if (dimmed == isDimmed()) {
        return;
    }
    if (!dimmed) {
        delete d->dimmer.data();
        return;
    }
    d->dimmer = new Dimmer(viewport());
    d->dimmer->setGeometry(viewport()->rect());
    d->dimmer->show();
    d->dimmer->raise();
}

bool TableView::isDimmed() const {
    return !d->dimmer.isNull();
}

int TableView::rowAtPoint(const QPoint& point) const {
    if (point.y() < 0 || !viewport()->rect().contains(point)) {
        return -1;
    }
    const int row = (point.y() + d->offset()) / m_rowHeight;
    return row < m_rowCount ? row : -1;
}

void TableView::scrollRowToVisible(int row) {
    if (row < 0 || row >= m_rowCount) {
        return;
    }
    const int top = row * m_rowHeight;
    const int bottom = top + m_rowHeight;
    QScrollBar* bar = verticalScrollBar();
    if (top < bar->value()) {
        bar->setValue(top);
    } else if (bottom > bar->value() + viewport()->height()) {
        bar->setValue(bottom - viewport()->height());
    }
}

QList<int> TableView::visibleRows() const {
    QList<int> visible;
    for (size_t index = 0; index < d->rows.size(); ++index) {
        if (d->rows[index].built) {
            visible.append(d->firstRow + static_cast<int>(index));
        }
    }
    return visible;
}

void TableView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    d->placeHeader();
    d->updateScrollRange();
    d->sync();
}

// The cells paint nothing behind their controls, so the selection shows through them.
void TableView::paintEvent(QPaintEvent* /*event*/) {
    if (d->selection.isEmpty()) {
        return;
    }
    QPainter painter(viewport());
    QColor highlight = palette().color(QPalette::Highlight);
    // A tint rather than the full colour: the cells keep their own text colours.
    highlight.setAlphaF(0.25f);
    const int top = d->offset();
    for (int row : d->selection) {
        const QRect rect(0, row * m_rowHeight - top, viewport()->width(), m_rowHeight);
        if (rect.intersects(viewport()->rect())) {
            painter.fillRect(rect, highlight);
        }
    }
}

void TableView::mousePressEvent(QMouseEvent* event) {
    // Taken in every case, the empty part below the rows included: the table is never background.
    event->accept();
    setFocus(Qt::MouseFocusReason);
    if (event->button() != Qt::LeftButton) {
        return;
    }
    const int row = rowAtPoint(event->position().toPoint());
    if (row < 0) {
        d->anchor = -1;
        deselectAll();
        return;
    }
    const Qt::KeyboardModifiers modifiers = event->modifiers();
    if (modifiers.testFlag(Qt::ShiftModifier) && d->anchor >= 0 && d->anchor < m_rowCount) {
        QList<int> range;
        for (int index = std::min(d->anchor, row); index <= std::max(d->anchor, row); ++index) {
            range.append(index);
        }
        selectRowIndexes(range, modifiers.testFlag(Qt::ControlModifier));
        return;
    }
    d->anchor = row;
    if (modifiers.testFlag(Qt::ControlModifier)) {
        QList<int> selection = d->selection;
        if (!selection.removeOne(row)) {
            selection.append(row);
        }
        setSelection(std::move(selection));
        return;
    }
    setSelection({row});
}

void TableView::mouseMoveEvent(QMouseEvent* event) {
    event->accept();
}

void TableView::mouseReleaseEvent(QMouseEvent* event) {
    event->accept();
}

void TableView::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Delete:
    case Qt::Key_Backspace:
        Q_EMIT deleteKeyPressed();
        return;
    case Qt::Key_Up:
    case Qt::Key_Down: {
        if (m_rowCount == 0) {
            return;
        }
        const bool down = event->key() == Qt::Key_Down;
        int row = down ? 0 : m_rowCount - 1;
        if (!d->selection.isEmpty()) {
            row = down ? std::min(d->selection.last() + 1, m_rowCount - 1)
                       : std::max(d->selection.first() - 1, 0);
        }
        d->anchor = row;
        setSelection({row});
        scrollRowToVisible(row);
        return;
    }
    default:
        QAbstractScrollArea::keyPressEvent(event);
    }
}

void TableView::contextMenuEvent(QContextMenuEvent* event) {
    event->accept();
    int row = -1;
    if (event->reason() == QContextMenuEvent::Mouse) {
        row = rowAtPoint(event->pos());
        // As in the platform's tables, the menu acts on the clicked row, selected for the purpose
        // unless it already belongs to the selection.
        if (row >= 0 && !d->selection.contains(row)) {
            d->anchor = row;
            setSelection({row});
        }
    } else if (!d->selection.isEmpty()) {
        row = d->selection.first();
    }
    Q_EMIT rowMenuRequested(row, event->globalPos());
}

void TableView::scrollContentsBy(int /*dx*/, int /*dy*/) {
    // Cells are placed from the scroll position rather than moved pixel by pixel.
    d->sync();
}

bool TableView::viewportEvent(QEvent* event) {
    if (event->type() == QEvent::LayoutRequest) {
        d->place();
    }
    return QAbstractScrollArea::viewportEvent(event);
}
