// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/Arpeggiator.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include "model/Checked.h"
#include "model/HostTime.h"

namespace vlx {

using checked::add;
using checked::mul;
using checked::narrow;
using checked::sub;

namespace {
std::uint32_t clockSeed() {
    return static_cast<std::uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count());
}

using Order = std::vector<Arpeggiator::Step>;

// The octaves the Up order walks, in its order: upward (the span's own),
// downward, or up and back down without playing either end twice.
struct Span {
    std::int16_t k;
    std::int16_t order;
    std::int64_t layers() const {
        if (k <= 0) return 0;
        return order == Arpeggiator::OctavesBounce && k > 1 ? 2 * k - 2 : k;
    }
    std::int16_t at(std::int64_t i) const {
        if (order == Arpeggiator::OctavesDown) return static_cast<std::int16_t>(k - i);
        if (order == Arpeggiator::OctavesBounce && i >= k) return static_cast<std::int16_t>(2 * k - 1 - i);
        return static_cast<std::int16_t>(i + 1);
    }
};

// Lowest note at its own pitch up to the highest note in the last of the
// span's octaves, appended to `out`, leaving out the first `skipFirst` and
// the last `skipLast` steps. `places`, when given, names the note at each
// place instead of the pitch order.
void appendUp(Order& out, std::int16_t n, const Span& k, int skipFirst = 0, int skipLast = 0,
              const std::vector<std::int16_t>* places = nullptr) {
    const auto total = static_cast<std::int64_t>(std::max<std::int16_t>(n, 0)) * k.layers();
    std::int64_t s = 0;
    for (std::int64_t o = 0; o < k.layers(); ++o)
        for (std::int16_t p = 1; p <= n; p = add<std::int16_t>(p, 1), ++s)
            if (s >= skipFirst && s < total - skipLast)
                out.push_back({places ? (*places)[static_cast<std::size_t>(p - 1)] : p, k.at(o)});
}

// The exact reverse of the up order.
void appendDown(Order& out, std::int16_t n, const Span& k, int skipFirst = 0, int skipLast = 0) {
    const auto total = static_cast<std::int64_t>(std::max<std::int16_t>(n, 0)) * k.layers();
    std::int64_t s = 0;
    for (std::int64_t o = k.layers() - 1; o >= 0; --o)
        for (std::int16_t p = n; p >= 1; p = sub<std::int16_t>(p, 1), ++s)
            if (s >= skipFirst && s < total - skipLast) out.push_back({p, k.at(o)});
}

// The second half of a pass with a turn leaves out the turn's first and
// last steps, so that they are not played twice in a row; a turn of two
// steps or fewer adds nothing.
int turnSkip(std::int16_t n, const Span& k) {
    return static_cast<std::int64_t>(std::max<std::int16_t>(n, 0)) * k.layers() > 2 ? 1 : 0;
}
void appendUpTurn(Order& out, std::int16_t n, const Span& k) {
    if (turnSkip(n, k)) appendUp(out, n, k, 1, 1);
}
void appendDownTurn(Order& out, std::int16_t n, const Span& k) {
    if (turnSkip(n, k)) appendDown(out, n, k, 1, 1);
}

// a / b rounded down, for a signed a and b > 0.
std::int64_t floorDiv(std::int64_t a, std::int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

// A number in [0, 1) of single precision: 24 random bits, exactly representable.
float unitFloat(std::mt19937& rng) { return static_cast<float>(rng() >> 8) * 0x1p-24f; }
}  // namespace

Arpeggiator::Arpeggiator()
    : noteAry_(std::make_shared<vlx::NoteAry>()),
      noteOnQ_(std::make_shared<vlx::NoteOnQ>()),
      noteOffQ_(std::make_shared<vlx::NoteOffQ>()),
      playQ_(std::make_shared<vlx::PlayQ>()),
      seedSource_(clockSeed) {}

// The octaves walked up and back down make the longest pass.
std::int32_t Arpeggiator::MaxSteps(std::int32_t maxHeld, std::int16_t maxOctaves) noexcept {
    const std::int64_t layers = Span{std::max<std::int16_t>(maxOctaves, 0), OctavesBounce}.layers();
    const std::int64_t up = static_cast<std::int64_t>(std::max(maxHeld, 0)) * std::max<std::int64_t>(layers, maxOctaves);
    return static_cast<std::int32_t>(std::min<std::int64_t>(std::max<std::int64_t>(2 * up - 2, up), 32767));
}

// A pass with notes repeated or a rhythm can be longer still: it is cut
// at this length (a whole number of rhythms), which only thousands of
// keys held reach.
void Arpeggiator::Reserve(std::int32_t maxHeld, std::int16_t maxOctaves) {
    const auto steps = static_cast<std::size_t>(MaxSteps(maxHeld, maxOctaves));
    maxPass_ = std::max<std::int32_t>(MaxSteps(maxHeld, maxOctaves), 16);
    noteAry_->Reserve(static_cast<std::size_t>(std::max(maxHeld, 0)) + 1);
    // A fired step is queued again before the head is pulled.
    noteOnQ_->Reserve(steps + 1);
    noteOffQ_->Reserve(steps + 1);
    playQ_->Reserve(steps + 1);
    order_.reserve(steps + 1);  // a repeat split by a rebuild on the beat
    byArrival_.reserve(static_cast<std::size_t>(std::max(maxHeld, 0)) + 1);
}

Arpeggiator::~Arpeggiator() {
    // Released in this order by design; no note-offs go out here.
    playQ_.reset();
    noteOffQ_.reset();
    noteOnQ_.reset();
    noteAry_.reset();
    vlx_.reset();
}

void Arpeggiator::SeedSource(std::function<std::uint32_t()> source) {
    seedSource_ = source ? std::move(source) : std::function<std::uint32_t()>(clockSeed);
}

// ---- parameters and timing ----

std::int16_t Arpeggiator::CalcPeriod(std::int16_t bpm, std::int16_t nBeats) {
    const auto beats = mul<std::int32_t>(nBeats, 7500);
    return checked::round<std::int16_t>(checked::divide(beats, bpm));
}

std::int16_t Arpeggiator::CalcDuration(std::int16_t length, std::int16_t susCode) {
    const auto scaled = mul<std::int32_t>(length, susCode);
    const auto third = checked::round<std::int16_t>(checked::divide(scaled, 3.0));
    return sub<std::int16_t>(third, 2);
}

namespace {
// A step of the resolution, of two thirds of it or of one and a half.
std::pair<std::int64_t, std::int64_t> feelFactor(std::int16_t feel) {
    if (feel == 2) return {2, 3};
    if (feel == 3) return {3, 2};
    return {1, 1};
}
// a / b rounded half to even, as a plain step is rounded, for b > 0.
std::int64_t evenDiv(std::int64_t a, std::int64_t b) {
    const std::int64_t q = floorDiv(a, b), twice = 2 * (a - q * b);
    return twice > b || (twice == b && (q & 1)) ? q + 1 : q;
}
bool earlier(const Arpeggiator::Moment& a, const Arpeggiator::Moment& b) {
    const std::int32_t d = hosttime::distance(a.ms, b.ms);
    return d > 0 || (d == 0 && a.frac < b.frac);
}
std::int32_t slotAfter(std::int32_t slot, std::int64_t n) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(slot) + static_cast<std::uint32_t>(n));
}
// How many slots `slot` lies after `from` (before: below 0).
std::int64_t slotsFrom(std::int32_t from, std::int32_t slot) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(slot) - static_cast<std::uint32_t>(from));
}
// m moved by the span from `a` to `b`.
Arpeggiator::Moment moved(const Arpeggiator::Moment& m, const Arpeggiator::Moment& a, const Arpeggiator::Moment& b) {
    const std::int64_t by = std::int64_t{hosttime::distance(a.ms, b.ms)} * 65536 + b.frac - a.frac + m.frac;
    const std::int64_t ms = floorDiv(by, 65536);
    return {hosttime::after(m.ms, static_cast<std::int32_t>(ms)), static_cast<std::uint16_t>(by - ms * 65536)};
}
}  // namespace

