// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/LiveView.h"

#include <cmath>

#include <QGridLayout>
#include <QLabel>
#include <QPainter>
#include <QStringList>

namespace vlx {

QString NoteName(int pitch) {
    static const char* const names[] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
    return QString::fromLatin1(names[pitch % 12]) + QString::number(pitch / 12 - 1);
}

InputLight::InputLight(QWidget* parent) : QWidget(parent) {
    setAccessibleName(tr("MIDI input"));
    setFixedSize(11, 11);
}

void InputLight::setLit(bool lit) {
    if (lit == lit_) return;
    lit_ = lit;
    update();
}

void InputLight::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const int side = std::min(width(), height()) - 2;
    const QRectF dot((width() - side) / 2.0, (height() - side) / 2.0, side, side);
    painter.setPen(QPen(palette().color(QPalette::WindowText), 1));
    painter.setBrush(lit_ ? palette().color(QPalette::Highlight) : Qt::transparent);
    painter.drawEllipse(dot);
}

namespace {

QString heldText(const PlayerView& v) {
    if (v.heldCount == 0) return QStringLiteral("–");
    QStringList names;
    const std::size_t shown = std::min<std::size_t>(v.heldCount, PlayerView::kShownHeld);
    for (std::size_t i = 0; i < shown; ++i) names << NoteName(v.held[i] & 0xFF);
    if (v.heldCount > shown) names << QStringLiteral("…");
    return names.join(u' ');
}

QString clockText(const PlayerView& v) {
    if (!v.following) return LiveView::tr("not followed");
    const long bpm = std::lround(v.clockTempo);
    switch (v.clockState) {
    case ClockFollower::State::Running:
        return bpm > 0 ? LiveView::tr("locked, %1 bpm").arg(bpm) : LiveView::tr("locked");
    case ClockFollower::State::Stopped: return LiveView::tr("stopped");
    case ClockFollower::State::Absent: break;
    }
    if (!v.clockLost) return LiveView::tr("none arriving");
    return bpm > 0 ? LiveView::tr("lost, playing on at %1 bpm").arg(bpm) : LiveView::tr("lost");
}

void setText(QLabel* label, const QString& text) {
    // Too long for the line: cut, all of it in the tip.
    const QString shown = label->fontMetrics().elidedText(text, Qt::ElideRight, label->width());
    if (label->text() != shown) label->setText(shown);
    const QString tip = shown == text ? QString() : text;
    if (label->toolTip() != tip) label->setToolTip(tip);
}

}  // namespace

LiveView::LiveView(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("LiveView"));
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setHorizontalSpacing(6);
    grid->setVerticalSpacing(1);
    auto row = [&](int r, const QString& caption, QWidget* value, const char* name) {
        auto* label = new QLabel(caption, this);
        label->setObjectName(QString::fromLatin1(name) + QStringLiteral("Caption"));
        value->setObjectName(QString::fromLatin1(name));
        grid->addWidget(label, r, 0);
        grid->addWidget(value, r, 1);
    };
    Held = new QLabel(QStringLiteral("–"), this);
    Playing = new QLabel(QStringLiteral("–"), this);
    ClockState = new QLabel(this);
    Input = new InputLight(this);
    row(0, tr("Held:"), Held, "Held");
    row(1, tr("Playing:"), Playing, "Playing");
    row(2, tr("Clock:"), ClockState, "ClockState");
    row(3, tr("MIDI in:"), Input, "Input");
    grid->setAlignment(Input, Qt::AlignLeft | Qt::AlignVCenter);
    grid->setColumnStretch(1, 1);
    for (QLabel* value : {Held, Playing, ClockState}) value->setMinimumWidth(1);  // elided, never widening
}

void LiveView::show(const PlayerView& view, Clock::time_point now) {
    if (view.inputs != inputs_) {
        inputs_ = view.inputs;
        lastInput_ = now;
    }
    Input->setLit(now - lastInput_ < kLightHold && lastInput_ != Clock::time_point{});
    setText(Held, view.arpeggiating ? heldText(view) : QStringLiteral("–"));
    setText(Playing, view.playing >= 0 ? NoteName(view.playing & 0xFF) : QStringLiteral("–"));
    setText(ClockState, clockText(view));
}

}  // namespace vlx
