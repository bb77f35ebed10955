// The JSON adapter (common/json.h): sorted writing, strict reading with the
// error's position, exact 64-bit integers, lookups and wide text.
#include "common/json.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <sstream>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

#include "common/tests/checkers.h"
#include "tools/testkit/machine_fixture.h"

using json_spirit::Array;
using json_spirit::Error_position;
using json_spirit::Object;
using json_spirit::Value;

namespace {

Value parse(const std::string& text) {
    Value value;
    EXPECT_NO_THROW(json_spirit::read_or_throw(text, value)) << text;
    return value;
}

// Reads text that must fail; gives the error (line 0 when something else escaped).
Error_position read_error(const std::string& text) {
    Value value("untouched");
    try {
        json_spirit::read_or_throw(text, value);
        ADD_FAILURE() << "read without error: " << text;
    } catch (const Error_position& error) {
        EXPECT_EQ(value, Value("untouched")) << text;
        return error;
    } catch (...) {
        ADD_FAILURE() << "another exception than Error_position escaped for " << text;
    }
    return Error_position(0, 0, "");
}

// Serves its text, then throws from underflow (a std::exception, or an int).
class FailingBuffer : public std::streambuf {
public:
    FailingBuffer(const std::string& text, bool std_exception)
        : text_(text), std_exception_(std_exception) {}

protected:
    int_type underflow() override {
        if (!served_) {
            served_ = true;
            setg(text_.data(), text_.data(), text_.data() + text_.size());
            return traits_type::to_int_type(text_[0]);
        }
        if (std_exception_) throw std::runtime_error("the device went away");
        throw 42;
    }

private:
    std::string text_;
    bool std_exception_;
    bool served_ = false;
};

}  // namespace

TEST(JsonWrite, KeysComeOutSortedCompactAndFormatted) {
    Object object;
    object["zeta"] = 1;
    object["Alpha"] = true;
    object["mid"] = Array{Value(), Value(1.5), Value("x")};
    object["alpha"] = Object{{"b", 2}, {"a", 1}};
    Value value(object);
    EXPECT_EQ(json_spirit::write(value),
              R"({"Alpha":true,"alpha":{"a":1,"b":2},"mid":[null,1.5,"x"],"zeta":1})");

    // Read in another order, written sorted again.
    EXPECT_EQ(json_spirit::write(parse(R"({"b":{"y":1,"x":2},"a":0})")),
              R"({"a":0,"b":{"x":2,"y":1}})");

    std::string formatted = json_spirit::write_formatted(Value(Object{{"b", 1}, {"a", Array{2}}}));
    EXPECT_EQ(formatted, "{\n    \"a\": [\n        2\n    ],\n    \"b\": 1\n}");
    std::ostringstream stream;
    json_spirit::write_formatted(Value(Object{{"b", 1}, {"a", Array{2}}}), stream);
    EXPECT_EQ(stream.str(), formatted);
}

// The compact text is the formatted one without its layout, for values of
// every kind: those written straight (integers, texts of printable ASCII,
// nesting) and those that hold reals or other text.
TEST(JsonWrite, CompactTextIsTheFormattedOneWithoutItsLayout) {
    auto unformatted = [](const std::string& text) {
        std::string out;
        bool quoted = false;
        for (size_t i = 0; i < text.size(); ++i) {
            char c = text[i];
            if (quoted) {
                out += c;
                if (c == '\\')
                    out += text[++i];
                else if (c == '"')
                    quoted = false;
            } else if (c == '"') {
                quoted = true;
                out += c;
            } else if (c != ' ' && c != '\n') {
                out += c;
            }
        }
        return out;
    };
    Object nested{{"q\"uote", "back\\slash \"x\" /"}, {"", Array{}}, {"e", Object{}}};
    const std::vector<Value> values = {
        Value(),
        Value(true),
        Value(0),
        Value(static_cast<long long>(INT64_MIN)),
        Value(18446744073709551615ull),
        Value("C:\\data\\a b.txt"),
        Value(Object{{"machine", "HOST"}, {"jobinstanceid", "1-2"}, {"block", 7}, {"n", nested}}),
        Value(Array{Value(1), Value(Array{Value(Array{})}), Value(false), Value()}),
        Value(Object{{"real", 0.1}, {"n", 1}}),
        Value(Object{{"text", "tab\there"}}),
        Value(Object{{"text",
                      "Gr\xc3\xbc\xc3\x9f"
                      "e"}}),
        Value(Array{Value("del\x7f"), Value("bad\xff")}),
        Value(Object{{"k\x01", 1}}),
    };
    for (const Value& value : values) {
        std::string formatted = json_spirit::write_formatted(value);
        EXPECT_EQ(json_spirit::write(value), unformatted(formatted)) << formatted;
        Value back;
        ASSERT_TRUE(json_spirit::read(json_spirit::write(value), back)) << formatted;
    }
    EXPECT_EQ(json_spirit::write(values[6]),
              R"({"block":7,"jobinstanceid":"1-2","machine":"HOST","n":{"":[],"e":{},)"
              R"("q\"uote":"back\\slash \"x\" /"}})");
}