// Whole milliseconds, as ever, unless the timing asks for more: a step of
// the resolution's triplet or dotted length, or laid at tenths of a bpm
// (then only rounded here, for lengths and limits; the grid keeps it exact).
std::int16_t Arpeggiator::TypedPeriod() const {
    if (timing_.tenths == 0 && timing_.feel != 2 && timing_.feel != 3) return CalcPeriod(tempo_, resolution_);
    const auto [num, den] = feelFactor(timing_.feel);
    const double ms = timing_.tenths > 0
                          ? checked::divide(75000.0 * resolution_ * static_cast<double>(num), static_cast<double>(den * timing_.tenths))
                          : checked::divide(7500.0 * resolution_ * static_cast<double>(num), static_cast<double>(den * tempo_));
    return checked::round<std::int16_t>(std::min<double>(ms, kLongestStep));
}

std::int16_t Arpeggiator::DurationFor(std::int16_t length) const {
    if (timing_.gate <= 0) return CalcDuration(length, sustain_);
    // Ends 2 ms before the next step at the most, as Legatto does.
    const auto gated = checked::round<std::int32_t>(static_cast<double>(length) * timing_.gate / 100.0);
    return static_cast<std::int16_t>(std::max(1, std::min<std::int32_t>(gated, length - 2)));
}

void Arpeggiator::SetTiming(const Timing& timing) {
    timing_ = timing;
    recalcTiming();
}

void Arpeggiator::recalcTiming() {
    period_ = TypedPeriod();
    duration_ = DurationFor(period_);
}

// ---- the grid of steps ----

// Pairs of steps: whole ms from period (as plain steps are laid, or after an
// outside clock set it), or exact from the tenths of a bpm; the second step
// of a pair at the swing's share of it.
Arpeggiator::Grid Arpeggiator::gridFrom(const GridPoint& from, bool wholeMs) const {
    Grid g;
    g.at = from.at;
    g.slot = from.slot;
    g.flip = grid_.flip;
    g.valid = true;
    const std::int64_t swing = std::clamp<std::int16_t>(timing_.swing, 50, 75);
    if (timing_.tenths > 0 && !wholeMs) {
        const auto [num, den] = feelFactor(timing_.feel);
        std::int64_t pn = 75000LL * std::max<std::int16_t>(resolution_, 1) * num, pd = den * timing_.tenths;
        if (pn > kLongestStep * pd) pn = kLongestStep, pd = 1;
        g.pair = 200 * pn;
        g.second = 2 * swing * pn;
        g.den = 100 * pd;
        g.timed = true;
    } else {
        const std::int64_t p = std::max<std::int16_t>(period_, 1);
        g.pair = 2 * p;
        g.second = static_cast<std::int64_t>(checked::roundHalfEven(static_cast<double>(2 * p * swing) / 100.0));
        g.timed = swing != 50;
    }
    return g;
}

Arpeggiator::Moment Arpeggiator::gridAt(std::int32_t slot) const {
    const auto units = [this](std::int64_t s) {
        s += grid_.flip;
        return floorDiv(s, 2) * grid_.pair + ((s & 1) ? grid_.second : 0);
    };
    const std::int64_t delta = units(slot) - units(grid_.slot);
    std::int64_t q = floorDiv(delta, grid_.den);
    std::int64_t frac = grid_.at.frac + (delta - q * grid_.den) * 65536 / grid_.den;
    q += frac >> 16;
    frac &= 0xFFFF;
    return {hosttime::after(grid_.at.ms, static_cast<std::int32_t>(q)), static_cast<std::uint16_t>(frac)};
}

std::int16_t Arpeggiator::lengthAt(std::int32_t slot) const {
    const std::int64_t units = ((slot + grid_.flip) & 1) ? grid_.pair - grid_.second : grid_.second;
    return static_cast<std::int16_t>(std::clamp<std::int64_t>(evenDiv(units, grid_.den), 1, kLongestStep));
}

// Where the note of the step at `slot` ends on the grid: its own step's
// share, and then through each step tied to it, as long as those steps.
Arpeggiator::Moment Arpeggiator::endOf(std::int32_t slot, std::int16_t tied) const {
    const Moment on = gridAt(slot);
    const Moment end{hosttime::after(on.ms, DurationFor(lengthAt(slot))), on.frac};
    if (tied <= 0) return end;
    return moved(end, gridAt(slotAfter(slot, 1)), gridAt(slotAfter(slot, 1 + tied)));
}

// The grid's first slot at or after t: found near its estimate, the points
// rising with their slots.
std::int32_t Arpeggiator::slotAt(const Moment& t) const {
    if (grid_.pair <= 0) return grid_.slot;  // none laid out yet
    const std::int64_t ahead = static_cast<std::int64_t>(hosttime::distance(grid_.at.ms, t.ms)) * 2 * grid_.den;
    std::int32_t slot = slotAfter(grid_.slot, floorDiv(ahead, std::max<std::int64_t>(grid_.pair, 1)));
    while (earlier(gridAt(slot), t)) slot = slotAfter(slot, 1);
    while (!earlier(gridAt(slotAfter(slot, -1)), t)) slot = slotAfter(slot, -1);
    return slot;
}

// On a grid of pairs each step's note follows its own step's length.
std::int16_t Arpeggiator::durationAt(std::int32_t slot, const NoteEvt& note) const {
    return grid_.timed ? DurationFor(lengthAt(slot)) : note.Duration;
}

bool Arpeggiator::due(const QEvt& e, std::int32_t lNow, std::uint16_t nowFrac) const {
    const std::int32_t d = hosttime::distance(e.Trigger, lNow);
    return d > 0 || (d == 0 && e.Frac <= nowFrac);
}

void Arpeggiator::layStep(std::int16_t nIndex, std::int16_t nOctave, Moment on, std::int16_t d, std::int32_t slot) {
    const auto step = noteOnQ_->Add(nIndex, nOctave, on.ms);
    step->Frac = on.frac;
    step->Slot = slot;
    const auto end = noteOffQ_->Add(nIndex, nOctave, hosttime::after(on.ms, d));
    end->Frac = on.frac;
    end->Slot = slot;
}

