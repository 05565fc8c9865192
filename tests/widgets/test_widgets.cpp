// The small shared widgets: switch, collapsible button group, timer read-out, copyable
// table, message window and protocol image button.

#include "widgets/activationbutton.h"
#include "widgets/collapsiblesection.h"
#include "widgets/copyabletable.h"
#include "widgets/images.h"
#include "widgets/messagedialog.h"
#include "widgets/protocolimagebutton.h"
#include "widgets/timerdisplay.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QEnterEvent>
#include <QImageReader>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

TEST(ActivationButton, PressTogglesAndEverySetEmits) {
    ActivationButton button;
    QSignalSpy clicked(&button, &ActivationButton::clicked);
    QTest::mouseClick(&button, Qt::LeftButton);
    EXPECT_TRUE(button.isChecked());
    QTest::mouseClick(&button, Qt::LeftButton);
    EXPECT_FALSE(button.isChecked());
    // Setting the state it already has is announced as well.
    button.setChecked(false);
    button.click(true);
    ASSERT_EQ(clicked.count(), 4);
    const bool expected[] = {true, false, false, true};
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(clicked.at(i).at(0).toBool(), expected[i]) << i;
    EXPECT_TRUE(button.isChecked());
}

TEST(CollapsibleSection, ButtonsAreExclusiveReportTheirIndexAndHideDisableAsOne) {
    CollapsibleSection section("Filter", {"Off", "Low", "High"});
    section.show();
    QSignalSpy toggled(&section, &CollapsibleSection::buttonToggled);
    QSignalSpy value(&section, &CollapsibleSection::valueChanged);
    section.onClickButton(1);
    section.onClickButton(2);
    section.onCheckButton(0, true);
    // Qt unchecks the previous button before checking the new one.
    const QList<QList<QVariant>> expected = {{1, true}, {1, false}, {2, true}, {2, false}, {0, true}};
    EXPECT_EQ(QList<QList<QVariant>>(toggled.begin(), toggled.end()), expected);
    EXPECT_EQ(QList<QList<QVariant>>(value.begin(), value.end()), (QList<QList<QVariant>>{{1}, {2}, {0}}));

    QPushButton* button = section.findChildren<QPushButton*>().first();
    QToolButton* hideShow = section.findChild<QToolButton*>();
    ASSERT_NE(hideShow, nullptr);
    hideShow->click();
    EXPECT_FALSE(button->isVisible());
    hideShow->click();
    EXPECT_TRUE(button->isVisible());
    section.onHideShowBtnClick(false);
    EXPECT_FALSE(button->isVisible());
    EXPECT_FALSE(hideShow->isChecked());
    section.onSetEnabled(false);
    EXPECT_FALSE(button->isEnabled());
}

TEST(TimerDisplay, CountsUpOrDownFromTheStartTime) {
    TimerDisplay timer;
    timer.onStartTimer(false, QTime(0, 1, 0));
    EXPECT_EQ(timer.time(), QTime(0, 1, 0));
    timer.onUpdateTimer();
    EXPECT_EQ(timer.time(), QTime(0, 0, 59));
    timer.onStartTimer(true, QTime(1, 59, 59));
    timer.onUpdateTimer();
    EXPECT_EQ(timer.time(), QTime(2, 0, 0));
    timer.onStartTimer();
    EXPECT_EQ(timer.time(), QTime(0, 0));

    // A restart after a stop that is not a pause counts up from zero again.
    timer.onStartTimer(false, QTime(0, 5, 0));
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
    QTest::qWait(1200);
    EXPECT_EQ(timer.time(), QTime(0, 0, 9));
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
        for (int c = 0; c < 3; c++) {
            auto* item = new QTableWidgetItem;
            if (c == 0)
                item->setText(QString("ch %1").arg(r + 1));
            else
                item->setData(Qt::DisplayRole, 1000.5 * (r + 1) + c);
            table.setItem(r, c, item);
        }
    }
    table.setRangeSelected(QTableWidgetSelectionRange(1, 0, 2, 1), true);
    table.setRangeSelected(QTableWidgetSelectionRange(0, 2, 0, 2), true);
    QApplication::clipboard()->clear();

    QTest::keyClick(&table, Qt::Key_C, Qt::ControlModifier);
    const QLocale locale = QLocale::system();
    const QString expected = "ch 2\t" + locale.toString(2002.0) + "\nch 3\t" + locale.toString(3002.5);
    EXPECT_EQ(QApplication::clipboard()->text(), expected);
}

TEST(MessageDialog, ShowsTheMessageAndOkAccepts) {
    MessageDialog dialog("KAV4", "Recording stopped");
    EXPECT_EQ(dialog.windowTitle(), "KAV4");
    QStringList texts;
    for (const QLabel* label : dialog.findChildren<QLabel*>())
        texts << label->text();
    EXPECT_TRUE(texts.contains("Recording stopped"));
    dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
}

TEST(Images, ComeAtTheirLogicalSizeOrTheirLargestVariant) {
    const QPixmap logo = imagePixmap(":/imgs/logo_with_name.png");
    ASSERT_FALSE(logo.isNull());
    EXPECT_EQ(logo.deviceIndependentSize(), QImageReader(":/imgs/logo_with_name.png").size());
    EXPECT_EQ(largestImage(":/imgs/logo_with_name.png").size(), 2 * logo.size())
        << "the logo is scaled from its sharpest variant";
    EXPECT_TRUE(imagePixmap(":/imgs/no such image.png").isNull());
}

TEST(ProtocolImageButton, ReportsThePointerEnteringAndLeaving) {
    ProtocolImageButton button;
    QSignalSpy over(&button, &ProtocolImageButton::mouseOver);
    QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
    QApplication::sendEvent(&button, &enter);
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(&button, &leave);
    ASSERT_EQ(over.count(), 2);
    EXPECT_TRUE(over.at(0).at(0).toBool());
    EXPECT_FALSE(over.at(1).at(0).toBool());
}