TEST(JsonWrite, InvalidUtf8IsWrittenWithReplacementNotThrown) {
    const std::string bad_key = "k\xC3", bad_text = std::string("a\xFF") + "b\xE2\x82";
    const std::string replacement = "\xEF\xBF\xBD";  // U+FFFD
    std::string text;
    ASSERT_NO_THROW(text = json_spirit::write(Value(Object{{bad_key, bad_text}})));
    EXPECT_EQ(common_tests::to_hex(text),
              common_tests::to_hex("{\"k" + replacement + "\":\"a" + replacement + "b" +
                                   replacement + "\"}"));
    // Valid multi-byte text passes unchanged.
    EXPECT_EQ(json_spirit::write(Value("Gr\u00fc\u00dfe \U0001F600")),
              "\"Gr\u00fc\u00dfe \U0001F600\"");
}

TEST(JsonWrite, FormattedTextParsesBackWithPython) {
    Object object;
    object["big"] = Value(18446744073709551615ull);
    object["min"] = Value(static_cast<long long>(INT64_MIN));
    object["text"] = Value(L"Gr\u00fc\u00dfe \"q\" \\ \n\t\x01");
    object["list"] = Array{Value(true), Value(false), Value(), Value(0.25), Value(Object())};
    std::string path = tovel::testing::host_of(L"C:\\formatted.json");
    tovel::testing::write_host_file(path, json_spirit::write_formatted(Value(object)));
    std::string program = "import json\nd = json.load(open(r'" + path +
                          "', encoding='utf-8'))\nprint(json.dumps(d, sort_keys=True))";
    EXPECT_EQ(common_tests::python(program),
              R"({"big": 18446744073709551615, "list": [true, false, null, 0.25, {}], )"
              R"("min": -9223372036854775808, "text": "Gr\u00fc\u00dfe \"q\" \\ \n\t\u0001"})");
}

TEST(JsonRead, ErrorsCarryLineColumnAndReason) {
    Error_position third = read_error("{\n  \"a\": 1,\n  \"b\" }\n");
    EXPECT_EQ(third.line_, 3u);
    EXPECT_EQ(third.column_, 7u);
    EXPECT_NE(third.reason_, "");

    Error_position empty = read_error("");
    EXPECT_EQ(empty.line_, 1u);
    EXPECT_EQ(empty.column_, 1u);
    EXPECT_NE(empty.reason_.find("end of input"), std::string::npos) << empty.reason_;

    // Cut in the middle: the error is just past the last byte.
    Error_position cut = read_error("{\"name\": [1,\n 2, \"ab");
    EXPECT_EQ(cut.line_, 2u);
    EXPECT_EQ(cut.column_, 8u);

    Error_position trailing = read_error("{\"a\":1} x");
    EXPECT_EQ(trailing.line_, 1u);
    EXPECT_EQ(trailing.column_, 9u);
    Error_position second = read_error("[1]\n[2]");
    EXPECT_EQ(second.line_, 2u);
    EXPECT_EQ(second.column_, 1u);

    // The reason is the library's text without its own prefix or position;
    // what() tells them in our words.
    for (const Error_position& error : {third, empty, cut, trailing}) {
        EXPECT_EQ(error.reason_.find("json.exception"), std::string::npos) << error.reason_;
        EXPECT_EQ(error.reason_.find("line "), std::string::npos) << error.reason_;
    }
    EXPECT_EQ(std::string(third.what()), "line 3, column 7: " + third.reason_);
}

