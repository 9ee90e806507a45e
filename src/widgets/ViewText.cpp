// SPDX-License-Identifier: GPL-3.0-or-later
#include "widgets/ViewText.h"

#include <QAbstractItemView>
#include <QFile>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QRandomGenerator>
#include <QTableView>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

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
bool writeRows(const ByteSink& write, const QAbstractItemModel& model,
               const std::function<QByteArray(int row)>& record)
{
    QByteArray chunk;
    const int rows = model.rowCount();
    for (int row = 0; row < rows; ++row) {
        chunk += record(row);
        if (chunk.size() >= WRITE_CHUNK || row == rows - 1) {
            if (!write(chunk))
                return false;
            chunk.clear();
        }
    }
    return true;
}

// A new file beside the chosen one, removed unless it was renamed to it. Errors keep errno, so
// that the operator reads the system's own reason.
class FileBeside
{
public:
    explicit FileBeside(const QByteArray& target) : m_target(target)
    {
        for (int attempt = 0; attempt < 100 && m_fd < 0; ++attempt) {
            m_path = target + ".part-" + QByteArray::number(QRandomGenerator::global()->generate(), 36);
            // The umask decides the mode, as for any file the operator makes.
            m_fd = ::open(m_path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (m_fd < 0 && errno != EEXIST)
                break;
        }
        if (m_fd < 0)
            m_error = errno;
        m_created = m_fd >= 0;
    }
    ~FileBeside()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        if (m_created && !m_renamed)
            ::unlink(m_path.constData());
    }
    FileBeside(const FileBeside&) = delete;
    FileBeside& operator=(const FileBeside&) = delete;

    bool isOpen() const { return m_fd >= 0; }
    int error() const { return m_error; }

    bool write(const QByteArray& bytes)
    {
        const char* data = bytes.constData();
        std::size_t left = static_cast<std::size_t>(bytes.size());
        while (left > 0) {
            const ssize_t n = ::write(m_fd, data, left);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                m_error = n < 0 ? errno : EIO;
                return false;
            }
            data += n;
            left -= static_cast<std::size_t>(n);
        }
        return true;
    }

    // On disk first, then under the chosen name.
    bool commit()
    {
        if (::fsync(m_fd) != 0 || ::close(m_fd) != 0) {
            m_error = errno;
            m_fd = -1;
            return false;
        }
        m_fd = -1;
        if (::rename(m_path.constData(), m_target.constData()) != 0) {
            m_error = errno;
            return false;
        }
        m_renamed = true;
        return true;
    }

private:
    QByteArray m_target;
    QByteArray m_path;
    int m_fd = -1;
    int m_error = 0;
    bool m_created = false;
    bool m_renamed = false;
};

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
        // A spreadsheet would run a cell such as "=1+2" from the network as a formula.
        if (!cell.isEmpty() && QByteArray("=+-@\t\r").contains(cell.front()))
            cell.prepend('\'');
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

QString writeWholeFile(const QString& path, const std::function<bool(const ByteSink&)>& produce)
{
    FileBeside file(QFile::encodeName(path));
    const bool written = file.isOpen() &&
                         produce([&file](const QByteArray& bytes) { return file.write(bytes); }) &&
                         file.commit();
    return written ? QString() : QString::fromLocal8Bit(std::strerror(file.error() ? file.error() : EIO));
}

QString exportViewAsCsv(const QAbstractItemView& view, const QString& path)
{
    const QAbstractItemModel* model = view.model();
    if (!model)
        return {};
    const std::vector<int> columns = columnsInViewOrder(view);
    return writeWholeFile(path, [&](const ByteSink& write) {
        QStringList cells;
        for (const int column : columns)
            cells << model->headerData(column, Qt::Horizontal).toString();
        if (!write(csvRecord(cells)))
            return false;
        return writeRows(write, *model, [&](int row) {
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
    return writeWholeFile(path, [&](const ByteSink& write) {
        return writeRows(write, *model,
                         [&](int row) { return (rowAsLine(*model, row, columns) + u'\n').toUtf8(); });
    });
}