void Arpeggiator::UpdateParams(std::int16_t nTempo, std::int16_t nResolution, std::int16_t nSustain,
                               std::int16_t nOctaves, std::int16_t nCycle) {
    octaves_ = nOctaves;
    cycle_ = nCycle;
    tempo_ = nTempo;
    resolution_ = nResolution;
    sustain_ = nSustain;
    recalcTiming();
}

void Arpeggiator::Init(std::int32_t lNow, std::int16_t nTempo, std::int16_t nResolution, std::int16_t nSustain,
                       std::int16_t nOctaves, std::int16_t nCycle) {
    now_ = lNow;
    UpdateParams(nTempo, nResolution, nSustain, nOctaves, nCycle);
    seqCount_ = 0;
}

void Arpeggiator::Tempo(std::int16_t vData) {
    tempo_ = vData;
    recalcTiming();
}

void Arpeggiator::Resolution(std::int16_t vData) {
    resolution_ = vData;
    recalcTiming();
}

void Arpeggiator::Sustain(std::int16_t vData) {
    sustain_ = vData;
    recalcTiming();
}

// ---- pattern builder ----

std::int32_t Arpeggiator::CreateRawEvts(std::int16_t nIndex, std::int16_t nOctave, std::int32_t lTrigTime) {
    const std::int32_t slot = std::exchange(layingSlot_, slotAfter(layingSlot_, 1));
    noteOnQ_->Add(nIndex, nOctave, lTrigTime)->Slot = slot;
    const auto d = noteAry_->Item(nIndex)->Duration;
    noteOffQ_->Add(nIndex, nOctave, hosttime::after(lTrigTime, d))->Slot = slot;
    return hosttime::after(lTrigTime, period_);
}

std::int16_t Arpeggiator::heldCount() const { return narrow<std::int16_t>(noteAry_->Count()); }

namespace {
Arpeggiator::RhythmPlace placeOf(std::int32_t rhythm, std::int64_t place) {
    const auto state = (static_cast<std::uint32_t>(rhythm) >> (2 * place)) & 3u;
    return state == Arpeggiator::Rest ? Arpeggiator::Rest : state == Arpeggiator::Tie ? Arpeggiator::Tie : Arpeggiator::Play;
}
}  // namespace

// A rhythm whose places all play is no rhythm: a step is a slot.
std::int32_t Arpeggiator::rhythmPlaces() const noexcept {
    const std::int32_t length = std::clamp<std::int32_t>(shape_.rhythmLength, 1, 16);
    for (std::int32_t p = 0; p < length; ++p)
        if (placeOf(shape_.rhythm, p) != Play) return length;
    return 1;
}

// The rhythm's place of a grid slot, counted from the pattern's first.
Arpeggiator::RhythmPlace Arpeggiator::placeAt(std::int64_t slot) const noexcept {
    const std::int64_t places = rhythmPlaces();
    return placeOf(shape_.rhythm, (slot % places + places) % places);
}

// A tie: the note laid out last sounds on through so many more steps.
void Arpeggiator::extendLastOff(std::int16_t ties) {
    const auto& last = noteOffQ_->Item(noteOffQ_->Count());
    last->Tied = add<std::int16_t>(last->Tied, ties);
    if (!grid_.timed) {
        last->Trigger = hosttime::after(last->Trigger, mul<std::int32_t>(ties, period_));
        return;
    }
    const Moment end = endOf(last->Slot, last->Tied);
    last->Trigger = end.ms;
    last->Frac = end.frac;
}

void Arpeggiator::schedule(const std::vector<Step>& steps, std::int32_t lNow) {
    scheduleFrom(steps, GridPoint{{lNow, 0}, 0}, std::nullopt);
}

// Slot by slot from `from`, on a grid from there, the rhythm's places and
// the accents where that slot's number puts them: whole-ms steps as
// plain steps are laid, one after the other; on a grid of pairs or of exact steps
// each at its own point. With every place playing and no note repeated, a
// step is a slot, as ever. With firstAt, the first slot's step (when it
// plays) sounds there instead, off the grid, ending before the next.
void Arpeggiator::scheduleFrom(const std::vector<Step>& steps, const GridPoint& from, std::optional<std::int32_t> firstAt) {
    grid_ = gridFrom(from, false);
    if (firstAt) grid_.timed = true;  // a first step off the grid comes back on it
    seqCount_ = 0;
    if (steps.empty()) return;
    const std::int32_t places = rhythmPlaces();
    bool plays = false;
    for (std::int64_t p = 0; p < places; ++p) plays = plays || placeAt(p) == Play;
    if (!plays) {  // silence, a rhythm long
        seqCount_ = narrow<std::int16_t>(places);
        return;
    }
    // A pass as the cycles alone make it is laid out whole (or fails as
    // its count overflows); one repeated or in a rhythm is cut.
    const bool plain = places == 1 && steps.front().times == 1;
    const std::int32_t limit = plain ? std::numeric_limits<std::int32_t>::max() : maxPass_ / places * places;
    std::size_t i = 0;
    std::int16_t done = 0;  // of steps[i]'s times
    bool wrapped = false, sounding = false, leading = true;
    std::int16_t leadingTies = 0;
    auto t = from.at.ms;
    for (std::int64_t k = 0; seqCount_ < limit; ++k) {
        const std::int32_t slot = slotAfter(from.slot, k);
        if (wrapped && i == 0 && done == 0 && k % places == 0) break;
        const RhythmPlace place = placeAt(slot);
        if (place == Play) {
            const Step& step = steps[i];
            if (!grid_.timed) {
                layingSlot_ = slot;
                CreateRawEvts(step.position, step.octave, t);
            } else {
                Moment at = gridAt(slot);
                std::int16_t d = durationAt(slot, *noteAry_->Item(step.position));
                if (firstAt && k == 0) {
                    at = {*firstAt, 0};
                    const std::int32_t room = hosttime::distance(*firstAt, gridAt(slotAfter(slot, 1)).ms) - 2;
                    d = static_cast<std::int16_t>(std::clamp<std::int32_t>(room, 1, d));
                }
                layStep(step.position, step.octave, at, d, slot);
            }
            if (++done >= step.times) {
                done = 0;
                if (++i == steps.size()) i = 0, wrapped = true;
            }
            sounding = true;
        } else if (place == Tie && sounding) {
            extendLastOff(1);
        } else {
            sounding = false;
            if (place == Tie && leading) ++leadingTies;
        }
        leading = leading && place != Play && place != Rest;
        t = hosttime::after(t, period_);
        seqCount_ = add<std::int16_t>(seqCount_, 1);
    }
    // Ties at the start hold the note the pass ends with, as it comes round.
    if (sounding && leadingTies > 0) extendLastOff(leadingTies);
}

void Arpeggiator::FillUp(std::int32_t lNow) {
    orderOf(CycleUp);
    schedule(order_, lNow);
}

void Arpeggiator::FillDown(std::int32_t lNow) {
    orderOf(CycleDown);
    schedule(order_, lNow);
}

void Arpeggiator::FillUpDown(std::int32_t lNow) {
    orderOf(CycleUpDown);
    schedule(order_, lNow);
}

void Arpeggiator::FillDownUp(std::int32_t lNow) {
    orderOf(CycleDownUp);
    schedule(order_, lNow);
}

