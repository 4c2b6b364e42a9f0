// ScheduleEvent: the event's fields, its stored form and the due test.
#include "core/ScheduleEvent.h"

#include <bit>
#include <cmath>

namespace pw::core {

const Guid kScheduleEventClassId = *Guid::Parse("{3E77EAC8-BD93-460A-B867-5E667BFFD635}");

namespace {

constexpr int kMinutesPerDay = 24 * 60;

// Offsets of the stored form; each field follows the one before it without padding.
constexpr std::size_t kVersionAt = 0;
constexpr std::size_t kOutgoingAt = 4;
constexpr std::size_t kPop3At = 6;
constexpr std::size_t kSmtpAt = 8;
constexpr std::size_t kEnabledAt = 10;
constexpr std::size_t kModeAt = 12;
constexpr std::size_t kAtTimeAt = 16;
constexpr std::size_t kFromTimeAt = 24;
constexpr std::size_t kToTimeAt = 32;
constexpr std::size_t kIntervalAt = 40;
constexpr std::size_t kDaysAt = 42;
constexpr std::size_t kReservedAt = kDaysAt + 2 * kDaysPerWeek;
static_assert(kReservedAt + 4 == kScheduleEventStoredSize);

void PutBits(std::span<std::byte> out, std::size_t at, std::uint64_t value, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) out[at + i] = static_cast<std::byte>((value >> (8 * i)) & 0xFF);
}

std::uint64_t GetBits(std::span<const std::byte> in, std::size_t at, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) value |= std::uint64_t{std::to_integer<std::uint8_t>(in[at + i])} << (8 * i);
    return value;
}

std::int16_t GetI16(std::span<const std::byte> in, std::size_t at) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(GetBits(in, at, 2)));
}

Date GetDate(std::span<const std::byte> in, std::size_t at) { return std::bit_cast<double>(GetBits(in, at, 8)); }

void PutDate(std::span<std::byte> out, std::size_t at, Date date) { PutBits(out, at, std::bit_cast<std::uint64_t>(date), 8); }

int MinuteOfDay(Date date) {
    const DateFields fields = FieldsFromDate(date);
    return fields.hour * 60 + fields.minute;
}

bool InRange(int minute, int from, int to) {
    if (from <= to) return from <= minute && minute <= to;
    return minute >= from || minute <= to;  // over midnight
}

}  // namespace

ScheduleEvent::ScheduleEvent() { days_.fill(kVariantTrue); }

bool ScheduleEvent::Day(int weekday) const {
    if (weekday < 0 || weekday >= kDaysPerWeek) return false;
    return IsOn(days_[static_cast<std::size_t>(weekday)]);
}

void ScheduleEvent::Put(std::int16_t& field, bool on) {
    field = on ? kVariantTrue : 0;
    changed_ = true;
}

void ScheduleEvent::SetScheduleEventTime(ScheduleEventTimeEnum mode) {
    mode_ = mode;
    changed_ = true;
}

void ScheduleEvent::SetAtTime(Date time) {
    atTime_ = time;
    changed_ = true;
}

void ScheduleEvent::SetFromTime(Date time) {
    fromTime_ = time;
    changed_ = true;
}

void ScheduleEvent::SetToTime(Date time) {
    toTime_ = time;
    changed_ = true;
}

void ScheduleEvent::SetInterval(std::uint16_t minutes) {
    interval_ = minutes;
    changed_ = true;
}

void ScheduleEvent::SetDay(int weekday, bool on) {
    if (weekday < 0 || weekday >= kDaysPerWeek) return;
    Put(days_[static_cast<std::size_t>(weekday)], on);
}

HRESULT ScheduleEvent::IsTime(Date now) {
    if (!Enabled() || !Day(FieldsFromDate(now).weekday)) return S_FALSE;
    const int minute = MinuteOfDay(now);
    const bool due = ScheduleEventTime() == ScheduleEventTimeRange ? RangeIsDue(now, minute) : AtTimeIsDue(now, minute);
    if (!due) return S_FALSE;
    lastFiring_ = now;
    return S_OK;
}

