// The small shared widgets: switch, collapsible button group, timer read-out, copyable table.
// The protocol image button and the images it shows are driven through the protocol dock's hover.

#include "widgets/activationbutton.h"
#include "widgets/collapsiblesection.h"
#include "widgets/copyabletable.h"
#include "widgets/timerdisplay.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

TEST(ActivationButton, PressTogglesAndEverySetEmits) {
    ActivationButton button;
    QSignalSpy clicked(&button, &ActivationButton::clicked);
    QTest::mouseClick(&button, Qt::LeftButton);
    QTest::mouseClick(&button, Qt::LeftButton);
    // Setting the state it already has is announced as well.
    button.setChecked(false);
    button.click(true);
    EXPECT_EQ(QList<QList<QVariant>>(clicked.begin(), clicked.end()),
              (QList<QList<QVariant>>{{true}, {false}, {false}, {true}}));
    EXPECT_TRUE(button.isChecked());
}

// The buttons are exclusive and report their index; the hide button and disabling act on all of
// them. (What the controls dock makes of the toggles: its own test.)
TEST(CollapsibleSection, ButtonsAreExclusiveReportTheirIndexAndHideDisableAsOne) {
    CollapsibleSection section("Filter", {"Off", "Low", "High"});
    section.show();
    QSignalSpy value(&section, &CollapsibleSection::valueChanged);
    section.onClickButton(1);
    section.onClickButton(2);
    section.onCheckButton(0, true);
    EXPECT_EQ(QList<QList<QVariant>>(value.begin(), value.end()), (QList<QList<QVariant>>{{1}, {2}, {0}}));
    QPushButton* button = section.findChildren<QPushButton*>().first();
    QToolButton* hideShow = section.findChild<QToolButton*>();
    ASSERT_NE(hideShow, nullptr);
    hideShow->click();
    EXPECT_FALSE(button->isVisible());
    hideShow->click();
    EXPECT_TRUE(button->isVisible());
    section.onSetEnabled(false);
    EXPECT_FALSE(button->isEnabled());
}

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

TEST(TimerDisplay, TicksOnceASecondAndResumesAPauseWithTheRestOfTheSecond) {
    TimerDisplay timer;
    QElapsedTimer clock;
    timer.onStartTimer(false, QTime(0, 0, 10));
    clock.start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return timer.time() == QTime(0, 0, 9); }, 3000));
    EXPECT_GE(clock.elapsed(), 900);

    // Pause 300 ms into a second, hold well beyond a second, then resume.
    QTest::qWait(300);
    timer.onStopTimer(true);
    EXPECT_FALSE(QTest::qWaitFor([&] { return timer.time() != QTime(0, 0, 9); }, 1200)) << "paused";
    timer.onRestartTimer();
    clock.start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return timer.time() == QTime(0, 0, 8); }, 3000));
    EXPECT_LT(clock.elapsed(), 900);
    // From then on whole seconds again.
    clock.start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return timer.time() == QTime(0, 0, 7); }, 3000));
    EXPECT_GE(clock.elapsed(), 900);
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