void Arpeggiator::FillRandom(std::int32_t lNow) {
    orderOf(CycleRandom);
    if (shuffleEveryPass_) keepFromRepeating(order_);
    schedule(order_, lNow);
}

void Arpeggiator::FillAsPlayed(std::int32_t lNow) {
    orderOf(CycleAsPlayed);
    schedule(order_, lNow);
}

// One pass of the held notes in the order of `cycle`, in order_, each step
// played as many times in a row as the shape repeats it.
void Arpeggiator::orderOf(std::int16_t cycle) {
    const auto n = heldCount();
    const Span k{octaves_, shape_.octaveOrder};
    order_.clear();
    switch (cycle) {
    case CycleUp: appendUp(order_, n, k); break;
    case CycleDown: appendDown(order_, n, k); break;
    case CycleUpDown:
        appendUp(order_, n, k);
        appendDownTurn(order_, n, k);
        break;
    case CycleDownUp:
        appendDown(order_, n, k);
        appendUpTurn(order_, n, k);
        break;
    case CycleAsPlayed: {
        byArrival_.clear();
        for (std::int16_t p = 1; p <= n; p = add<std::int16_t>(p, 1)) byArrival_.push_back(p);
        std::sort(byArrival_.begin(), byArrival_.end(), [this](std::int16_t a, std::int16_t b) {
            return static_cast<std::int32_t>(noteAry_->Item(a)->Arrival - noteAry_->Item(b)->Arrival) < 0;
        });
        appendUp(order_, n, k, 0, 0, &byArrival_);
        break;
    }
    case CycleRandom: {
        // The steps of an Up-Down pass, listed upward twice, then shuffled.
        // The list grows to fit however many notes are held.
        appendUp(order_, n, k);
        appendUpTurn(order_, n, k);
        auto& steps = order_;
        const auto m = narrow<std::int16_t>(steps.size());
        std::mt19937 rng(seedSource_());
        const float last = m > 0 ? static_cast<float>(m - 1) : 0.0f;
        for (std::int16_t j = 0; j < m; j = add<std::int16_t>(j, 1)) {
            // q = r * (m - 1), rounded half to even: the ends come up half as often.
            const auto q = checked::round<std::int16_t>(static_cast<double>(unitFloat(rng) * last));
            std::swap(steps[static_cast<std::size_t>(j)], steps[static_cast<std::size_t>(q)]);
        }
        break;
    }
    default: break;  // unknown order: nothing to play
    }
    const auto times = std::max<std::int16_t>(shape_.repeat, 1);
    for (Step& step : order_) step.times = times;
}

// ---- held-note lookup ----

std::shared_ptr<NoteEvt> Arpeggiator::FindEvt(std::int16_t nIndex) const {
    const auto p = positionOf(nIndex);
    return p ? noteAry_->Item(p) : nullptr;
}

// Where the note with this ID stands: at most one above its ID after a
// press (the one lookup the rebuild rules need), further up when keys
// joined a playing pattern without a rebuild; 0 when not held.
std::int16_t Arpeggiator::positionOf(std::int16_t id) const {
    const std::int32_t above = add<std::int16_t>(id, 1);
    if (id < 0) return 0;  // never an ID given to a note
    const std::int32_t count = noteAry_->Count();
    const std::int32_t start = std::min(above, count);
    for (std::int32_t p = start; p >= 1; --p)
        if (noteAry_->Item(p)->ID == id) return static_cast<std::int16_t>(p);
    for (std::int32_t p = std::max(start + 1, 1); p <= count; ++p)
        if (noteAry_->Item(p)->ID == id) return static_cast<std::int16_t>(p);
    return 0;
}

// ---- playback ----

namespace {
void send(HostAutomation& host, bool step, std::int32_t status, std::int32_t data1, std::int32_t data2) {
    if (step)
        host.SendStep(-1, status, data1, data2);
    else
        host.SendMidiMessage(-1, status, data1, data2);
}
}  // namespace

void Arpeggiator::NoteOn(std::uint8_t nChan, std::uint8_t nNote, std::uint8_t nVeloc, bool step) {
    send(*vlx_, step, 0x90 | channelFor(nChan), nNote, nVeloc);
}

void Arpeggiator::NoteOff(std::uint8_t nChan, std::uint8_t nNote, bool step) {
    send(*vlx_, step, 0x80 | channelFor(nChan), nNote, 0);
}

std::uint8_t Arpeggiator::channelFor(std::uint8_t nChan) const noexcept {
    return voice_.outChannel >= 1 && voice_.outChannel <= 16 ? static_cast<std::uint8_t>(voice_.outChannel - 1) : nChan;
}

// Out of the way of the step's own work.
[[gnu::noinline]] std::uint8_t Arpeggiator::velocityFor(const NoteEvt& note, std::int32_t slot) const {
    switch (voice_.velocity) {
    case VelocityFixed: return voice_.value;
    case VelocityAccented: {
        const std::int64_t every = std::max<std::int16_t>(voice_.accentEvery, 1);
        return (slot % every + every) % every == 0 ? voice_.value : note.Velocity;
    }
    default: return note.Velocity;
    }
}

// Every note-on's note-off goes out on the note-on's channel: what sounds
// ends before the channel changes.
void Arpeggiator::SetVoice(const Voice& voice) {
    if (voice.outChannel != voice_.outChannel) StopPlay();
    voice_ = voice;
}

bool Arpeggiator::MaybeTrigger(std::int32_t lNow, std::uint16_t nowFrac) {
    SweepReleased();
    const std::int32_t cycle = mul<std::int32_t>(seqCount_, period_);
    bool fired = skipMissed(lNow, cycle);
    passSilencedOffs(lNow, nowFrac, cycle);

    // A note-off waits until its own note-on has gone out: when the loop
    // catches up after a delay, an off that overtook its on would leave the
    // note sounding for a whole cycle.
    const auto off = noteOffQ_->Peek();
    if (off && due(*off, lNow, nowFrac) && onHasGoneOut(*off)) {
        if (const auto note = FindEvt(off->Index)) {
            sendOff(*off, *note);
            requeueOff(*off, cycle);
            fired = true;
        }
    }

    auto on = noteOnQ_->Peek();
    // A new pass, nothing sounding: with a fresh order every pass, drawn now.
    if (on && shuffleEveryPass_ && cycle_ == CycleRandom && stepsIntoPass_ >= noteOnQ_->Count() &&
        playQ_->Count() == 0 && due(*on, lNow, nowFrac) && mayStart(*on)) {
        reshuffleQueued();
        stepsIntoPass_ = 0;
        on = noteOnQ_->Peek();
    }
    if (on && due(*on, lNow, nowFrac) && mayStart(*on)) {
        if (const auto note = FindEvt(on->Index)) {
            const auto pitch = on->CalcPitch(note->Note);
            if (mayPlayLate(*on, hosttime::distance(on->Trigger, lNow), cycle)) {
                NoteOn(note->chan, pitch,
                       voice_.velocity == VelocityAsPlayed ? note->Velocity : velocityFor(*note, on->Slot), true);
                // A note-on the output had no room for never sounded: its
                // step passes in silence, its note-off with it.
                if (!vlx_->StepRefused()) playQ_->Add(on->Index, on->OctMult, on->Trigger);
                fired = true;
            }
            stepTaken(*on, *note, cycle);
        }
    }
    return fired;
}