TEST(JsonRead, OutOfRangeNumberAndBadTextAreErrorPositions) {
    Error_position overflow = read_error("[1,\n1e999]");
    EXPECT_EQ(overflow.line_, 2u);
    EXPECT_NE(overflow.reason_.find("1e999"), std::string::npos) << overflow.reason_;
    EXPECT_EQ(overflow.reason_.find("json.exception"), std::string::npos) << overflow.reason_;
    read_error("-1e999");
    read_error("\"a\xFF\"");  // invalid UTF-8 is refused on reading
    read_error("{\"a\":1,}");
    read_error("[01]");

    // The non-throwing form keeps the value.
    Value value(7);
    EXPECT_FALSE(json_spirit::read("1e999", value));
    EXPECT_FALSE(json_spirit::read("{", value));
    EXPECT_EQ(value, Value(7));
    EXPECT_TRUE(json_spirit::read(" \r\n\t[] \n", value));
    EXPECT_EQ(value, Value(Array()));
}

// A value nests at most kMaxNesting objects and arrays: a text a million
// levels deep (2 MB) is an error at the first bracket too deep, where it
// would otherwise overflow the stack when the value is destroyed. Brackets
// inside strings do not count.
TEST(JsonRead, NestingBeyondTheLimitIsAnErrorPosition) {
    const size_t limit = json_spirit::kMaxNesting;
    ASSERT_EQ(limit, 256u);
    std::string deepest =
        std::string(limit - 1, '[') + R"({"a":"[[{{\"["})" + std::string(limit - 1, ']');
    Value value = parse(deepest);
    EXPECT_EQ(json_spirit::write(value), deepest);

    std::string over = "\n  " + std::string(limit, '[') + "{}" + std::string(limit, ']');
    Error_position error = read_error(over);
    EXPECT_EQ(error.line_, 2u);
    EXPECT_EQ(error.column_, 3u + limit);
    EXPECT_NE(error.reason_.find("nesting deeper than 256 levels"), std::string::npos)
        << error.reason_;

    for (const char* open : {"[", "{\"k\":"}) {
        std::string million;
        for (int i = 0; i < 1000000; ++i) million += open;
        million += "0";
        Error_position deep = read_error(million);
        EXPECT_EQ(deep.line_, 1u);
        EXPECT_EQ(deep.column_, limit * std::string(open).size() + 1) << open;
    }
    // Cut short too: the depth is the first error the reader meets.
    EXPECT_EQ(read_error(std::string(1000000, '[')).column_, limit + 1);
    std::istringstream stream(std::string(1000000, '[') + std::string(1000000, ']'));
    Value untouched(1);
    EXPECT_FALSE(json_spirit::read(stream, untouched));
    EXPECT_EQ(untouched, Value(1));
}

TEST(JsonRead, FailingStreamGivesErrorPositionOnly) {
    for (bool std_exception : {true, false}) {
        for (bool badbit_throws : {false, true}) {
            FailingBuffer buffer("{\"a\": [1, 2", std_exception);
            std::istream stream(&buffer);
            if (badbit_throws) stream.exceptions(std::ios_base::badbit);
            Value value("untouched");
            try {
                json_spirit::read_or_throw(stream, value);
                ADD_FAILURE() << "read without error";
            } catch (const Error_position& error) {
                EXPECT_EQ(error.line_, 1u);
                EXPECT_NE(error.reason_, "");
            } catch (...) {
                ADD_FAILURE() << "another exception escaped (std " << std_exception
                              << ", badbit throws " << badbit_throws << ")";
            }
            EXPECT_EQ(value, Value("untouched"));
            EXPECT_TRUE(stream.bad());

            FailingBuffer again("[]", std_exception);
            std::istream other(&again);
            if (badbit_throws) other.exceptions(std::ios_base::badbit);
            bool result = true;
            EXPECT_NO_THROW(result = json_spirit::read(other, value));
            EXPECT_FALSE(result);
        }
    }

    // A stream that is already bad is not read as if it were good.
    std::istringstream bad("{}");
    bad.setstate(std::ios_base::badbit);
    Value value;
    EXPECT_THROW(json_spirit::read_or_throw(bad, value), Error_position);
    EXPECT_TRUE(value.is_null());
}

TEST(JsonNumbers, IntegersStayExact) {
    for (const char* text : {"0", "7", "2147483648", "9223372036854775807"}) {
        Value value = parse(text);
        EXPECT_EQ(value.type(), json_spirit::int_type) << text;
        EXPECT_FALSE(value.is_uint64()) << text;
        EXPECT_EQ(json_spirit::write(value), text);
    }
    EXPECT_EQ(parse("-0").type(), json_spirit::int_type);
    EXPECT_EQ(parse("1.0").type(), json_spirit::real_type);
    EXPECT_EQ(parse("1e2").type(), json_spirit::real_type);

    Value max = parse("18446744073709551615");
    EXPECT_EQ(max.type(), json_spirit::int_type);
    EXPECT_TRUE(max.is_uint64());
    EXPECT_EQ(max.get_uint64(), UINT64_MAX);
    EXPECT_EQ(json_spirit::write(max), "18446744073709551615");
    EXPECT_THROW(max.get_int64(), json_spirit::Type_error);
    EXPECT_THROW(max.get_int(), json_spirit::Type_error);
    EXPECT_EQ(max, Value(18446744073709551615ull));

    Value min = parse("-9223372036854775808");
    EXPECT_EQ(min.type(), json_spirit::int_type);
    EXPECT_FALSE(min.is_uint64());
    EXPECT_EQ(min.get_int64(), INT64_MIN);
    EXPECT_EQ(json_spirit::write(min), "-9223372036854775808");
    EXPECT_THROW(min.get_uint64(), json_spirit::Type_error);

    // An unsigned count within the signed range is the same value as the signed one.
    EXPECT_EQ(Value(5ull), Value(5));
    EXPECT_FALSE(Value(5ull).is_uint64());
    EXPECT_THROW(Value(int64_t{1} << 40).get_int(), json_spirit::Type_error);
    EXPECT_THROW(Value("5").get_int(), json_spirit::Type_error);
    EXPECT_DOUBLE_EQ(max.get_real(), 18446744073709551615.0);
}

TEST(JsonLookups, ObjectGetNeverThrowsAndKeepsOutOnMismatch) {
    Object object = parse(R"({"s":"text","b":true,"i":-12,"str5":"5","real":1.5,)"
                          R"("big":1099511627776,"huge":18446744073709551615,"n":null,)"
                          R"("imax":2147483647,"imin":-2147483648})")
                        .get_obj();
    std::string text = "keep";
    bool flag = false;
    int number = 99;

    EXPECT_TRUE(json_spirit::object_get(object, "s", text));
    EXPECT_EQ(text, "text");
    EXPECT_TRUE(json_spirit::object_get(object, "b", flag));
    EXPECT_TRUE(flag);
    EXPECT_TRUE(json_spirit::object_get(object, "i", number));
    EXPECT_EQ(number, -12);
    EXPECT_TRUE(json_spirit::object_get(object, "imax", number));
    EXPECT_EQ(number, INT_MAX);
    EXPECT_TRUE(json_spirit::object_get(object, "imin", number));
    EXPECT_EQ(number, INT_MIN);

    text = "keep";
    flag = true;
    number = 99;
    for (const char* key : {"missing", "b", "i", "n"}) {
        EXPECT_NO_THROW(EXPECT_FALSE(json_spirit::object_get(object, key, text)) << key);
    }
    for (const char* key : {"missing", "s", "i", "n"}) {
        EXPECT_NO_THROW(EXPECT_FALSE(json_spirit::object_get(object, key, flag)) << key);
    }
    for (const char* key : {"missing", "str5", "real", "big", "huge", "b", "n"}) {
        EXPECT_NO_THROW(EXPECT_FALSE(json_spirit::object_get(object, key, number)) << key);
    }
    EXPECT_EQ(text, "keep");
    EXPECT_TRUE(flag);
    EXPECT_EQ(number, 99);
}

TEST(JsonLookups, ThrowingLookupsThrowStdExceptions) {
    Object object =
        parse(R"({"s":"x","a":[1],"i":3,"big":1099511627776,"huge":18446744073709551615,)"
              R"("r":2.5})")
            .get_obj();
    EXPECT_EQ(json_spirit::object_get_str_or_throw(object, "s"), "x");
    EXPECT_EQ(json_spirit::object_get_array_or_throw(object, "a").size(), 1u);
    EXPECT_EQ(json_spirit::object_get_int_or_throw(object, "i"), 3);
    EXPECT_EQ(json_spirit::object_get_int64_or_throw(object, "big"), int64_t{1} << 40);

    auto throws_naming = [](auto&& lookup, const std::string& key) {
        try {
            lookup();
            ADD_FAILURE() << key << " did not throw";
        } catch (const std::exception& error) {
            EXPECT_NE(std::string(error.what()).find(key), std::string::npos) << error.what();
        } catch (...) {
            ADD_FAILURE() << key << " threw something else than a std::exception";
        }
    };
    for (const char* key : {"none", "a", "i"})
        throws_naming([&] { json_spirit::object_get_str_or_throw(object, key); }, key);
    for (const char* key : {"none", "s", "i"})
        throws_naming([&] { json_spirit::object_get_array_or_throw(object, key); }, key);
    for (const char* key : {"none", "s", "big", "r"})
        throws_naming([&] { json_spirit::object_get_int_or_throw(object, key); }, key);
    for (const char* key : {"none", "s", "huge", "r"})
        throws_naming([&] { json_spirit::object_get_int64_or_throw(object, key); }, key);
}

TEST(JsonText, WideTextConvertsAtTheBoundary) {
    Value value(L"Gr\u00fc\u00dfe");
    EXPECT_EQ(common_tests::to_hex(value.get_str()), "4772c3bcc39f65");
    EXPECT_EQ(value.get_wstr(), L"Gr\u00fc\u00dfe");
    EXPECT_EQ(common_tests::to_hex(Value(std::wstring(L"\U0001F600")).get_str()), "f09f9880");
    EXPECT_EQ(json_spirit::write(value), "\"Gr\u00fc\u00dfe\"");
    EXPECT_EQ(parse("\"\\u00fc\\ud83d\\ude00\"").get_wstr(), L"\u00fc\U0001F600");
    EXPECT_EQ(Value(static_cast<const wchar_t*>(nullptr)).get_str(), "");
    EXPECT_THROW(Value(1).get_wstr(), json_spirit::Type_error);
}

namespace {

// Gives its text a byte at a time and tells how much of it has been handed out.
class TrickleBuffer : public std::streambuf {
public:
    explicit TrickleBuffer(std::string text) : text_(std::move(text)) {}
    size_t handed() const { return at_; }

protected:
    int_type underflow() override {
        if (at_ >= text_.size()) return traits_type::eof();
        setg(&text_[at_], &text_[at_], &text_[at_] + 1);
        ++at_;
        return traits_type::to_int_type(text_[at_ - 1]);
    }

private:
    std::string text_;
    size_t at_ = 0;
};

}  // namespace

TEST(JsonStreamed, ObjectElementsComeAsTheyAreReadWithNestedValuesEmptied) {
    const std::string text =
        R"([{"file":"C:/a","size":5,"n":{"deep":[1,2]},"l":[{"x":1}]}, 7, "s", [{"in":1}],)"
        R"( {"k":1,"k":2}, {}])";
    TrickleBuffer buffer(text);
    std::istream in(&buffer);
    std::vector<Object> seen;
    std::vector<size_t> handedAt;
    std::string reason;
    int kind = json_spirit::read_object_array(
        in,
        [&](const Object& element) {
            seen.push_back(element);
            handedAt.push_back(buffer.handed());
            return true;
        },
        &reason);
    EXPECT_EQ(kind, 1) << reason;
    ASSERT_EQ(seen.size(), 3u);  // the objects only: not 7, "s" nor the nested array's object
    EXPECT_EQ(Value(seen[0]),
              Value(Object{
                  {"file", "C:/a"}, {"size", 5}, {"n", Value(Object())}, {"l", Value(Array())}}));
    EXPECT_EQ(Value(seen[1]), Value(Object{{"k", 2}}));  // the last of a repeated key
    EXPECT_EQ(Value(seen[2]), Value(Object()));
    // The first element was handed on right after its closing brace, long before the end.
    EXPECT_LE(handedAt[0], text.find("}, 7") + 2);

    // Another kind of text, a broken one, trailing text, and a reader that stops.
    for (const char* other : {"{\"a\":1}", "3", "\"x\""}) {
        std::istringstream s(other);
        EXPECT_EQ(json_spirit::read_object_array(s, [](const Object&) { return true; }), 0)
            << other;
    }
    for (const char* broken : {"[{\"a\":1}", "[{\"a\":}]", "[] x", ""}) {
        std::istringstream s(broken);
        EXPECT_EQ(json_spirit::read_object_array(
                      s, [](const Object&) { return true; }, &reason),
                  -1)
            << broken;
        EXPECT_NE(reason, "");
    }
    std::istringstream two("[{\"a\":1},{\"b\":2}]");
    int calls = 0;
    EXPECT_EQ(json_spirit::read_object_array(
                  two, [&](const Object&) { return ++calls < 1; }, &reason),
              -1);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(reason, "stopped");
}

TEST(JsonStreamed, ObjectMembersComeInTheTextsOrder) {
    TrickleBuffer buffer(R"({"b":"1-2","a":{"x":[1]},"b":"3-4","c":[5],"d":null})");
    std::istream in(&buffer);
    std::vector<std::pair<std::string, Value>> seen;
    EXPECT_EQ(json_spirit::read_object_members(in,
                                               [&](const std::string& key, const Value& value) {
                                                   seen.emplace_back(key, value);
                                                   return true;
                                               }),
              1);
    std::vector<std::pair<std::string, Value>> expected = {
        {"b", "1-2"}, {"a", Value(Object())}, {"b", "3-4"}, {"c", Value(Array())}, {"d", Value()}};
    EXPECT_EQ(seen, expected);
    std::istringstream array("[1]");
    EXPECT_EQ(json_spirit::read_object_members(
                  array, [](const std::string&, const Value&) { return true; }),
              0);
    std::istringstream broken("{\"a\":");
    EXPECT_EQ(json_spirit::read_object_members(
                  broken, [](const std::string&, const Value&) { return true; }),
              -1);
}

// A spared member of the top-level object is read as its string elements in
// one block; the rest of the value, and every error, are as without it.
TEST(JsonRead, SparedArrayGivesItsStringsAndTheRestAsRead) {
    const std::string text =
        R"({"a":1,"source":["x","y\u00e9\\\/\u0000",2,["deep"],{"k":"v"},"","z"],)"
        R"("b":{"source":[1]},"c":"d"})";
    Value value;
    json_spirit::String_block strings;
    strings.texts = "stale";
    strings.ends = {5};
    json_spirit::read_or_throw(text, value, "source", strings);
    Value whole = parse(text);
    whole.get_obj()["source"] = Array();
    EXPECT_EQ(value, whole);  // a nested member of that name is built
    EXPECT_EQ(strings.texts, std::string("xy\xC3\xA9\\/\0z", 8));
    EXPECT_EQ(strings.ends, (std::vector<size_t>{1, 7, 7, 8}));

    // The last of a repeated key; a member that is no array is built.
    json_spirit::read_or_throw(R"({"source":["a"],"source":["b","c"]})", value, "source", strings);
    EXPECT_EQ(strings.texts, "bc");
    json_spirit::read_or_throw(R"({"source":"s","t":["u"]})", value, "source", strings);
    EXPECT_EQ(value, parse(R"({"source":"s","t":["u"]})"));
    EXPECT_EQ(strings.size(), 0u);

    const size_t limit = json_spirit::kMaxNesting;
    std::string keys;
    for (size_t i = 0; i + 1 < limit; ++i) keys += R"({"k":)";
    for (const std::string& bad :
         {std::string(R"({"source":["a",]})"), std::string("{\"source\":[\"a\xFF\"]}"),
          std::string("{\"source\":[\n\"a\" \"b\"]}"), std::string(R"({"source":["a"])"),
          R"({"source":)" + std::string(limit, '[') + std::string(limit, ']') + "}",
          R"({"source":[)" + keys + "0" + std::string(limit - 1, '}') + "]}"}) {
        SCOPED_TRACE(bad.substr(0, 40));
        Error_position expected = read_error(bad);
        Value untouched("untouched");
        json_spirit::String_block kept;
        kept.texts = "kept";
        try {
            json_spirit::read_or_throw(bad, untouched, "source", kept);
            ADD_FAILURE() << "read without error";
        } catch (const Error_position& error) {
            EXPECT_EQ(error.line_, expected.line_);
            EXPECT_EQ(error.column_, expected.column_);
            EXPECT_EQ(error.reason_, expected.reason_);
        }
        EXPECT_EQ(untouched, Value("untouched"));
        EXPECT_EQ(kept.texts, "kept");
    }
    // The deepest nesting read_or_throw takes is taken.
    std::string deepest =
        R"({"source":)" + std::string(limit - 1, '[') + std::string(limit - 1, ']') + "}";
    parse(deepest);
    json_spirit::read_or_throw(deepest, value, "source", strings);
    EXPECT_EQ(value, parse(R"({"source":[]})"));
}

// The wanted members of a text get what the whole tree holds at their place:
// compared with read over texts that repeat keys, nest other kinds, and fail.
TEST(JsonMembers, WantedMembersAreWhatTheTreeHolds) {
    const char* const texts[] = {
        R"({"n":-5,"u":18446744073709551615,"r":1.5,"s":"t\u00e9","b":true,"z":null,)"
        R"("o":{"i":7,"j":[1,{"i":2}],"k":{"i":3},"i":8},"q":[{"i":1}]})",
        // The same in the plain form that replies mostly have.
        " {\"n\" : -5,\"u\":123456789012345678,\"s\":\"t\",\"b\":true,\"z\":null,\n\t"
        R"("o":{"i":7,"j":[1,{"i":2}],"k":{"i":3},"i":8},"q":[{"i":1}],"r":[]})",
        R"({"n":1,"n":2,"o":{"i":1,"j":2},"o":{"k":"x"}})",  // a repeated member replaces
        R"({"o":{"i":1},"o":4,"i":9})",                      // an object, then a number
        R"({"a":{"b":{"c":{"i":1}}},"o":[{"i":1}]})",        // deeper, and in an array
        R"([{"n":1}])", R"("n")", "{}",
        R"({"o":{},"n":"\"","s":"a\\b"})",  // escapes: the library reads them
    };
    for (const char* text : texts) {
        json_spirit::Wanted_member wanted[] = {
            {nullptr, "n", {}}, {nullptr, "u", {}}, {nullptr, "r", {}}, {nullptr, "s", {}},
            {nullptr, "b", {}}, {nullptr, "z", {}}, {nullptr, "o", {}}, {nullptr, "q", {}},
            {nullptr, "i", {}}, {"o", "i", {}},     {"o", "j", {}},     {"o", "k", {}},
            {"a", "b", {}},     {"q", "i", {}},
        };
        const size_t count = sizeof wanted / sizeof wanted[0];
        Value tree = parse(text);
        EXPECT_EQ(json_spirit::read_members(text, wanted, count),
                  tree.type() == json_spirit::obj_type ? 1 : 0)
            << text;
        // What the tree holds at a place, a nested object or array emptied.
        auto at = [](const Value& holder, const char* key) {
            if (holder.type() != json_spirit::obj_type) return Value();
            auto found = holder.get_obj().find(key);
            if (found == holder.get_obj().end()) return Value();
            if (found->second.type() == json_spirit::obj_type) return Value(Object());
            if (found->second.type() == json_spirit::array_type) return Value(Array());
            return found->second;
        };
        for (const auto& member : wanted) {
            Value expected;
            if (tree.type() == json_spirit::obj_type) {
                if (!member.within) {
                    expected = at(tree, member.key);
                } else {
                    auto outer = tree.get_obj().find(member.within);
                    if (outer != tree.get_obj().end()) expected = at(outer->second, member.key);
                }
            }
            EXPECT_EQ(member.value, expected)
                << text << ": " << (member.within ? member.within : "") << "/" << member.key;
        }
    }
    json_spirit::Wanted_member one[] = {{nullptr, "a", {}}};
    EXPECT_EQ(json_spirit::read_members(R"({"a":1,)", one, 1), -1);
    EXPECT_EQ(one[0].value, Value());
    EXPECT_EQ(json_spirit::read_members(R"({"a":1} x)", one, 1), -1);
    EXPECT_EQ(json_spirit::read_members(R"({"a":01})", one, 1), -1);
    EXPECT_EQ(json_spirit::read_members(R"({"a":1234567890123456789012})", one, 1), 1);
    EXPECT_EQ(one[0].value, Value(1234567890123456789012.0));
    EXPECT_EQ(json_spirit::read_members("{\"a\":\"\x01\"}", one, 1), -1);
    EXPECT_EQ(json_spirit::read_members(std::string(300, '[') + std::string(300, ']'), one, 1), -1);
}
