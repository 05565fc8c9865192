#include "widgets/lcddisplay.h"

LcdDisplay::LcdDisplay(QWidget* parent) : QLCDNumber(parent) {
    setSegmentStyle(QLCDNumber::Flat);
    setStyleSheet("QWidget{color: yellow; background-color: black;} QWidget:disabled{color: silver;}");
}
