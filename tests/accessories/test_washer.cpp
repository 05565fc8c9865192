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

// Typed presets, signs included, reach the washer, which turns at the clicked one.
TEST_F(Washer, TypedPresetsReachTheWasherWhichTurnsAtTheClickedOne) {
    ASSERT_EQ(washer().lastStart(), -1);
    const std::array<QString, 4> typed = {"-20", "35", "100", "-100"};
    for (int i = 0; i < 4; i++)
        type(speedBox(i + 1), typed[i]);
    QTest::mouseClick(rotationButton(2), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return washer().lastStart() == 1; }, 5000));
    EXPECT_EQ(washer().speeds(), (kav4sim::Washer::Speeds{-20, 35, 100, -100}));
    EXPECT_EQ(washer().rotations(), 1u);
    EXPECT_EQ(washer().error(), 0);
}

} // namespace
