#pragma once
// The read-out style of the panels: flat yellow segments on black, silver when disabled.

#include <QLCDNumber>

class LcdDisplay : public QLCDNumber {
    Q_OBJECT

  public:
    explicit LcdDisplay(QWidget* parent = nullptr);
};
