#pragma once
// Driving a dock as a user does (typing, keys, the wheel, closing the boxes it opens), at the
// screen sizes users have, and reading back what the virtual amplifier was told.

#include "commlib/api/kv4cl.h"
#include "simulator/virtualamplifier.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QSize>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>

#include <chrono>
#include <memory>

namespace kv4test {

inline const QString applyTip = "Apply the current stimulus (ENTER/RETURN)";

// The smallest and a common screen: a dock gets the side column a window gives it there.
inline const QSize screens[] = {{1366, 768}, {1920, 1080}};

inline void placeOn(QWidget& dock, QSize screen) {
    dock.resize(screen.width() / 4, screen.height() - 100);
    dock.show();
    QApplication::setActiveWindow(&dock);
}

// Selects the box's text and types over it, then presses `then` when given.
inline void typeInto(QAbstractSpinBox* box, const QString& text, Qt::Key then = Qt::Key_unknown) {
    ASSERT_TRUE(box);
    box->setFocus();
    box->selectAll();
    QTest::keyClicks(box, text);
    if (then != Qt::Key_unknown) QTest::keyClick(box, then);
}

inline void wheel(QWidget* widget, int notches, Qt::KeyboardModifiers modifiers = {}) {
    const QPointF at = QRectF(widget->rect()).center();
    QWheelEvent event(at, widget->mapToGlobal(at), {}, {0, 120 * notches}, Qt::NoButton, modifiers,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(widget, &event);
}

// The first `Widget` within `parent` that `test` accepts, or nullptr.
template <typename Widget, typename Test> Widget* first(const QObject& parent, Test test) {
    for (Widget* w : parent.findChildren<Widget*>())
        if (test(w)) return w;
    return nullptr;
}

// The widget that the label with this text names, within `parent`.
template <typename Widget> Widget* labelled(const QWidget& parent, const QString& text) {
    for (const QLabel* label : parent.findChildren<QLabel*>())
        if (label->text() == text) return qobject_cast<Widget*>(label->buddy());
    ADD_FAILURE() << "no field " << text.toStdString();
    return nullptr;
}

template <typename Button = QAbstractButton> Button* byToolTip(const QWidget& parent, const QString& tip) {
    for (Button* b : parent.findChildren<Button*>())
        if (b->toolTip() == tip) return b;
    ADD_FAILURE() << "no button " << tip.toStdString();
    return nullptr;
}

// The text of the next message box, closed once it shows (after a file dialog, say); the
// watch ends with `owner`.
inline std::shared_ptr<QString> closeNextBox(QObject* owner) {
    auto text = std::make_shared<QString>();
    auto* poll = new QTimer(owner);
    QObject::connect(poll, &QTimer::timeout, [poll, text] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            *text = box->text();
            box->close();
            poll->stop();
        }
    });
    poll->start(10);
    return text;
}

inline void writeFile(const QString& path, const QString& text) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text.toUtf8());
}

// What the device holds once it has decoded a message sent after every call so far.
inline kav4sim::DecodedCommand fenced(const kav4sim::VirtualAmplifier& amplifier) {
    const uint64_t resets = amplifier.command().resets;
    EXPECT_EQ(kv4cl::resetDevice(), kv4cl::Success);
    EXPECT_TRUE(amplifier.waitForCommand([&](const kav4sim::DecodedCommand& c) { return c.resets > resets; },
                                         std::chrono::seconds(10)));
    return amplifier.command();
}

} // namespace kv4test