// A step whose note-on goes out `late` ms after its time sounds only if its
// note, moved by as much, still ends before the next step is due; its
// note-off then moves with it, so that the note keeps its length. Else it
// passes in silence: played late in full, it would crowd the next step;
// shortened, it would be a click.
bool Arpeggiator::mayPlayLate(const QEvt& on, std::int32_t late, std::int32_t cycle) {
    if (late <= 0) return true;
    const std::int32_t nextOn = noteOnQ_->Count() > 1 ? noteOnQ_->Item(2)->Trigger
                                : byGrid()             ? gridAt(slotAfter(on.Slot, seqCount_)).ms
                                                       : hosttime::after(on.Trigger, cycle);
    for (const auto& off : noteOffQ_->NewEnum()) {
        if (!hosttime::isBefore(off->Trigger, nextOn)) break;
        if (off->Index != on.Index || off->OctMult != on.OctMult || hosttime::isBefore(off->Trigger, on.Trigger)) continue;
        const std::int32_t moved = hosttime::after(off->Trigger, late);
        if (!hosttime::isBefore(moved, nextOn)) return false;
        off->Trigger = moved;
        movedOff_ = MovedOff{off->Index, off->OctMult, moved, late};
        return true;
    }
    return true;  // no note-off of its own to keep in order
}

// The slots stay counted from near the pattern's first, by whole turns of
// the rhythm, the accents and the pairs, long before their count wraps;
// rarely, and out of the way of a step's own work.
[[gnu::noinline]] void Arpeggiator::rebaseSlots(std::int32_t slot) {
    const std::int64_t turn = 2 * std::int64_t{rhythmPlaces()} * std::max<std::int16_t>(voice_.accentEvery, 1);
    const std::int64_t by = -floorDiv(slot, turn) * turn;
    grid_.at = gridAt(slot);  // the grid from near the steps too
    grid_.slot = slot;
    for (const auto& q : {std::static_pointer_cast<StepQueue>(noteOnQ_), std::static_pointer_cast<StepQueue>(noteOffQ_)})
        for (const auto& step : q->NewEnum()) step->Slot = slotAfter(step->Slot, by);
    grid_.slot = slotAfter(grid_.slot, by);
    nextSlot_ = slotAfter(nextSlot_, by);
}

// A step whose note-on went out or passed: it counts as played, for the
// order a rebuild goes on in and for Random's pass, and comes again a cycle
// later.
void Arpeggiator::stepTaken(const QEvt& on, const NoteEvt& note, std::int32_t cycle) {
    lastPlayed_ = Sounded{note.chan, note.Note, on.OctMult};
    lastStepAt_ = on.Trigger;
    if (on.Slot > (1 << 30) || on.Slot < -(1 << 30)) rebaseSlots(on.Slot);
    const std::int32_t steps = noteOnQ_->Count();
    stepsIntoPass_ = steps > 0 && stepsIntoPass_ >= steps ? 1 : stepsIntoPass_ + 1;
    const std::int32_t slot = slotAfter(on.Slot, seqCount_);
    const Moment next = byGrid() ? gridAt(slot) : Moment{hosttime::after(on.Trigger, cycle), on.Frac};
    const auto again = noteOnQ_->Add(on.Index, on.OctMult, next.ms);
    again->Frac = next.frac;
    again->Slot = slot;
    noteOnQ_->Pull();
}

// The head of NoteOffQ comes again a cycle later, from where its step put
// it: a note-off moved with a late note-on goes back to its own time.
// On a grid of pairs it comes at its step's next point and length (and
// those of the steps tied to it).
void Arpeggiator::requeueOff(const QEvt& off, std::int32_t cycle) {
    const std::int32_t slot = slotAfter(off.Slot, seqCount_);
    std::int32_t next = hosttime::after(off.Trigger, cycle);
    std::uint16_t frac = off.Frac;
    if (movedOff_ && movedOff_->index == off.Index && movedOff_->octave == off.OctMult &&
        movedOff_->trigger == off.Trigger) {
        next = hosttime::after(next, -movedOff_->by);
        movedOff_.reset();
    }
    if (byGrid()) {
        const Moment end = endOf(slot, off.Tied);
        next = end.ms;
        frac = end.frac;
    }
    const auto again = noteOffQ_->Add(off.Index, off.OctMult, next);
    again->Frac = frac;
    again->Slot = slot;
    again->Tied = off.Tied;
    noteOffQ_->Pull();
}

void Arpeggiator::PassMissed(std::int32_t lHeard) {
    SweepReleased();
    skipMissed(lHeard, mul<std::int32_t>(seqCount_, period_));
}

// The note-off of a scheduled step; every sounding entry of its held note
// goes, whatever its octave.
void Arpeggiator::sendOff(const QEvt& off, const NoteEvt& note) {
    NoteOff(note.chan, off.CalcPitch(note.Note), true);
    for (auto i = playQ_->Count(); i >= 1; --i)
        if (playQ_->Item(i)->Index == off.Index) playQ_->Remove(i);
}

// With Duration < period, the note-on of an off's step has gone out exactly
// when the next pending note-on lies after the off.
bool Arpeggiator::onHasGoneOut(const QEvt& off) const {
    const auto nextOn = noteOnQ_->Peek();
    return !nextOn || hosttime::isBefore(off.Trigger, nextOn->Trigger);
}

// A step whose note-on is overdue by a whole period or more was missed: the
// loop did not run (a stopped process, a stalled machine or server). Played
// now, every missed step would come out at once. Instead the schedule runs
// on in silence up to the first step that is not missed, exactly as if the
// missed steps had played: note-offs of steps that sound go out, every step
// moves by whole cycles, and the queues stay in time order. Smaller delays
// are caught up by the ordinary phases.
bool Arpeggiator::skipMissed(std::int32_t lNow, std::int32_t cycle) {
    bool sent = false;
    if (period_ <= 0 || cycle <= 0) return sent;
    const auto missed = [&](const QEvt& on) { return hosttime::distance(on.Trigger, lNow) >= period_; };
    bool skipped = false;
    for (auto on = noteOnQ_->Peek(); on && missed(*on) && mayStart(*on); on = noteOnQ_->Peek()) {
        // As in the phases, a step without its held note stays where it is.
        const auto note = FindEvt(on->Index);
        if (!note || !passOffsBefore(on->Trigger, cycle, true, sent)) break;
        if (!skipped) {
            // Nothing sounds now and every queued off belongs to a queued
            // on: whole cycles missed can pass at once, however long the stall.
            // (On a grid of pairs, two cycles: a pass of an odd count of
            // steps swaps the pairs' halves.)
            const auto behind = static_cast<std::int64_t>(hosttime::distance(on->Trigger, lNow)) - period_;
            if (byGrid()) {
                if (const auto two = behind * grid_.den / (seqCount_ * grid_.pair); two > 0)
                    shiftSchedule(0, 2 * two);
            } else if (const auto whole = behind / cycle; whole > 0) {
                shiftSchedule(static_cast<std::int32_t>(whole * cycle), whole);
            }
        }
        stepTaken(*on, *note, cycle);
        skipped = true;
    }
    // The note-offs of the last steps passed, unless they belong to a step
    // still to come.
    if (const auto next = noteOnQ_->Peek(); skipped && next) passOffsBefore(next->Trigger, cycle, false, sent);
    return sent;
}

