// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "widgets/SavePathChooser.h"

#include <QByteArray>
#include <QDate>
#include <QDialog>
#include <QString>

#include <functional>

class FilterField;
class HistoryLineModel;
class HourlyChart;
class ListCommands;
class MessageBoxes;
class QComboBox;
class QLabel;
class QListView;
class QPushButton;

// The History window: lists the log lines of the chosen day, month and year, under a chart of
// them by hour and kind; a text filter narrows the list.
class HistoryWindow : public QDialog
{
    Q_OBJECT

public:
    static constexpr const char* MonthNames[12] = {"Jan",  "Feb", "Mar", "Apr", "May", "Jun",
                                                   "July", "Aug", "Sep", "Oct", "Nov", "Dec"};
    // February offers its 29th so that the leap day of any year in the Year box can be listed.
    static constexpr int DaysInMonth[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

    HistoryWindow(
        QWidget* parent, const QByteArray& userFilePath, MessageBoxes& boxes,
        std::function<QDate()> today = [] { return QDate::currentDate(); });
    ~HistoryWindow() override;

    // Where the exports ask for the file; tests put their own chooser here.
    SavePathChooser chooseExportPath = standardSavePathChooser();
    // Opens the Sessions window over the chosen date (invalid when none is chosen).
    std::function<void(const QDate& day)> openSessions;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void FillDateLists(int day, int month, int twoDigitYear);
    QByteArray DateKey() const;
    QString chosenYear() const;
    QDate chosenDate() const;
    void refreshHistory();
    void showSelectedMonth();
    void filterLines();
    QString exportName(const char* extension) const;
    void exportLines();
    void exportCsv();
    void layOut();
    void centreOnOwner();
    QLabel* addLabel(const QString& text, const QRect& rect, QWidget* buddy);

    HistoryLineModel* m_model;
    QListView* HistoryList;
    QComboBox* YearList;
    QComboBox* MonthList;
    QComboBox* DayList;
    QPushButton* m_refresh;
    QPushButton* m_ok;
    QPushButton* m_sessions;
    FilterField* m_filter;
    HourlyChart* m_chart;
    ListCommands* m_commands;
    QSize m_baseSize;
    QByteArray m_userFilePath;
    MessageBoxes& m_boxes;
    std::function<QDate()> m_today;
};
