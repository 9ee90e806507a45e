// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

class QAbstractItemView;

// The columns of `view` in the order the operator sees them, hidden ones left out.
std::vector<int> columnsInViewOrder(const QAbstractItemView& view);

// The selected rows of `view`, top to bottom, one line per row, cells in view order separated by
// tabs. A tab or line end inside a cell becomes a blank, so that every row stays one line.
QString selectedRowsAsText(const QAbstractItemView& view);

// One record of RFC 4180 CSV in UTF-8, ended by CR LF: a cell holding a quote, comma, CR or LF is
// quoted, with its quotes doubled. A cell that starts with =, +, -, @, tab or CR gains a leading
// apostrophe, so that a spreadsheet takes it as text rather than a formula.
QByteArray csvRecord(const QStringList& cells);

// Takes one piece of a file's bytes; false when it could not be written.
using ByteSink = std::function<bool(const QByteArray&)>;

// Writes `path` whole or not at all: the pieces that `produce` hands to its sink go to a new file
// beside it, which takes the name only once all of them are on disk. Empty on success, else the
// system's reason.
QString writeWholeFile(const QString& path, const std::function<bool(const ByteSink&)>& produce);

// Every row the view shows, with the column titles first, as CSV (see csvRecord).
QString exportViewAsCsv(const QAbstractItemView& view, const QString& path);

// Every row the view shows as one line of text (UTF-8, LF), cells in view order separated by tabs.
QString exportViewAsText(const QAbstractItemView& view, const QString& path);
