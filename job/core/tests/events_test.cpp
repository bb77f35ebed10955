#include <gtest/gtest.h>

#include "common/json.h"
#include "job/core/job_state.h"
#include "job/core/notify_event.h"
#include "tools/testkit/machine_fixture.h"

TEST(JobStates, NamesAndNumbers) {
    const char* names[] = {"none",    "idle",    "starting",  "running",   "completing",
                           "pausing", "paused",  "completed", "canceling", "cancelled",
                           "error",   "created", "updated",   "deleted",   "unloaded"};
    for (int state = 0; state <= 14; ++state) {
        EXPECT_STREQ(jobStateToString(state), names[state]);
        EXPECT_EQ(jobStateFromString(names[state]), state);
    }
    EXPECT_STREQ(jobStateToString(99), "none");
    EXPECT_STREQ(jobStateToString(-1), "none");
    EXPECT_EQ(jobStateFromString("Paused"), 0);
    EXPECT_EQ(jobStateFromString(""), 0);
    EXPECT_EQ(jobStateFromString(nullptr), 0);
}

TEST(JobEvents, StateEventIsCompactSortedJson) {
    Event_State event("alice", "0f8fad5b-d9cb-469f-a165-70867728950e", L"Fotos", JS_RUNNING);
    EXPECT_EQ(event.event(),
              R"({"id":"0f8fad5b-d9cb-469f-a165-70867728950e","name":"Fotos","state":"running"})");
    EXPECT_EQ(event.get_user(), "alice");
    EXPECT_EQ(event.set_user(""), "");
}

TEST(JobEvents, ErrorEventWithNullReasonAndNonAsciiName) {
    Event_Job_Error event("", "id-1", L"Grüße 日本 😀", JS_ERROR, -5, nullptr);
    EXPECT_EQ(event.get_user(), "");
    // An independent reader decodes the same characters and keys.
    std::string out;
    std::string command = "printf %s " + tovel::testing::shell_quote(event.event()) +
                          " | python3 -c 'import json,sys; d=json.load(sys.stdin); "
                          "print(list(d), d[\"error-code\"], repr(d[\"reason\"]), d[\"state\"], "
                          "d[\"name\"] == \"Grüße 日本 😀\")'";
    ASSERT_EQ(tovel::testing::run_command(command, &out), 0);
    EXPECT_EQ(out, "['error-code', 'id', 'name', 'reason', 'state'] -5 '' error True\n");
}

TEST(JobEvents, EndEventAndValueEvent) {
    Event_End end;
    EXPECT_TRUE(end.event().empty());
    EXPECT_TRUE(end.get_user().empty());
    json_spirit::Object object;
    object["b"] = 1;
    object["a"] = "x";
    Notify_Event event{json_spirit::Value(object), nullptr};
    EXPECT_EQ(event.event(), R"({"a":"x","b":1})");
    EXPECT_EQ(event.get_user(), "");
    EXPECT_EQ(jobStateToString(static_cast<int>(77u)), std::string("none"));
}
