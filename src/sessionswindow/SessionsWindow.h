// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "sessionswindow/QueryRun.h"
#include "widgets/SavePathChooser.h"

#include <QDate>
#include <QDialog>
#include <QPointer>

class FilterField;
class MessageBoxes;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTableView;
class ResultTable;

// Asks the event store who was online, when and for how long: sessions, the stored events, or
// each user's totals, narrowed by user, address, server, a from/to range and an "at" moment.
class SessionsWindow : public QDialog
{
    Q_OBJECT
public:
    // `location`: the store the monitor writes; `day`, when valid, fills the range with that date.
    SessionsWindow(QWidget* parent, const QString& location, MessageBoxes& boxes, const QDate& day = {});
    ~SessionsWindow() override;

    // Where the exports ask for the file; tests put their own chooser here.
    SavePathChooser chooseExportPath = standardSavePathChooser();

    // Asks the store what the fields say; the Search button and Enter in any field.
    void search();
    // Stops the question running, if any; what came so far stays listed.
    void cancel();
    // A window that closes stops its question.
    void done(int result) override;

private:
    QLineEdit* addField(const QString& name, const QString& placeholder, int row, int column);
    bool readQuery(StoreQuery& query);
    void takeRows(std::vector<QByteArray> rows);
    void ended(const QString& error);
    void setRunning(bool running);
    void setStatus(const QString& text);
    QString rowsText() const;
    void filterRows();
    void exportRows(bool csv);

    QString m_location;
    MessageBoxes& m_boxes;
    ResultKind m_kind = ResultKind::Sessions;
    QLineEdit* m_user;
    QLineEdit* m_address;
    QLineEdit* m_server;
    QLineEdit* m_from;
    QLineEdit* m_to;
    QLineEdit* m_at;
    QComboBox* m_results;
    QPushButton* m_search;
    QPushButton* m_cancel;
    QProgressBar* m_progress;
    FilterField* m_filter;
    ResultTable* m_table;
    QTableView* m_list;
    QLabel* m_status;
    QPointer<QueryRun> m_run;
};
