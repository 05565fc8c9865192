#pragma once
// Axis ticks labelled in another unit than the axis holds: each label shows the tick value times
// the conversion factor, while the ticks themselves stay where the axis puts them. The tick count
// is a ceiling: labels that were given room never overlap.

#include <qcustomplot.h>

#include <algorithm>
#include <cmath>

class ConversionScaleDraw : public QCPAxisTicker {
  public:
    explicit ConversionScaleDraw(double factor = 1.0) : conversionFactor(factor) {}

    double factor() const { return conversionFactor; }
    void setFactor(double factor) { conversionFactor = factor; }

  protected:
    // The smallest readable step (1, 2, 2.5 or 5 times a power of ten) that gives no more ticks
    // than asked for; the library's own choice may round to more.
    double getTickStep(const QCPRange& range) override {
        const double exact = range.size() / std::max(1, tickCount());
        if (!(exact > 0.0) || !std::isfinite(exact)) return QCPAxisTicker::getTickStep(range);
        const double power = std::pow(10.0, std::floor(std::log10(exact)));
        for (double mantissa : {1.0, 2.0, 2.5, 5.0})
            if (mantissa * power >= exact * (1.0 - 1e-9)) return mantissa * power;
        return 10.0 * power;
    }

    QString getTickLabel(double tick, const QLocale& locale, QChar formatChar, int precision) override {
        return QCPAxisTicker::getTickLabel(tick * conversionFactor, locale, formatChar, precision);
    }

  private:
    double conversionFactor;
};
