// The washer's dock on a virtual Fir, driven through the library as users drive it.
#include "accessories/firwashercontrol.h"
#include "tests/support/connectedamplifier.h"

#include <QPushButton>
#include <QSpinBox>
#include <QTest>

#include <array>

namespace {

class Washer : public kv4test::ConnectedAmplifier {
  protected:
    void SetUp() override {
        connect("fir");
        if (HasFatalFailure()) return;
        dock = std::make_unique<FirWasherControl>();
        dock->resize(300, 250);
        dock->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dock.get()));
        // Shown alone, the dock gives its first spin box the focus: put it where users leave it.
        rotationButton(4)->setFocus();
    }
    void TearDown() override {
        dock.reset();
        ConnectedAmplifier::TearDown();
    }

    QSpinBox* speedBox(int preset) const {
        return labelled<QSpinBox>(*dock, QString("preset speed %1").arg(preset));
    }
    QPushButton* rotationButton(int preset) const {
        for (QPushButton* button : dock->findChildren<QPushButton*>())
            if (button->toolTip() == QString("Perform one rotation at preset speed %1").arg(preset))
                return button;
        return nullptr;
    }
    void type(QSpinBox* box, const QString& text) {
        QTest::mouseClick(box, Qt::LeftButton);
        box->selectAll();
        QTest::keyClicks(box, text);
    }
    kav4sim::Washer washer() const { return *amplifier().washer(); }

    std::unique_ptr<FirWasherControl> dock;
};

// Typed presets reach the washer, which turns at the clicked one and gives them back signs
// included; its refresh shows the washer's speeds, but not over an edit until the focus leaves.
TEST_F(Washer, TypedPresetsReachTheWasherAndTheRefreshShowsItsSpeedsButNotOverAnEdit) {
    ASSERT_EQ(washer().lastStart(), -1);
    const std::array<QString, 4> typed = {"-20", "35", "100", "-100"};
    for (int i = 0; i < 4; i++)
        type(speedBox(i + 1), typed[i]);
    QTest::mouseClick(rotationButton(2), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return washer().lastStart() == 1; }, 5000));
    EXPECT_EQ(washer().speeds(), (kav4sim::Washer::Speeds{-20, 35, 100, -100}));
    EXPECT_EQ(washer().rotations(), 1u);
    EXPECT_EQ(washer().error(), 0);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            std::vector<int8_t> speeds;
            kv4cl::getWasherPresetSpeeds(speeds);
            return speeds == std::vector<int8_t>{-20, 35, 100, -100};
        },
        5000));

    rotationButton(4)->setFocus();
    ASSERT_EQ(kv4cl::setWasherPresetSpeeds({-42, 10, 20, 30}), kv4cl::Success);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return speedBox(1)->text() == "-42" && speedBox(4)->value() == 30; }, 5000));
    type(speedBox(1), "55");
    ASSERT_EQ(kv4cl::setWasherPresetSpeeds({-43, 11, 21, 31}), kv4cl::Success);
    // A full refresh period after the washer reports the new speeds, the edit is still there.
    ASSERT_TRUE(QTest::qWaitFor([&] { return washer().speeds()[0] == -43; }, 5000));
    EXPECT_FALSE(QTest::qWaitFor([&] { return speedBox(1)->text() != "55"; }, 700));
    EXPECT_EQ(speedBox(4)->value(), 30);
    // Once the focus leaves the spin boxes (Tab goes to the rotation button), they follow the washer again.
    QTest::keyClick(speedBox(1), Qt::Key_Tab);
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return speedBox(1)->value() == -43 && speedBox(4)->value() == 31; }, 5000));
}

} // namespace
