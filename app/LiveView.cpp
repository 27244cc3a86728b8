// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/LiveView.h"

#include <algorithm>
#include <cmath>

#include <QHelpEvent>
#include <QPaintEvent>
#include <QResizeEvent>
#include <QPainter>
#include <QStringList>
#include <QToolTip>

namespace vlx {

QString NoteName(int pitch) {
    static const char* const names[] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
    return QString::fromLatin1(names[pitch % 12]) + QString::number(pitch / 12 - 1);
}

namespace {

const QString kNone = QStringLiteral("–");

QString heldText(const PlayerView& v) {
    if (!v.arpeggiating || v.heldCount == 0) return kNone;
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

// The switches of the table the view shows, those that are on.
QString switchesText(const PlayerView& v) {
    QStringList on;
    for (const ControlInfo& info : Controls())
        if (info.shownLive && v.controls.on(info.id)) on << LiveView::tr(PlainLabel(info).c_str());
    return on.isEmpty() ? kNone : on.join(QStringLiteral(", "));
}

}  // namespace

LiveView::LiveView(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("LiveView"));
    // It paints its own background: a row's change repaints that row only,
    // not the window beneath it.
    setAttribute(Qt::WA_OpaquePaintEvent);
    captions_ = {tr("Held:"), tr("Playing:"), tr("Clock:"), tr("On:"), tr("MIDI in:")};
    texts_ = {kNone, kNone, QString(), kNone, QString()};
    for (QStaticText& t : captionShown_) t.setTextFormat(Qt::PlainText);
    for (QStaticText& t : shown_) t.setTextFormat(Qt::PlainText);
    QEvent fonts(QEvent::FontChange);
    changeEvent(&fonts);
    setAccessibleName(tr("What plays"));
}

void LiveView::show(const PlayerView& view, Clock::time_point now) {
    if (view.inputs != inputs_) {
        inputs_ = view.inputs;
        lastInput_ = now;
    }
    const bool lit = lastInput_ != Clock::time_point{} && now - lastInput_ < kLightHold;
    if (lit != lit_) {
        lit_ = lit;
        texts_[Input] = lit ? tr("receiving") : QString();  // said, not drawn: the light is
        update(rowRect(Input));
    }
    // Texts are made only for what changed: this runs at the screen's pace.
    const bool heldSame = shownView_ && shownView_->arpeggiating == view.arpeggiating &&
                          shownView_->heldCount == view.heldCount && shownView_->held == view.held;
    const bool clockSame = shownView_ && shownView_->following == view.following &&
                           shownView_->clockState == view.clockState && shownView_->clockLost == view.clockLost &&
                           std::lround(shownView_->clockTempo) == std::lround(view.clockTempo);
    if (!heldSame) set(Held, heldText(view));
    if (!shownView_ || shownView_->playing != view.playing)
        set(Playing, view.playing >= 0 ? NoteName(view.playing & 0xFF) : kNone);
    if (!clockSame) set(ClockState, clockText(view));
    if (!shownView_ || shownView_->controls != view.controls) set(Switches, switchesText(view));
    shownView_ = view;
}

void LiveView::set(Row row, const QString& text) {
    if (texts_[row] == text) return;
    texts_[row] = text;
    prepare(row);
    update(rowRect(row));
}

// Laid out once per change, not at every paint: shaping text is what a
// repaint would otherwise spend its time on.
// The note playing changes every step among at most 129 texts: each is
// laid out once.
void LiveView::prepare(int row) {
    if (row == Playing) {
        if (const auto known = playingShown_.constFind(texts_[row]); known != playingShown_.cend()) {
            shown_[row] = *known;
            return;
        }
    }
    const int room = std::max(0, width() - valueLeft());
    shown_[row].setText(fontMetrics().elidedText(texts_[row], Qt::ElideRight, room));
    shown_[row].prepare(QTransform(), font());
    if (row == Playing) playingShown_.insert(texts_[row], shown_[row]);
}

void LiveView::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange) {
        int widest = 0;
        for (const QString& caption : captions_) widest = std::max(widest, fontMetrics().horizontalAdvance(caption));
        valueLeft_ = widest + fontMetrics().horizontalAdvance(u' ') * 2;
        playingShown_.clear();
        for (int row = 0; row < kRows; ++row) {
            captionShown_[row].setText(captions_[row]);
            captionShown_[row].prepare(QTransform(), font());
            prepare(row);
        }
    }
    QWidget::changeEvent(event);
}

void LiveView::resizeEvent(QResizeEvent* event) {
    playingShown_.clear();
    for (int row = 0; row < kRows; ++row) prepare(row);
    QWidget::resizeEvent(event);
}

QRect LiveView::rowRect(int row) const {
    const int h = height() / kRows;
    return {0, row * h, width(), h};
}

// Where the values begin: after the widest caption and a gap.
int LiveView::valueLeft() const { return valueLeft_; }

void LiveView::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    painter.fillRect(event->rect(), palette().color(QPalette::Window));
    const int left = valueLeft();
    painter.setPen(palette().color(QPalette::WindowText));
    const int lineTop = (rowRect(0).height() - fontMetrics().height()) / 2;
    for (int row = 0; row < kRows; ++row) {
        const QRect r = rowRect(row);
        if (!event->rect().intersects(r)) continue;
        painter.drawStaticText(r.left(), r.top() + lineTop, captionShown_[row]);
        const QRect value = r.adjusted(left, 0, 0, 0);
        if (row == Input) {
            // The light: filled while MIDI arrives.
            const int side = std::min(value.height(), fontMetrics().height()) * 2 / 3;
            const QRectF dot(value.left(), value.center().y() - side / 2.0, side, side);
            painter.setRenderHint(QPainter::Antialiasing);
            painter.setBrush(lit_ ? palette().color(QPalette::Highlight) : Qt::transparent);
            painter.drawEllipse(dot);
            painter.setRenderHint(QPainter::Antialiasing, false);
            continue;
        }
        painter.drawStaticText(value.left(), value.top() + lineTop, shown_[row]);
    }
}

// A row cut short shows all of itself as a tooltip.
bool LiveView::event(QEvent* event) {
    if (event->type() != QEvent::ToolTip) return QWidget::event(event);
    auto* help = static_cast<QHelpEvent*>(event);
    const int row = std::clamp(help->pos().y() / std::max(1, height() / kRows), 0, kRows - 1);
    const int room = width() - valueLeft();
    if (row != Input && fontMetrics().horizontalAdvance(texts_[row]) > room)
        QToolTip::showText(help->globalPos(), texts_[row], this);
    else
        QToolTip::hideText();
    return true;
}

}  // namespace vlx
