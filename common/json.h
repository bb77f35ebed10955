// The system's JSON values: objects with their keys kept sorted, arrays,
// UTF-8 text, booleans, exact 64-bit integers (signed, or unsigned for counts
// above the signed range), reals and null; strict reading whose errors carry
// line, column and reason; compact and formatted writing. Parsing and writing
// are done by nlohmann-json inside json.cpp (read_members reads the plainest
// texts itself); none of its exceptions leave.
//
// A Value is a plain value type: copying copies the whole tree. Values are not
// shared between threads without a lock of the caller's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <istream>
#include <map>
#include <ostream>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace json_spirit {

enum Value_type { obj_type, array_type, str_type, bool_type, int_type, real_type, null_type };

class Value;
typedef std::map<std::string, Value> Object;
typedef std::vector<Value> Array;

// Thrown by the typed getters of Value when the value has another type (or an
// integer does not fit the asked width).
class Type_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Value {
public:
    Value() = default;
    Value(const Object& value) : data_(value) {}
    Value(Object&& value) : data_(std::move(value)) {}
    Value(const Array& value) : data_(value) {}
    Value(Array&& value) : data_(std::move(value)) {}
    Value(const std::string& value) : data_(value) {}
    Value(std::string&& value) : data_(std::move(value)) {}
    Value(const char* value) : data_(std::string(value ? value : "")) {}
    // Wide text is stored as UTF-8.
    Value(const std::wstring& value);
    Value(const wchar_t* value);
    Value(bool value) : data_(value) {}
    Value(int value) : data_(static_cast<int64_t>(value)) {}
    Value(unsigned value) : data_(static_cast<int64_t>(value)) {}
    Value(long value) : data_(static_cast<int64_t>(value)) {}
    Value(long long value) : data_(static_cast<int64_t>(value)) {}
    Value(unsigned long value) : Value(static_cast<unsigned long long>(value)) {}
    Value(unsigned long long value);
    Value(double value) : data_(value) {}

    Value_type type() const;
    bool is_null() const { return type() == null_type; }
    // True for an integer above the signed 64-bit range.
    bool is_uint64() const { return std::holds_alternative<uint64_t>(data_); }

    const Object& get_obj() const;
    Object& get_obj();
    const Array& get_array() const;
    Array& get_array();
    const std::string& get_str() const;
    std::wstring get_wstr() const;
    bool get_bool() const;
    int get_int() const;          // throws when outside the int range
    int64_t get_int64() const;    // throws for counts above the signed range
    uint64_t get_uint64() const;  // throws for negative numbers
    double get_real() const;      // integers convert

    bool operator==(const Value& other) const { return data_ == other.data_; }
    bool operator!=(const Value& other) const { return !(*this == other); }

private:
    // Non-negative integers above INT64_MAX are held as uint64_t, all others as int64_t.
    std::variant<std::monostate, Object, Array, std::string, bool, int64_t, uint64_t, double> data_;
};

// A reading error: where (1-based line and column of the offending byte) and why.
class Error_position : public std::runtime_error {
public:
    Error_position(unsigned line, unsigned column, const std::string& reason);
    unsigned line_;
    unsigned column_;
    std::string reason_;
};

// The deepest nesting of objects and arrays that reading takes: a value is
// destroyed and copied recursively, and a text of a few hundred kilobytes
// could otherwise nest deep enough to overflow the stack.
constexpr size_t kMaxNesting = 256;

// Reads one JSON text, with nothing but white space after it. Throws
// Error_position on any syntax error, an out-of-range number, nesting deeper
// than kMaxNesting (at the first object or array too deep), or a stream
// that fails while being read; value is then unchanged.
void read_or_throw(const std::string& text, Value& value);
void read_or_throw(std::istream& stream, Value& value);
// The same without exceptions: false and value unchanged on an error.
bool read(const std::string& text, Value& value);
bool read(std::istream& stream, Value& value);

// The string elements of one array, held in one block: element i is the
// bytes of texts from ends[i - 1] (0 for the first) to ends[i].
struct String_block {
    std::string texts;
    std::vector<size_t> ends;