// Handles the note-offs queued before lTime, in order: one whose step sounds
// is sent (when maySend), any other passes silently; each moves a cycle on.
// False when it had to stop at one.
bool Arpeggiator::passOffsBefore(std::int32_t lTime, std::int32_t cycle, bool maySend, bool& sent) {
    for (auto off = noteOffQ_->Peek(); off && hosttime::isBefore(off->Trigger, lTime); off = noteOffQ_->Peek()) {
        const auto note = FindEvt(off->Index);
        if (!note) return false;
        if (isSounding(*off)) {
            if (!maySend) return false;
            sendOff(*off, *note);
            sent = true;
        }
        requeueOff(*off, cycle);
    }
    return true;
}

bool Arpeggiator::isSounding(const QEvt& off) const {
    for (const auto& step : playQ_->NewEnum())
        if (step->Index == off.Index && step->OctMult == off.OctMult) return true;
    return false;
}

// Moves every scheduled step by whole cycles (by `ms`, or by the grid),
// keeping the queues' order.
void Arpeggiator::shiftSchedule(std::int32_t ms, std::int64_t wholeCycles) {
    const std::int64_t slots = wholeCycles * seqCount_;
    if (byGrid()) {
        movedOff_.reset();  // an off by the grid comes back to its own length
        for (const auto& step : noteOffQ_->NewEnum()) {
            const std::int32_t length = hosttime::distance(gridAt(step->Slot).ms, step->Trigger);
            step->Slot = slotAfter(step->Slot, slots);
            const Moment at = gridAt(step->Slot);
            step->Trigger = hosttime::after(at.ms, length);
            step->Frac = at.frac;
        }
        for (const auto& step : noteOnQ_->NewEnum()) {
            step->Slot = slotAfter(step->Slot, slots);
            const Moment at = gridAt(step->Slot);
            step->Trigger = at.ms;
            step->Frac = at.frac;
        }
        return;
    }
    if (movedOff_) movedOff_->trigger = hosttime::after(movedOff_->trigger, ms);
    for (const auto& q : {std::static_pointer_cast<StepQueue>(noteOnQ_), std::static_pointer_cast<StepQueue>(noteOffQ_)})
        for (const auto& step : q->NewEnum()) {
            step->Trigger = hosttime::after(step->Trigger, ms);
            step->Slot = slotAfter(step->Slot, slots);
        }
}

// ---- steps placed by an outside clock ----

bool Arpeggiator::mayStart(const QEvt& on) const {
    return !held_ || (placedUntil_ && !hosttime::isBefore(*placedUntil_, on.Trigger));
}

void Arpeggiator::HoldSteps(bool held) {
    // A step placed but not gone out (a Stop on its tick's frame) is still
    // the one to come.
    if (const auto head = noteOnQ_->Peek(); held && held_ && head && placedUntil_ &&
                                            !hosttime::isBefore(*placedUntil_, head->Trigger))
        nextSlot_ = head->Slot;
    if (held && !held_) {
        // The step to come is the next slot: the clock places it.
        if (const auto head = noteOnQ_->Peek()) nextSlot_ = head->Slot;
    }
    // Let go, the steps go on from the one to come, a step of period
    // apart (in pairs, with a swing); exact again at the typed tempo.
    if (!held && held_) {
        const bool typed = timing_.tenths > 0 && period_ == TypedPeriod();
        if (const auto head = noteOnQ_->Peek())
            grid_ = gridFrom({{head->Trigger, head->Frac}, head->Slot}, !typed);
        else
            grid_.timed = false;
    }
    held_ = held;
    placedUntil_.reset();
}

// Off by off, in order, while each is due, its step has started and it does
// not sound (a step passed in silence, or silenced by a stop of the clock):
// each moves a cycle on without a message.
void Arpeggiator::passSilencedOffs(std::int32_t lNow, std::uint16_t nowFrac, std::int32_t cycle) {
    if (cycle <= 0) return;
    for (auto off = noteOffQ_->Peek(); off && due(*off, lNow, nowFrac) && onHasGoneOut(*off) &&
                                       !isSounding(*off) && FindEvt(off->Index);
         off = noteOffQ_->Peek())
        requeueOff(*off, cycle);
}

void Arpeggiator::PlaceNextStep(std::int32_t lTime, std::int16_t nPeriod, std::int16_t nDuration, int second) {
    SweepReleased();
    // Laid on whole ms from the tick; the grid keeps the clock's pairs.
    if (second >= 0) grid_.flip = static_cast<std::int32_t>((static_cast<std::uint32_t>(second) - static_cast<std::uint32_t>(nextSlot_)) & 1u);
    for (const auto& e : noteOnQ_->NewEnum()) e->Frac = 0;
    for (const auto& e : noteOffQ_->NewEnum()) e->Frac = 0;
    const std::int64_t slots = std::max<std::int16_t>(seqCount_, 1);
    // The slot placed now falls at lTime, every slot after it nPeriod on.
    const auto at = [&](std::int32_t slot, std::int32_t plus) {
        return hosttime::after(lTime, checked::narrow<std::int32_t>(slotsFrom(nextSlot_, slot) * nPeriod + plus));
    };
    if (const auto head = noteOnQ_->Peek()) {
        const std::int32_t headSlot = head->Slot;
        // The first step to come lies within a pass of the slot placed now:
        // a step behind it comes a pass later, and those after it with it.
        const std::int64_t ahead = slotsFrom(nextSlot_, headSlot);
        const std::int64_t by = ((ahead % slots) + slots) % slots - ahead;

        // Note-offs of steps before the head have started: they keep their
        // time, but end before the slot that falls now, unless tied through
        // it. The others follow their steps' slots. Both keep the queue's
        // order.
        for (const auto& off : noteOffQ_->NewEnum()) {
            if (slotsFrom(headSlot, off->Slot) < 0) {
                if (const std::int32_t end = slotAfter(off->Slot, off->Tied); slotsFrom(nextSlot_, end) >= 0)
                    off->Trigger = at(end, nDuration);
                else if (!hosttime::isBefore(off->Trigger, lTime))
                    off->Trigger = hosttime::after(lTime, -1);
            } else {
                off->Slot = slotAfter(off->Slot, by);
                off->Trigger = at(slotAfter(off->Slot, off->Tied), nDuration);
            }
        }
        for (const auto& on : noteOnQ_->NewEnum()) {
            on->Slot = slotAfter(on->Slot, by);
            on->Trigger = at(on->Slot, 0);
        }
    }
    movedOff_.reset();  // the note-offs are laid out afresh
    period_ = nPeriod;
    duration_ = nDuration;
    for (const auto& note : noteAry_->NewEnum()) note->Duration = nDuration;
    nextSlot_ = slotAfter(nextSlot_, 1);
    placedUntil_ = lTime;
}

