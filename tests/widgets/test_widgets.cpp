// The small shared widgets: timer read-out, copyable table. The switch and the collapsible button
// group are driven through the docks that hold them (the controls dock's sections, the filter
// preferences' switches); the protocol image button through the protocol dock's hover.

#include "widgets/copyabletable.h"
#include "widgets/timerdisplay.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QTest>

TEST(TimerDisplay, CountsUpOrDownFromTheStartTime) {
    TimerDisplay timer;
    for (const auto& [up, from, next] : {std::tuple(false, QTime(0, 1, 0), QTime(0, 0, 59)),
                                         std::tuple(true, QTime(1, 59, 59), QTime(2, 0, 0))}) {
        timer.onStartTimer(up, from);
        EXPECT_EQ(timer.time(), from);
        timer.onUpdateTimer();
        EXPECT_EQ(timer.time(), next);
    }
    // A restart after a stop that is not a pause counts up from zero again.
    timer.onStopTimer();
    timer.onRestartTimer();
    EXPECT_EQ(timer.time(), QTime(0, 0));
    timer.onUpdateTimer();
    EXPECT_EQ(timer.time(), QTime(0, 0, 1));
}

TEST(CopyableTable, CopyKeyCopiesTheFirstSelectedBlock) {
    CopyableTable table;
    table.setRowCount(3);
    table.setColumnCount(3);
    for (int r = 0; r < 3; r++) {
        table.setItem(r, 0, new QTableWidgetItem(QString("ch %1").arg(r + 1)));
        for (int c = 1; c < 3; c++) {
            table.setItem(r, c, new QTableWidgetItem);
            table.item(r, c)->setData(Qt::DisplayRole, 1000.5 * (r + 1) + c);
        }
    }
    table.setRangeSelected(QTableWidgetSelectionRange(1, 0, 2, 1), true);
    table.setRangeSelected(QTableWidgetSelectionRange(0, 2, 0, 2), true);
    QApplication::clipboard()->clear();
    QTest::keyClick(&table, Qt::Key_C, Qt::ControlModifier);
    const QLocale locale = QLocale::system();
    EXPECT_EQ(QApplication::clipboard()->text(),
              "ch 2\t" + locale.toString(2002.0) + "\nch 3\t" + locale.toString(3002.5));
}
