#include "widgets/refusedinputfilter.h"

#include "widgets/steppedspinbox.h"

#include <QDoubleSpinBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>
#include <QSpinBox>
#include <QTimer>
#include <QToolTip>

namespace {

void explain(QAbstractSpinBox* box) {
    QToolTip::showText(box->mapToGlobal(QPoint(0, box->height())), RefusedInputFilter::allowedValues(*box),
                       box);
}

// What the box's text would be with the key's text typed in, as the line edit would put it.
QString typed(const QLineEdit& edit, const QString& text, int& pos) {
    QString candidate = edit.text();
    pos = edit.cursorPosition();
    if (edit.hasSelectedText()) {
        pos = edit.selectionStart();
        candidate.remove(pos, edit.selectedText().size());
    }
    candidate.insert(pos, text);
    pos += int(text.size());
    return candidate;
}

} // namespace

QString RefusedInputFilter::allowedValues(const QAbstractSpinBox& box) {
    QString low, high, suffix;
    QLocale locale = box.locale();
    // As the box writes them.
    if (!box.isGroupSeparatorShown()) locale.setNumberOptions(QLocale::OmitGroupSeparator);
    if (const auto* d = qobject_cast<const QDoubleSpinBox*>(&box)) {
        // The bounds without the zeros the box's decimals add.
        const auto number = [&](double v) {
            QString text = locale.toString(v, 'f', d->decimals());
            if (d->decimals() > 0) {
                while (text.endsWith(locale.zeroDigit()))
                    text.chop(1);
                if (text.endsWith(locale.decimalPoint())) text.chop(locale.decimalPoint().size());
            }
            return text;
        };
        low = number(d->minimum());
        high = number(d->maximum());
        suffix = d->suffix();
    } else if (const auto* i = qobject_cast<const QSpinBox*>(&box)) {
        low = locale.toString(i->minimum());
        high = locale.toString(i->maximum());
        suffix = i->suffix();
    }
    if (!box.specialValueText().isEmpty()) low += " (" + box.specialValueText() + ")";
    return QString("Allowed: %1 to %2%3").arg(low, high, suffix);
}

bool RefusedInputFilter::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (type != QEvent::KeyPress && type != QEvent::FocusOut) return false;
    auto* box = qobject_cast<QAbstractSpinBox*>(watched);
    if (!box || qobject_cast<SteppedSpinBox*>(box) || box->isReadOnly()) return false;
    auto* edit = box->findChild<QLineEdit*>();
    if (!edit) return false;
    int pos = 0;
    if (type == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const bool finishing = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
        QString text = finishing ? edit->text() : typed(*edit, key->text(), pos);
        const bool printable = !key->text().isEmpty() && key->text().at(0).isPrint();
        const QValidator::State state = box->validate(text, pos);
        // Refused as typed, or put back when the value is taken.
        if ((printable && state == QValidator::Invalid) || (finishing && state != QValidator::Acceptable))
            explain(box);
    } else {
        QString text = edit->text();
        // Shown once the focus has moved on, which would close a tip shown now.
        if (box->validate(text, pos) != QValidator::Acceptable)
            QTimer::singleShot(0, box, [box] { explain(box); });
    }
    return false;
}
