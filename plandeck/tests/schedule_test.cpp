// Schedule: reading and writing its JSON form.
#include "plandeck/schedule.h"

#include <gtest/gtest.h>

#include "plandeck/tests/plandeck_checks.h"

using plandeck_tests::parse;

namespace {

class ScheduleJson : public plandeck_tests::Logged {
protected:
    std::string written(const Schedule& schedule) {
        json_spirit::Value value;
        EXPECT_TRUE(schedule.toJSON(value));
        return json_spirit::write(value);
    }
};

}  // namespace

TEST_F(ScheduleJson, OnceAndManualIgnoreStartTimeAndDay) {
    Schedule once;
    EXPECT_EQ(once.type(), Schedule::Once);
    EXPECT_EQ(written(once), R"({"type":"once"})");

    ASSERT_TRUE(once.fromJSON(parse(R"({"type":"once","startTime":"10:30","day":3})")));
    EXPECT_EQ(once.type(), Schedule::Once);
    EXPECT_EQ(once.startTime(), 0);
    EXPECT_EQ(once.value(), 0);
    EXPECT_EQ(written(once), R"({"type":"once"})");

    Schedule manual;
    ASSERT_TRUE(manual.fromJSON(parse(R"({"type":"manual","startTime":"23:59"})")));
    EXPECT_EQ(manual.type(), Schedule::Manual);
    EXPECT_EQ(manual.startHour(), 0);
    EXPECT_EQ(manual.startMinute(), 0);
    EXPECT_EQ(written(manual), R"({"type":"manual"})");
    EXPECT_EQ(logged(), "");
}

TEST_F(ScheduleJson, StartTimesAreReadLooselyAndWrittenPadded) {
    Schedule daily;
    ASSERT_TRUE(daily.fromJSON(parse(R"({"type":"daily","startTime":"7:5","day":4})")));
    EXPECT_EQ(daily.type(), Schedule::Daily);
    EXPECT_EQ(daily.startHour(), 7);
    EXPECT_EQ(daily.startMinute(), 5);
    EXPECT_EQ(daily.startTime(), 705);
    EXPECT_EQ(written(daily), R"({"startTime":"07:05","type":"daily"})");

    Schedule weekly;
    ASSERT_TRUE(weekly.fromJSON(parse(R"({"type":"weekly","startTime":"22:30","day":6})")));
    EXPECT_EQ(weekly.value(), 6);
    EXPECT_EQ(written(weekly), R"({"day":6,"startTime":"22:30","type":"weekly"})");

    // Out-of-range fields are kept as given: the scheduler decides what they mean.
    Schedule monthly;
    ASSERT_TRUE(monthly.fromJSON(parse(R"({"type":"monthly","startTime":"25:99","day":31})")));
    EXPECT_EQ(monthly.type(), Schedule::Monthly);
    EXPECT_EQ(monthly.startHour(), 25);
    EXPECT_EQ(monthly.startMinute(), 99);
    EXPECT_EQ(monthly.value(), 31);
    EXPECT_EQ(written(monthly), R"({"day":31,"startTime":"25:99","type":"monthly"})");

    Schedule copy = monthly;
    EXPECT_EQ(written(copy), written(monthly));
    EXPECT_EQ(logged(), "");
}

TEST_F(ScheduleJson, FailuresKeepWhatWasSetBefore) {
    // Weekly without a day: fails silently, type and start time already set.
    Schedule weekly;
    EXPECT_FALSE(weekly.fromJSON(parse(R"({"type":"weekly","startTime":"22:00"})")));
    EXPECT_EQ(logged(), "");
    EXPECT_EQ(weekly.type(), Schedule::Weekly);
    EXPECT_EQ(weekly.startTime(), 2200);

    // A day that is not an int does not count either.
    Schedule monthly;
    EXPECT_FALSE(monthly.fromJSON(parse(R"({"type":"monthly","startTime":"1:00","day":"3"})")));
    EXPECT_EQ(monthly.value(), 0);

    Schedule named;
    EXPECT_FALSE(named.fromJSON(parse(R"({"type":"Daily","startTime":"7:00"})")));
    EXPECT_EQ(logged(), "Invalid schedule type.\n");
    EXPECT_EQ(named.type(), Schedule::Once);
    EXPECT_EQ(named.startTime(), 0);

    Schedule untimed;
    EXPECT_FALSE(untimed.fromJSON(parse(R"({"type":"daily","startTime":700})")));
    EXPECT_EQ(logged(), "Invalid or lack of start time in schedule.\n");
    EXPECT_EQ(untimed.type(), Schedule::Daily);

    Schedule other;
    EXPECT_FALSE(other.fromJSON(parse(R"({"startTime":"7:00"})")));
    EXPECT_FALSE(other.fromJSON(parse(R"({"type":2})")));
    EXPECT_EQ(logged(), "");
    EXPECT_FALSE(other.fromJSON(parse(R"(["daily"])")));
    EXPECT_EQ(logged(), "Schedule is not a JSON object.\n");
    EXPECT_EQ(written(other), R"({"type":"once"})");
}

TEST_F(ScheduleJson, TypeNames) {
    EXPECT_STREQ(Schedule::typeName(Schedule::Once), "once");
    EXPECT_STREQ(Schedule::typeName(Schedule::Daily), "daily");
    EXPECT_STREQ(Schedule::typeName(Schedule::Weekly), "weekly");
    EXPECT_STREQ(Schedule::typeName(Schedule::Monthly), "monthly");
    EXPECT_STREQ(Schedule::typeName(Schedule::Manual), "manual");
    EXPECT_EQ(Schedule::typeName(0), nullptr);
    EXPECT_EQ(Schedule::typeName(6), nullptr);
    // No read leaves a type outside 1..5, so toJSON's refusal of one cannot be reached from JSON.
}