    size_t size() const { return ends.size(); }
    void clear() {
        texts.clear();
        ends.clear();
    }
};

// read_or_throw for a top-level object one of whose members, spared, may be
// an array too large to build as Values: its string elements (top level of
// that array only) are appended to strings, its other elements read and
// passed over, and the member holds an empty array in value. A repeated key
// leaves the last array's strings, as value keeps the last of a repeated
// key; a member of that name that is no array is built as usual. Errors,
// nesting included, are read_or_throw's; value and strings are then
// unchanged.
void read_or_throw(const std::string& text, Value& value, const std::string& spared,
                   String_block& strings);

// Reads one JSON text from stream as it arrives, for an array too large to
// hold as a Value: each string element of the top-level array is handed to
// element as soon as it is read (which may take it), other elements (nested
// or not) are read and passed over, and nothing else is kept. Result: 1 when
// the text is an array, 0 when it is well-formed JSON of another kind, -1
// for a syntax error, trailing text or a stream that failed (reason, when
// given, tells why).
int read_string_array(std::istream& stream, const std::function<void(std::string&)>& element,
                      std::string* reason = nullptr);

// Reads one JSON text from stream as it arrives, for an array of objects too
// large to hold as a Value: each object element of the top-level array is
// handed to element as soon as its closing brace is read, with its members
// as the text has them (the last of a repeated key), except that a member
// whose value is an object or an array holds an empty one of that kind.
// Elements of other kinds are read and passed over. element answers false to
// stop the reading (the result is then -1, reason "stopped"). Result: 1 when
// the text is an array, 0 when it is well-formed JSON of another kind, -1
// for a syntax error, trailing text or a stream that failed (reason, when
// given, tells why).
int read_object_array(std::istream& stream, const std::function<bool(const Object&)>& element,
                      std::string* reason = nullptr);

// Reads one JSON text from stream as it arrives, for an object too large to
// hold as a Value: each member of the top-level object is handed to member
// as soon as its value is read, in the order of the text (a repeated key
// comes again), a value that is an object or an array as an empty one of
// that kind. Results and reason as read_object_array's, with 1 when the text
// is an object.
int read_object_members(std::istream& stream,
                        const std::function<bool(const std::string&, const Value&)>& member,
                        std::string* reason = nullptr);

// One member that read_members looks for: the key of the top-level member
// whose object holds it (null: the top-level object holds it) and its own
// key. value gets what the text gives the member (null when it is absent),
// an object or an array as an empty one of that kind.
struct Wanted_member {
    const char* within;
    const char* key;
    Value value;
};

// Reads one JSON text held whole, of which only a few members matter: when
// it is an object, each wanted member found in it, or in the object of one
// of its members, gets its value as read would have left it in the tree (the
// last of a repeated key wins, and a top-level member that comes again first
// empties what its earlier value gave). Nothing else is kept. Result: 1 when
// the text is an object, 0 when it is well-formed JSON of another kind, -1
// for a syntax error, an out-of-range number, nesting deeper than
// kMaxNesting or trailing text.
int read_members(const std::string& text, Wanted_member* wanted, size_t count);

// Compact and formatted (indented, one member a line) text. Text that is not
// valid UTF-8 is written with U+FFFD in place of the bad bytes.
std::string write(const Value& value);
void write(const Value& value, std::ostream& stream);
std::string write_formatted(const Value& value);
void write_formatted(const Value& value, std::ostream& stream);

// Lookups of a member. These never throw; on absence or another type they
// return false and leave out untouched. The int form takes integers within
// the int range only.
bool object_get(const Object& object, const std::string& key, std::string& out);
bool object_get(const Object& object, const std::string& key, bool& out);
bool object_get(const Object& object, const std::string& key, int& out);

// Throwing lookups: a missing member, or one of another type, throws
// std::runtime_error whose what() names the key.
const std::string& object_get_str_or_throw(const Object& object, const std::string& key);
const Array& object_get_array_or_throw(const Object& object, const std::string& key);
int object_get_int_or_throw(const Object& object, const std::string& key);
int64_t object_get_int64_or_throw(const Object& object, const std::string& key);

}  // namespace json_spirit
