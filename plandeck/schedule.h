// When a backup job runs by itself: once (at once after it is submitted),
// daily, weekly or monthly at a start time, or only by hand. A plain value.
#pragma once

#include "common/json.h"

class Schedule {
public:
    enum Type { Once = 1, Daily = 2, Weekly = 3, Monthly = 4, Manual = 5 };

    // Once, 00:00, value 0.
    Schedule() = default;
    Schedule(const Schedule&) = default;
    Schedule& operator=(const Schedule&) = default;

    int type() const { return type_; }
    // startHour * 100 + startMinute (07:05 gives 705).
    int startTime() const { return startHour_ * 100 + startMinute_; }
    int startHour() const { return startHour_; }
    int startMinute() const { return startMinute_; }
    // Weekly: the day of the week from Sunday (0) to Saturday (6); monthly:
    // the day of the month (1 to 31, a day past the month's end meaning its
    // last day); no meaning for the other types.
    int value() const { return value_; }

    // Reads {"type": name, "startTime": "h:m", "day": n}. False on a missing or
    // unknown type, a missing start time or (weekly, monthly) a missing day; a
    // partly read schedule keeps what was set before the failure. Never throws.
    bool fromJSON(const json_spirit::Value& value);
    // False for a type outside 1..5.
    bool toJSON(json_spirit::Value& value) const;

    // The name of a type ("once", "daily", ...), or null.
    static const char* typeName(int type);

private:
    int type_ = Once;
    short startHour_ = 0;
    short startMinute_ = 0;
    int value_ = 0;
};