std::optional<std::int32_t> Arpeggiator::NextDue() const {
    const auto due = NextDueMoment();
    return due ? std::optional<std::int32_t>(due->ms) : std::nullopt;
}

std::optional<Arpeggiator::Moment> Arpeggiator::NextDueMoment() const {
    std::optional<Moment> due;
    auto consider = [&](const QEvt& e) {
        const Moment t{e.Trigger, e.Frac};
        if (!due || earlier(t, *due)) due = t;
    };
    if (const auto on = noteOnQ_->Peek(); on && mayStart(*on)) consider(*on);
    // A held step's note-off waits for its note-on, which waits for the clock.
    if (const auto off = noteOffQ_->Peek(); off && (!held_ || onHasGoneOut(*off))) consider(*off);
    return due;
}

std::optional<Arpeggiator::GridPoint> Arpeggiator::NextStepPoint() const {
    const auto head = noteOnQ_->Peek();
    if (!head) return std::nullopt;
    return GridPoint{{head->Trigger, head->Frac}, head->Slot};
}

void Arpeggiator::StopPlay() {
    while (playQ_->Count() >= 1) {
        const auto step = playQ_->Pull();
        if (!step) continue;
        const auto note = FindEvt(step->Index);
        if (!note) continue;
        NoteOff(note->chan, step->CalcPitch(note->Note));
    }
}

// ---- held-note management ----

template <class Queue>
void Arpeggiator::removeSteps(Queue& q, std::int16_t id) {
    for (auto i = q.Count(); i >= 1; --i)
        if (q.Item(i)->Index == id) q.Remove(i);
}

template <class Queue>
void Arpeggiator::clear(Queue& q) {
    q.RemoveIf([](const auto&) { return true; });
}

void Arpeggiator::RemoveAll() {
    placedUntil_.reset();
    lastPlayed_.reset();
    movedOff_.reset();
    releasedIds_.reset();
    sweepPending_ = false;
    clear(*noteAry_);
    clear(*noteOnQ_);
    clear(*noteOffQ_);
}

// The note-offs of a held note's steps that sound, which leave the play queue.
void Arpeggiator::silenceSounding(std::int16_t id, std::uint8_t nChan, std::uint8_t nNote) {
    for (auto i = playQ_->Count(); i >= 1; --i) {
        const auto step = playQ_->Item(i);
        if (step->Index != id) continue;
        NoteOff(nChan, step->CalcPitch(nNote));
        playQ_->Remove(i);
    }
}

// The list stands in pitch order: the first note higher than nNote, found by
// halves (Count + 1 when none is).
std::int32_t Arpeggiator::firstAbove(std::uint8_t nNote) const {
    std::int32_t low = 1, high = noteAry_->Count() + 1;
    while (low < high) {
        const std::int32_t mid = low + (high - low) / 2;
        if (noteAry_->Item(mid)->Note > nNote)
            high = mid;
        else
            low = mid + 1;
    }
    return low;
}

// Every held copy of nNote on nChan, from the highest position down, so
// that taking one out moves none of those still to come. Only the notes of
// that pitch are looked at, found by halves: a flood of releases with every
// key held must not scan the list once for each.
template <class Visit>
void Arpeggiator::forEachCopy(std::uint8_t nChan, std::uint8_t nNote, Visit&& visit) {
    for (auto c = firstAbove(nNote) - 1; c >= 1; --c) {
        const auto held = noteAry_->Item(c);
        if (held->Note != nNote) break;
        if (held->chan == nChan) visit(c, held->ID);
    }
}

void Arpeggiator::Remove(std::uint8_t nChan, std::uint8_t nNote) {
    forEachCopy(nChan, nNote, [&](std::int32_t c, std::int16_t id) {
        silenceSounding(id, nChan, nNote);
        removeSteps(*noteOnQ_, id);
        removeSteps(*noteOffQ_, id);
        noteAry_->Remove(c);
    });
}

void Arpeggiator::Retrigger(std::int32_t lNow) {
    const auto start = hosttime::after(lNow, 5);
    renumberAndClear(0);
    grid_.flip = 0;  // pairs, the rhythm and the accents from the first step
    switch (cycle_) {
        case CycleUp: FillUp(start); break;
        case CycleDown: FillDown(start); break;
        case CycleUpDown: FillUpDown(start); break;
        case CycleDownUp: FillDownUp(start); break;
        case CycleRandom: FillRandom(start); break;
        case CycleAsPlayed: FillAsPlayed(start); break;
        default: break;  // unknown order: nothing to play
    }
}

// Retrigger's first steps: silence, renumber, empty the step queues; the
// step to come is the grid's `slot`.
void Arpeggiator::renumberAndClear(std::int32_t slot) {
    StopPlay();
    // The queues are emptied below: nothing released is left to sweep.
    releasedIds_.reset();
    sweepPending_ = false;
    const auto n = heldCount();
    for (std::int16_t a = 1; a <= n; a = add<std::int16_t>(a, 1)) {
        const auto& note = noteAry_->Item(a);
        note->ID = a;
        note->Duration = duration_;
    }
    clear(*noteOnQ_);
    clear(*noteOffQ_);
    movedOff_.reset();
    placedUntil_.reset();
    nextSlot_ = slot;
    stepsIntoPass_ = 0;
}

std::optional<Arpeggiator::Sounded> Arpeggiator::soundOf(const QEvt& step) const {
    const auto note = FindEvt(step.Index);
    if (!note) return std::nullopt;
    return Sounded{note->chan, note->Note, step.OctMult};
}

Arpeggiator::Sounded Arpeggiator::soundOf(const Step& step) const {
    const auto& note = noteAry_->Item(step.position);
    return Sounded{note->chan, note->Note, step.octave};
}

// A clock places the slot that was to come; else the step at lStart.
void Arpeggiator::Regrid(std::int32_t lStart) {
    Regrid(GridPoint{{lStart, 0}, held_ ? nextSlot_ : slotAt({lStart, 0})});
}

void Arpeggiator::Regrid(const GridPoint& from) {
    // What would have come next, named by its note before the IDs change,
    // and how many of its repeats were still to come.
    std::optional<Sounded> next;
    std::int16_t repeatsLeft = 0;
    if (const auto head = noteOnQ_->Peek()) {
        next = soundOf(*head);
        for (const auto& on : noteOnQ_->NewEnum()) {
            if (on->Index != head->Index || on->OctMult != head->OctMult) break;
            ++repeatsLeft;
        }
    }
    renumberAndClear(from.slot);
    orderOf(cycle_);
    const std::size_t m = order_.size();
    if (m == 0) return;
    // Go on after the step played last, with the one that came next if the
    // pass still has it there; else with the one that came next wherever
    // it is; else from the top. In the middle of a note's repeats, with
    // those left of them.
    std::size_t first = 0;
    bool found = false;
    auto after = [&](std::size_t i) { return lastPlayed_ && soundOf(order_[(i + m - 1) % m]) == *lastPlayed_; };
    auto is = [&](std::size_t i) { return next && soundOf(order_[i]) == *next; };
    const bool midRepeat = order_[0].times > 1 && next && lastPlayed_ && *next == *lastPlayed_;
    for (std::size_t i = 0; i < m && !found && midRepeat; ++i) found = is(i) && (first = i, true);
    for (std::size_t i = 0; i < m && !found; ++i) found = after(i) && is(i) && (first = i, true);
    for (std::size_t i = 0; i < m && !found; ++i) found = after(i) && (first = i, true);
    for (std::size_t i = 0; i < m && !found; ++i) found = is(i) && (first = i, true);
    std::rotate(order_.begin(), order_.begin() + static_cast<std::ptrdiff_t>(first), order_.end());
    if (midRepeat && repeatsLeft < order_[0].times) {
        // The repeats played already close the pass.
        order_.push_back({order_[0].position, order_[0].octave, static_cast<std::int16_t>(order_[0].times - repeatsLeft)});
        order_[0].times = repeatsLeft;
    }
    if (cycle_ == CycleRandom && shuffleEveryPass_) keepFromRepeating(order_);
    scheduleFrom(order_, from, std::nullopt);
}

