// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/WindowControls.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <QWheelEvent>
#include <QWindow>

namespace vlx {

void SwitchButton::paintEvent(QPaintEvent* event) {
    if (!isChecked()) return QPushButton::paintEvent(event);
    // An inactive window's selection colour can be a pale grey; the switch
    // keeps the active one.
    const QPalette::ColorGroup group = isEnabled() ? QPalette::Active : QPalette::Disabled;
    QStylePainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(palette().color(group, QPalette::Dark));
    painter.setBrush(palette().color(group, QPalette::Highlight));
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 3, 3);

    QStyleOptionButton option;
    initStyleOption(&option);
    option.palette.setColor(QPalette::ButtonText, palette().color(group, QPalette::HighlightedText));
    option.rect = style()->subElementRect(QStyle::SE_PushButtonContents, &option, this);
    painter.drawControl(QStyle::CE_PushButtonLabel, option);
    if (hasFocus()) {
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        focus.rect = style()->subElementRect(QStyle::SE_PushButtonFocusRect, &option, this);
        focus.backgroundColor = palette().color(group, QPalette::Highlight);
        painter.drawPrimitive(QStyle::PE_FrameFocusRect, focus);
    }
}

UpwardScrollBar::UpwardScrollBar(QWidget* parent) : QScrollBar(Qt::Vertical, parent) {
    // The handle stands high for a high value, so dragging it up raises it.
    setInvertedAppearance(true);
    // Called after Qt has moved the position for the action and before the
    // value changes: the place to send it the other way.
    connect(this, &QAbstractSlider::actionTriggered, this, [this](int action) {
        switch (action) {
        case SliderSingleStepAdd: setSliderPosition(value() - singleStep()); break;
        case SliderSingleStepSub: setSliderPosition(value() + singleStep()); break;
        case SliderPageStepAdd: setSliderPosition(value() - pageStep()); break;
        case SliderPageStepSub: setSliderPosition(value() + pageStep()); break;
        case SliderToMinimum: setSliderPosition(maximum()); break;
        case SliderToMaximum: setSliderPosition(minimum()); break;
        default: break;  // a drag already follows the inverted appearance
        }
    });
}

bool UpwardScrollBar::event(QEvent* event) {
    if (event->type() != QEvent::Wheel) return QScrollBar::event(event);
    // Qt scrolls several lines per notch and downwards for a wheel turned up;
    // a value control follows the wheel itself, one step per notch.
    auto* wheel = static_cast<QWheelEvent*>(event);
    int angle = wheel->angleDelta().y();
    if (wheel->inverted()) angle = -angle;
    wheelAngle_ += angle;
    const int steps = wheelAngle_ / QWheelEvent::DefaultDeltasPerStep;
    wheelAngle_ -= steps * QWheelEvent::DefaultDeltasPerStep;
    if (steps != 0) setValue(value() + steps * singleStep());
    wheel->accept();
    return true;
}

FocusLeaveGate::FocusLeaveGate(QWidget* box, std::function<bool()> refuse)
    : QObject(box), box_(box), refuse_(std::move(refuse)) {
    // The window's own events arrive before Qt gives the focus to the
    // control under the pointer; only an application filter sees them.
    qApp->installEventFilter(this);
}

bool FocusLeaveGate::eventFilter(QObject* watched, QEvent* event) {
    if (checking_ || !leaves(watched, event)) return false;
    // A message of an earlier refusal is still open: nothing acts meanwhile.
    if (QApplication::activeModalWidget()) return true;
    checking_ = true;  // the message box takes the focus for itself
    const bool refused = refuse_();
    checking_ = false;
    return refused;
}

bool FocusLeaveGate::leaves(QObject* watched, QEvent* event) const {
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel: {
        QWidget* window = box_->window();
        if (watched != window->windowHandle() || window->focusWidget() != box_) return false;
        const QPoint at = static_cast<QSinglePointEvent*>(event)->position().toPoint();
        return isOtherControl(window->childAt(at), false);
    }
    case QEvent::KeyPress: {
        if (watched != box_) return false;
        // The keys with which QWidget moves the focus on.
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->modifiers() & (Qt::ControlModifier | Qt::AltModifier)) return false;
        return key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab;
    }
    case QEvent::Shortcut:
        return box_->window()->focusWidget() == box_ && isOtherControl(qobject_cast<QWidget*>(watched), true);
    default:
        return false;
    }
}

bool FocusLeaveGate::isOtherControl(QWidget* widget, bool byMnemonic) const {
    QWidget* window = box_->window();
    while (widget && widget->parentWidget() != window) widget = widget->parentWidget();
    if (!widget || widget == box_ || !widget->isEnabled()) return false;
    // A click on a label does nothing; its mnemonic moves the focus to its buddy.
    if (auto* label = qobject_cast<QLabel*>(widget)) return byMnemonic && label->buddy() && label->buddy() != box_;
    return true;
}

StepKeysTo::StepKeysTo(QLineEdit* box, QScrollBar* bar, std::function<bool()> accept)
    : QObject(box), box_(box), bar_(bar), accept_(std::move(accept)) {
    box->installEventFilter(this);
}

bool StepKeysTo::eventFilter(QObject* watched, QEvent* event) {
    if (watched != box_ || box_->isReadOnly()) return false;
    bool step = event->type() == QEvent::Wheel;
    if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const bool plain = (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
        step = plain && (key->key() == Qt::Key_Up || key->key() == Qt::Key_Down || key->key() == Qt::Key_PageUp ||
                         key->key() == Qt::Key_PageDown);
    }
    if (!step) return false;
    if (accept_()) QCoreApplication::sendEvent(bar_, event);
    return true;
}

StepsEditor::StepsEditor(int places, QWidget* parent) : QWidget(parent) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(1);
    for (int i = 0; i < places; ++i) {
        auto* place = new QPushButton(this);
        place->setObjectName(QStringLiteral("Step%1").arg(i + 1));
        place->setFixedWidth(fontMetrics().horizontalAdvance(u'M') + 6);
        place->setToolTip(tr("Step %1: a click moves it on from play (x) to rest (.) to tie (-)").arg(i + 1));
        connect(place, &QPushButton::clicked, this, [this, i] {
            const auto next = static_cast<StepState>((static_cast<int>(StepAt(value_, i)) + 1) % 3);
            value_ = WithStep(value_, i, next);
            show(i);
            if (changed_) changed_();
        });
        row->addWidget(place);
        places_.push_back(place);
        show(i);
    }
}

void StepsEditor::setValue(std::int32_t value) {
    if (value == value_) return;
    value_ = value;
    for (int i = 0; i < static_cast<int>(places_.size()); ++i) show(i);
    if (changed_) changed_();
}

void StepsEditor::show(int place) {
    const auto state = static_cast<std::size_t>(StepAt(value_, place));
    places_[static_cast<std::size_t>(place)]->setText(QString(QChar::fromLatin1(state < 3 ? kStepMarks[state] : '?')));
}

}  // namespace vlx
