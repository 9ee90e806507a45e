#include "widgets/ViewText.h"

#include <QAbstractItemView>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QSaveFile>
#include <QTableView>

#include <algorithm>

namespace
{

// Bytes gathered before each write while a file is exported.
constexpr qsizetype WRITE_CHUNK = 1 << 16;

QString cellText(const QAbstractItemModel& model, int row, int column)
{
    return model.data(model.index(row, column), Qt::DisplayRole).toString();
}

QString oneLine(QString text)
{
    for (QChar& c : text) {
        if (c == u'\t' || c == u'\r' || c == u'\n')
            c = u' ';
    }
    return text;
}

QString rowAsLine(const QAbstractItemModel& model, int row, const std::vector<int>& columns)
{
    QString line;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        if (i > 0)
            line += u'\t';
        line += oneLine(cellText(model, row, columns[i]));
    }
    return line;
}

// Writes every row the view shows through `record`, in pieces.
bool writeRows(QIODevice& out, const QAbstractItemModel& model,
               const std::function<QByteArray(int row)>& record)
{
    QByteArray chunk;
    const int rows = model.rowCount();
    for (int row = 0; row < rows; ++row) {
        chunk += record(row);
        if (chunk.size() >= WRITE_CHUNK || row == rows - 1) {
            if (out.write(chunk) != chunk.size())
                return false;
            chunk.clear();
        }
    }
    return true;
}

} // namespace

std::vector<int> columnsInViewOrder(const QAbstractItemView& view)
{
    std::vector<int> columns;
    const QAbstractItemModel* model = view.model();
    if (!model)
        return columns;
    const auto* table = qobject_cast<const QTableView*>(&view);
    if (!table) {
        columns.push_back(0);
        return columns;
    }
    const QHeaderView* header = table->horizontalHeader();
    for (int visual = 0; visual < header->count(); ++visual) {
        const int logical = header->logicalIndex(visual);
        if (!header->isSectionHidden(logical))
            columns.push_back(logical);
    }
    return columns;
}

QString selectedRowsAsText(const QAbstractItemView& view)
{
    const QAbstractItemModel* model = view.model();
    const QItemSelectionModel* selection = view.selectionModel();
    if (!model || !selection)
        return {};
    std::vector<int> rows;
    for (const QItemSelectionRange& range : selection->selection()) {
        for (int row = range.top(); row <= range.bottom(); ++row)
            rows.push_back(row);
    }
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    const std::vector<int> columns = columnsInViewOrder(view);
    QString text;
    for (const int row : rows)
        text += rowAsLine(*model, row, columns) + u'\n';
    return text;
}

QByteArray csvRecord(const QStringList& cells)
{
    QByteArray record;
    for (qsizetype i = 0; i < cells.size(); ++i) {
        if (i > 0)
            record += ',';
        QByteArray cell = cells[i].toUtf8();
        if (cell.contains('"') || cell.contains(',') || cell.contains('\r') || cell.contains('\n')) {
            cell.replace('"', "\"\"");
            record += '"' + cell + '"';
        } else {
            record += cell;
        }
    }
    record += "\r\n";
    return record;
}

QString writeWholeFile(const QString& path, const std::function<bool(QIODevice&)>& produce)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return file.errorString();
    if (!produce(file) || !file.commit()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        return reason;
    }
    return {};
}

QString exportViewAsCsv(const QAbstractItemView& view, const QString& path)
{
    const QAbstractItemModel* model = view.model();
    if (!model)
        return {};
    const std::vector<int> columns = columnsInViewOrder(view);
    return writeWholeFile(path, [&](QIODevice& out) {
        QStringList cells;
        for (const int column : columns)
            cells << model->headerData(column, Qt::Horizontal).toString();
        if (out.write(csvRecord(cells)) < 0)
            return false;
        return writeRows(out, *model, [&](int row) {
            cells.clear();
            for (const int column : columns)
                cells << cellText(*model, row, column);
            return csvRecord(cells);
        });
    });
}

QString exportViewAsText(const QAbstractItemView& view, const QString& path)
{
    const QAbstractItemModel* model = view.model();
    if (!model)
        return {};
    const std::vector<int> columns = columnsInViewOrder(view);
    return writeWholeFile(path, [&](QIODevice& out) {
        return writeRows(out, *model,
                         [&](int row) { return (rowAsLine(*model, row, columns) + u'\n').toUtf8(); });
    });
}