// The rhythm and the accents go on in their places on the kept grid: the
// first step sounds at once only where its slot plays.
void Arpeggiator::Resume(std::int32_t lNow) {
    const std::int32_t start = hosttime::after(lNow, 5);
    const std::int32_t since = hosttime::distance(lastStepAt_, start);
    if (!grid_.valid || held_ || since < 0 || since > std::max<std::int32_t>(kGridKeptMs, 2 * period_))
        return Retrigger(lNow);
    // From the slot before the grid's first point at least half a step
    // after the start.
    const std::int32_t slot = slotAfter(slotAt({hosttime::after(start, period_ / 2), 0}), -1);
    const GridPoint from{gridAt(slot), slot};
    renumberAndClear(slot);
    orderOf(cycle_);
    if (cycle_ == CycleRandom && shuffleEveryPass_) keepFromRepeating(order_);
    scheduleFrom(order_, from, start);
}

void Arpeggiator::ShuffleEveryPass(bool on) noexcept { shuffleEveryPass_ = on; }

// The new order of a pass may not start with the note played last, nor play
// one note twice in a row, when more than one note is held. Left to right,
// a step that repeats its predecessor trades places with the next step that
// does not (positions already passed stay as they are); at the end of the
// pass, it moves back between two steps that are other notes.
void Arpeggiator::keepFromRepeating(std::vector<Step>& steps) const {
    const std::size_t m = steps.size();
    auto before = [&](std::size_t i) { return i == 0 ? lastPlayed_ : std::optional<Sounded>(soundOf(steps[i - 1])); };
    for (std::size_t i = 0; i < m; ++i) {
        const auto previous = before(i);
        const Sounded here = soundOf(steps[i]);
        if (!previous || !(*previous == here)) continue;
        std::size_t j = i + 1;
        while (j < m && soundOf(steps[j]) == here) ++j;
        if (j < m) {
            std::swap(steps[i], steps[j]);
            continue;
        }
        for (std::size_t k = 0; k < i; ++k) {
            const auto b = before(k);
            if ((b && *b == here) || soundOf(steps[k]) == here) continue;
            const auto at = [&](std::size_t n) { return steps.begin() + static_cast<std::ptrdiff_t>(n); };
            std::rotate(at(k), at(i), at(i + 1));
            break;
        }
    }
}

// A fresh order for the pass now queued, its times kept: called between two
// passes, when nothing sounds, so that every queued note-off belongs to a
// queued note-on, in the same order.
// A note's repeats stay together, in steps of their own.
void Arpeggiator::reshuffleQueued() {
    const auto m = static_cast<std::size_t>(noteOnQ_->Count());
    order_.clear();
    for (const auto& on : noteOnQ_->NewEnum()) {
        const std::int16_t position = positionOf(on->Index);
        if (position == 0) return;  // a released note's step not yet swept: next pass
        if (!order_.empty() && order_.back().position == position && order_.back().octave == on->OctMult &&
            order_.back().times < shape_.repeat)
            ++order_.back().times;
        else
            order_.push_back({position, on->OctMult});
    }
    if (m == 0 || static_cast<std::size_t>(noteOffQ_->Count()) != m) return;
    std::mt19937 rng(seedSource_());
    for (std::size_t j = order_.size(); j-- > 1;)
        std::swap(order_[j], order_[std::uniform_int_distribution<std::size_t>(0, j)(rng)]);
    keepFromRepeating(order_);
    const auto relabel = [this](const auto& queue) {
        std::size_t i = 0;
        std::int16_t done = 0;
        for (const auto& step : queue.NewEnum()) {
            step->Index = noteAry_->Item(order_[i].position)->ID;
            step->OctMult = order_[i].octave;
            if (++done == order_[i].times) done = 0, ++i;
        }
    };
    relabel(*noteOnQ_);
    relabel(*noteOffQ_);
}

// A new note's ID must not repeat one still held: after releases the IDs of
// the remaining notes can exceed their count, and StopPlay must resolve every
// sounding step to the note that really sounds.
std::int16_t Arpeggiator::nextProvisionalID() const {
    auto highest = heldCount();
    for (const auto& note : noteAry_->NewEnum())
        if (note->ID > highest) highest = note->ID;
    return add<std::int16_t>(highest, 1);
}

void Arpeggiator::Add(std::int32_t lNow, std::uint8_t nChan, std::uint8_t nNote, std::uint8_t nVeloc) {
    hold(nChan, nNote, nVeloc);
    Retrigger(lNow);
}

// After the notes of its pitch held already, so that equal pitches keep
// their order of arrival.
void Arpeggiator::hold(std::uint8_t nChan, std::uint8_t nNote, std::uint8_t nVeloc) {
    const auto id = nextProvisionalID();
    const auto at = firstAbove(nNote);
    const auto note = at <= noteAry_->Count() ? noteAry_->Insert(id, nChan, nNote, nVeloc, duration_, at)
                                              : noteAry_->Add(id, nChan, nNote, nVeloc, duration_);
    note->Arrival = arrivals_++;
}

void Arpeggiator::Hold(std::uint8_t nChan, std::uint8_t nNote, std::uint8_t nVeloc, bool silence) {
    hold(nChan, nNote, nVeloc);
    // As the rebuild would: nothing the old pattern started sounds on.
    if (silence) StopPlay();
}

void Arpeggiator::Release(std::uint8_t nChan, std::uint8_t nNote) {
    forEachCopy(nChan, nNote, [&](std::int32_t c, std::int16_t id) {
        silenceSounding(id, nChan, nNote);
        if (id >= 0) {
            releasedIds_.set(static_cast<std::size_t>(id));
            sweepPending_ = true;
        }
        noteAry_->Remove(c);
    });
}

void Arpeggiator::SweepReleased() {
    if (!sweepPending_) return;
    const auto released = [this](const QEvt& step) {
        return step.Index >= 0 && releasedIds_.test(static_cast<std::size_t>(step.Index));
    };
    noteOnQ_->RemoveIf(released);
    noteOffQ_->RemoveIf(released);
    releasedIds_.reset();
    sweepPending_ = false;
}

bool Arpeggiator::IsEmpty() const noexcept { return noteAry_->Count() == 0; }

}  // namespace vlx