bool ScheduleEvent::RangeIsDue(Date now, int minute) {
    if (!InRange(minute, MinuteOfDay(fromTime_), MinuteOfDay(toTime_))) return false;
    const Date since = now - lastFiring_;
    if (since < -kHalfSecond) return true;
    const double wholeMinutes = std::floor((since + kHalfSecond) * kMinutesPerDay);
    return wholeMinutes >= interval_;
}

bool ScheduleEvent::AtTimeIsDue(Date now, int minute) {
    const int target = MinuteOfDay(atTime_);
    if (minute < target) return false;
    // Today's AtTime moment, built from the calendar fields so that the day's start is local midnight.
    const DateFields today = FieldsFromDate(now);
    const Date todaysMoment = DateFromFields(today.year, today.month, today.day, target / 60, target % 60);
    return lastFiring_ < todaysMoment - kHalfSecond;
}

std::shared_ptr<ScheduleEvent> ScheduleEvent::Clone() const {
    auto copy = std::make_shared<ScheduleEvent>(*this);
    copy->lastFiring_ = 0;
    copy->changed_ = false;
    return copy;
}

std::array<std::byte, kScheduleEventStoredSize> ScheduleEvent::ToBytes() const {
    std::array<std::byte, kScheduleEventStoredSize> bytes{};
    const std::span<std::byte> out(bytes);
    PutBits(out, kVersionAt, kScheduleEventVersion, 4);
    PutBits(out, kOutgoingAt, static_cast<std::uint16_t>(outgoing_), 2);
    PutBits(out, kPop3At, static_cast<std::uint16_t>(pop3_), 2);
    PutBits(out, kSmtpAt, static_cast<std::uint16_t>(smtp_), 2);
    PutBits(out, kEnabledAt, static_cast<std::uint16_t>(enabled_), 2);
    PutBits(out, kModeAt, mode_, 4);
    PutDate(out, kAtTimeAt, atTime_);
    PutDate(out, kFromTimeAt, fromTime_);
    PutDate(out, kToTimeAt, toTime_);
    PutBits(out, kIntervalAt, interval_, 2);
    for (std::size_t day = 0; day < days_.size(); ++day) {
        PutBits(out, kDaysAt + 2 * day, static_cast<std::uint16_t>(days_[day]), 2);
    }
    PutBits(out, kReservedAt, reserved_, 4);
    return bytes;
}

HRESULT ScheduleEvent::FromBytes(std::span<const std::byte, kScheduleEventStoredSize> bytes) {
    const std::span<const std::byte> in(bytes);
    // Another version may lay its fields out differently; reading it as this one would make up times.
    if (GetBits(in, kVersionAt, 4) != kScheduleEventVersion) return STG_E_READFAULT;
    outgoing_ = GetI16(in, kOutgoingAt);
    pop3_ = GetI16(in, kPop3At);
    smtp_ = GetI16(in, kSmtpAt);
    enabled_ = GetI16(in, kEnabledAt);
    mode_ = static_cast<std::uint32_t>(GetBits(in, kModeAt, 4));
    atTime_ = GetDate(in, kAtTimeAt);
    fromTime_ = GetDate(in, kFromTimeAt);
    toTime_ = GetDate(in, kToTimeAt);
    interval_ = static_cast<std::uint16_t>(GetBits(in, kIntervalAt, 2));
    for (std::size_t day = 0; day < days_.size(); ++day) days_[day] = GetI16(in, kDaysAt + 2 * day);
    reserved_ = static_cast<std::uint32_t>(GetBits(in, kReservedAt, 4));
    changed_ = false;
    return S_OK;
}

HRESULT ScheduleEvent::Load(Stream& stream) {
    std::array<std::byte, kScheduleEventStoredSize> bytes{};
    if (const HRESULT hr = ReadExact(stream, bytes); Failed(hr)) return hr;
    return FromBytes(bytes);
}

HRESULT ScheduleEvent::Save(Stream& stream) {
    const auto bytes = ToBytes();
    return stream.Write(std::span<const std::byte>(bytes));
}

}  // namespace pw::core
