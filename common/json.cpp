#include "common/json.h"

#include <charconv>
#include <climits>
#include <cstring>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>

#include "common/text_conv.h"

namespace json_spirit {
namespace {

const char* type_name(Value_type type) {
    switch (type) {
        case obj_type:
            return "object";
        case array_type:
            return "array";
        case str_type:
            return "string";
        case bool_type:
            return "boolean";
        case int_type:
            return "integer";
        case real_type:
            return "real";
        case null_type:
            return "null";
    }
    return "unknown";
}

[[noreturn]] void wrong_type(Value_type have, const char* want) {
    throw Type_error(std::string("JSON value is of type ") + type_name(have) + ", not " + want);
}

// Builds a Value straight from the parser's events; with a spared member,
// that array member of the top-level object goes to a String_block instead.
class Builder : public nlohmann::json_sax<nlohmann::json> {
public:
    explicit Builder(const std::string& text, const std::string* spared = nullptr,
                     String_block* strings = nullptr)
        : text_(text), spared_(spared), strings_(strings) {}

    bool null() override { return put(Value()); }
    bool boolean(bool value) override { return put(Value(value)); }
    bool number_integer(number_integer_t value) override {
        return put(Value(static_cast<long long>(value)));
    }
    bool number_unsigned(number_unsigned_t value) override {
        return put(Value(static_cast<unsigned long long>(value)));
    }
    bool number_float(number_float_t value, const string_t&) override { return put(Value(value)); }
    bool string(string_t& value) override {
        if (sparing_ == 1) {
            strings_->texts += value;
            strings_->ends.push_back(strings_->texts.size());
            return true;
        }
        return put(Value(std::move(value)));
    }
    bool binary(binary_t&) override { return false; }  // never produced by the text parser
    bool start_object(std::size_t) override {
        if (stack_.size() + sparing_ >= kMaxNesting) return too_deep();
        if (sparing_) return ++sparing_, true;
        stack_.push_back(Frame{Value(Object()), std::string()});
        return true;
    }
    bool key(string_t& value) override {
        if (!sparing_) stack_.back().key = std::move(value);
        return true;
    }
    bool end_object() override { return pop(); }
    bool start_array(std::size_t) override {
        if (stack_.size() + sparing_ >= kMaxNesting) return too_deep();
        if (sparing_) return ++sparing_, true;
        if (spared_ && stack_.size() == 1 && stack_.back().value.type() == obj_type &&
            stack_.back().key == *spared_) {
            strings_->clear();
            sparing_ = 1;
            return true;
        }
        stack_.push_back(Frame{Value(Array()), std::string()});
        return true;
    }
    bool end_array() override { return pop(); }
    bool parse_error(std::size_t position, const std::string&,
                     const nlohmann::detail::exception& error) override {
        fail(position, error.what());
        return false;
    }

    Value& result() { return result_; }
    bool stopped_too_deep() const { return tooDeep_; }

    // The parser stopped at the first object or array one level too deep:
    // the text before it is well-formed, so counting brackets outside
    // strings finds it.
    [[noreturn]] void fail_too_deep() {
        size_t depth = 0;
        bool quoted = false;
        size_t at = 0;
        for (; at < text_.size(); ++at) {
            char c = text_[at];
            if (quoted) {
                if (c == '\\')
                    ++at;
                else if (c == '"')
                    quoted = false;
            } else if (c == '"') {
                quoted = true;
            } else if (c == '[' || c == '{') {
                if (++depth > kMaxNesting) break;
            } else if (c == ']' || c == '}') {
                --depth;
            }
        }
        fail(at + 1, "nesting deeper than " + std::to_string(kMaxNesting) + " levels");
    }

    [[noreturn]] void fail(std::size_t position, const std::string& what) {
        // The byte position counts from 1 at the offending byte; tell line and column.
        size_t end = position == 0 ? 0 : std::min(position - 1, text_.size());
        unsigned line = 1, column = 1;
        for (size_t i = 0; i < end; ++i) {
            if (text_[i] == '\n')
                ++line, column = 1;
            else
                ++column;
        }
        // Keep the reason without the library's own prefix ("[json.exception.
        // out_of_range.406] ") and, for a syntax error, its position ("parse
        // error at line 1, column 2: ").
        std::string reason = what;
        if (reason.rfind("[json.exception.", 0) == 0) {
            auto close = reason.find("] ");
            if (close != std::string::npos) reason.erase(0, close + 2);
            auto colon = reason.find(": ");
            if (reason.rfind("parse error", 0) == 0 && colon != std::string::npos)
                reason.erase(0, colon + 2);
        }
        throw Error_position(line, column, reason);
    }

private:
    struct Frame {
        Value value;
        std::string key;
    };

    bool put(Value&& value) {
        if (sparing_) return true;  // an element of the spared array, passed over
        if (stack_.empty()) {
            result_ = std::move(value);
        } else if (stack_.back().value.type() == obj_type) {
            stack_.back().value.get_obj()[stack_.back().key] = std::move(value);
        } else {
            stack_.back().value.get_array().push_back(std::move(value));
        }
        return true;
    }
    bool pop() {
        if (sparing_) {
            // The spared array's end stands for an empty one in the object.
            return --sparing_ == 0 ? put(Value(Array())) : true;
        }
        Value done = std::move(stack_.back().value);
        stack_.pop_back();
        return put(std::move(done));
    }

    bool too_deep() {
        tooDeep_ = true;
        return false;  // stops the parser
    }

    const std::string& text_;
    const std::string* spared_;
    String_block* strings_;
    // Inside the spared array: 1 at its elements, one more per level below.
    size_t sparing_ = 0;
    std::vector<Frame> stack_;
    Value result_;
    bool tooDeep_ = false;
};

void build(const std::string& text, Builder& builder, Value& value) {
    bool parsed = false;
    try {
        parsed =
            nlohmann::json::sax_parse(text, &builder, nlohmann::json::input_format_t::json, true);
    } catch (const Error_position&) {
        throw;
    } catch (const std::exception& error) {
        builder.fail(text.size() + 1, error.what());
    }
    if (!parsed && builder.stopped_too_deep()) builder.fail_too_deep();
    value = std::move(builder.result());
}

nlohmann::json to_library(const Value& value) {
    switch (value.type()) {
        case obj_type: {
            nlohmann::json out = nlohmann::json::object();
            for (const auto& [key, member] : value.get_obj()) out[key] = to_library(member);
            return out;
        }
        case array_type: {
            nlohmann::json out = nlohmann::json::array();
            for (const auto& element : value.get_array()) out.push_back(to_library(element));
            return out;
        }
        case str_type:
            return value.get_str();
        case bool_type:
            return value.get_bool();
        case int_type:
            if (value.is_uint64()) return value.get_uint64();
            return value.get_int64();
        case real_type:
            return value.get_real();
        case null_type:
            return nullptr;
    }
    return nullptr;
}

std::string dump(const Value& value, int indent) {
    try {
        return to_library(value).dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
    } catch (const std::exception&) {
        return std::string();  // the library throws only for bad UTF-8, which it replaces
    }
}

const Value* member(const Object& object, const std::string& key) {
    auto it = object.find(key);
    return it == object.end() ? nullptr : &it->second;
}

const Value& member_or_throw(const Object& object, const std::string& key) {
    const Value* value = member(object, key);
    if (!value) throw std::runtime_error("value for name '" + key + "' not found");
    return *value;
}

}  // namespace

Value::Value(const std::wstring& value) : data_(to_utf8(value)) {}
Value::Value(const wchar_t* value) : data_(value ? to_utf8(value, -1) : std::string()) {}

Value::Value(unsigned long long value) {
    if (value > static_cast<unsigned long long>(INT64_MAX))
        data_ = static_cast<uint64_t>(value);
    else
        data_ = static_cast<int64_t>(value);
}

Value_type Value::type() const {
    switch (data_.index()) {
        case 0:
            return null_type;
        case 1:
            return obj_type;
        case 2:
            return array_type;
        case 3:
            return str_type;
        case 4:
            return bool_type;
        case 5:
        case 6:
            return int_type;
        default:
            return real_type;
    }
}

const Object& Value::get_obj() const {
    if (auto p = std::get_if<Object>(&data_)) return *p;
    wrong_type(type(), "object");
}
Object& Value::get_obj() {
    if (auto p = std::get_if<Object>(&data_)) return *p;
    wrong_type(type(), "object");
}
const Array& Value::get_array() const {
    if (auto p = std::get_if<Array>(&data_)) return *p;
    wrong_type(type(), "array");
}
Array& Value::get_array() {
    if (auto p = std::get_if<Array>(&data_)) return *p;
    wrong_type(type(), "array");
}
const std::string& Value::get_str() const {
    if (auto p = std::get_if<std::string>(&data_)) return *p;
    wrong_type(type(), "string");
}
std::wstring Value::get_wstr() const { return from_utf8(get_str()); }
bool Value::get_bool() const {
    if (auto p = std::get_if<bool>(&data_)) return *p;
    wrong_type(type(), "boolean");
}
int Value::get_int() const {
    int64_t value = get_int64();
    if (value < INT_MIN || value > INT_MAX) throw Type_error("JSON integer out of the int range");
    return static_cast<int>(value);
}
int64_t Value::get_int64() const {
    if (auto p = std::get_if<int64_t>(&data_)) return *p;
    if (is_uint64()) throw Type_error("JSON integer out of the signed 64-bit range");
    wrong_type(type(), "integer");
}
uint64_t Value::get_uint64() const {
    if (auto p = std::get_if<uint64_t>(&data_)) return *p;
    if (auto p = std::get_if<int64_t>(&data_)) {
        if (*p < 0) throw Type_error("JSON integer is negative");
        return static_cast<uint64_t>(*p);
    }
    wrong_type(type(), "integer");
}
double Value::get_real() const {
    if (auto p = std::get_if<double>(&data_)) return *p;
    if (auto p = std::get_if<int64_t>(&data_)) return static_cast<double>(*p);
    if (auto p = std::get_if<uint64_t>(&data_)) return static_cast<double>(*p);
    wrong_type(type(), "real");
}

Error_position::Error_position(unsigned line, unsigned column, const std::string& reason)
    : std::runtime_error("line " + std::to_string(line) + ", column " + std::to_string(column) +
                         ": " + reason),
      line_(line),
      column_(column),
      reason_(reason) {}

void read_or_throw(const std::string& text, Value& value) {
    Builder builder(text);
    build(text, builder, value);
}

void read_or_throw(const std::string& text, Value& value, const std::string& spared,
                   String_block& strings) {
    String_block read;
    Builder builder(text, &spared, &read);
    build(text, builder, value);
    strings = std::move(read);
}

void read_or_throw(std::istream& stream, Value& value) {
    std::string text;
    bool failed = false;
    try {
        text.assign(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
    } catch (...) {
        failed = true;
    }
    if (failed) {
        // Tell the caller's stream too; one whose exceptions include badbit
        // would throw ios_base::failure here, which must not leave.
        try {
            stream.setstate(std::ios_base::badbit);
        } catch (...) {
        }
    }
    if (failed || stream.bad()) throw Error_position(1, 1, "the stream could not be read");
    read_or_throw(text, value);
}

bool read(const std::string& text, Value& value) {
    try {
        read_or_throw(text, value);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool read(std::istream& stream, Value& value) {
    try {
        read_or_throw(stream, value);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

namespace {

// The library's parser events with each scalar made into a Value, which the
// reader that derives from this takes in scalar.
class Scalar_Events : public nlohmann::json_sax<nlohmann::json> {
public:
    bool null() override { return scalar(Value()); }
    bool boolean(bool value) override { return scalar(Value(value)); }
    bool number_integer(number_integer_t value) override {
        return scalar(Value(static_cast<long long>(value)));
    }
    bool number_unsigned(number_unsigned_t value) override {
        return scalar(Value(static_cast<unsigned long long>(value)));
    }
    bool number_float(number_float_t value, const string_t&) override {
        return scalar(Value(value));
    }
    bool string(string_t& value) override { return scalar(Value(std::move(value))); }
    bool binary(binary_t&) override { return false; }  // never produced by the text parser

protected:
    virtual bool scalar(Value&& value) = 0;
};

// Where the values of a text go, for read_members: told of each value as it
// begins (begin_value, then opened for an object or an array, closed at its
// end) and of each key, it gives the slot of a wanted member.
class Wanted_Slots {
public:
    Wanted_Slots(Wanted_member* wanted, size_t count) : wanted_(wanted), count_(count) {}

    // The slot of the value that begins here, or null when it is not wanted.
    // A value of a top-level member first empties what an earlier value of
    // that member gave.
    Value* begin_value() {
        if (depth_ == 1 && object_) {
            for (size_t i = 0; i < count_; ++i)
                if (wanted_[i].within && outer_ == wanted_[i].within) wanted_[i].value = Value();
            return slot(nullptr, outer_);
        }
        if (depth_ == 2 && object_ && nestedObject_) return slot(&outer_, inner_);
        return nullptr;
    }
    void opened(bool object) {
        if (depth_ == 0)
            object_ = object;
        else if (depth_ == 1 && object_)
            nestedObject_ = object;
        ++depth_;
    }
    void closed() { --depth_; }
    void key(const char* text, size_t size) {
        if (depth_ == 1)
            outer_.assign(text, size);
        else if (depth_ == 2 && nestedObject_)
            inner_.assign(text, size);
    }
    size_t depth() const { return depth_; }
    bool object() const { return object_; }

private:
    Value* slot(const std::string* within, const std::string& key) {
        for (size_t i = 0; i < count_; ++i) {
            Wanted_member& member = wanted_[i];
            if ((member.within == nullptr) != (within == nullptr)) continue;
            if (within && *within != member.within) continue;
            if (key == member.key) return &member.value;
        }
        return nullptr;
    }

    Wanted_member* wanted_;
    size_t count_;
    size_t depth_ = 0;
    bool object_ = false;        // the text is an object
    bool nestedObject_ = false;  // the top-level member under way is an object
    std::string outer_;          // the key of the top-level member under way
    std::string inner_;          // the key of its member under way
};

// The library's reading, for any text.
class Wanted_Members : public Scalar_Events {
public:
    explicit Wanted_Members(Wanted_Slots& slots) : slots_(slots) {}

    bool start_object(std::size_t) override { return open(true); }
    bool key(string_t& value) override {
        slots_.key(value.data(), value.size());
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(false); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

private:
    bool scalar(Value&& value) override {
        if (Value* at = slots_.begin_value()) *at = std::move(value);
        return true;
    }
    bool open(bool object) {
        if (slots_.depth() >= kMaxNesting) return false;
        if (Value* at = slots_.begin_value()) *at = object ? Value(Object()) : Value(Array());
        slots_.opened(object);
        return true;
    }
    bool close() {
        slots_.closed();
        return true;
    }

    Wanted_Slots& slots_;
};

// A reading of the plain texts that replies mostly are, without the library:
// strings of printable ASCII without escapes, integers of up to 18 digits,
// the three literals, objects and arrays. It tells only of a text made of
// these alone and well-formed (1 for an object, 0 for another value); for
// any other (-1) it cannot tell, and the library reads the text.
class Plain_Reader {
public:
    Plain_Reader(const std::string& text, Wanted_Slots& slots)
        : at_(text.data()), end_(text.data() + text.size()), slots_(slots) {}

    int read() {
        skip();
        for (;;) {
            // A value begins here.
            if (at_ == end_) return -1;
            char c = *at_;
            if (c == '{' || c == '[') {
                if (slots_.depth() >= kMaxNesting) return -1;
                if (Value* slot = slots_.begin_value())
                    *slot = c == '{' ? Value(Object()) : Value(Array());
                slots_.opened(c == '{');
                kinds_[slots_.depth() - 1] = c;
                ++at_;
                skip();
                if (at_ == end_ || *at_ != closer(c)) {
                    if (c == '{' && !key()) return -1;
                    continue;
                }
                ++at_;
                slots_.closed();
            } else if (!scalar()) {
                return -1;
            }
            // After a value: the ends of what it closes, then a comma.
            for (;;) {
                skip();
                if (slots_.depth() == 0) return at_ == end_ ? (slots_.object() ? 1 : 0) : -1;
                if (at_ == end_) return -1;
                char kind = kinds_[slots_.depth() - 1];
                if (*at_ == ',') {
                    ++at_;
                    skip();
                    if (kind == '{' && !key()) return -1;
                    break;
                }
                if (*at_ != closer(kind)) return -1;
                ++at_;
                slots_.closed();
            }
        }
    }

private:
    static char closer(char kind) { return kind == '{' ? '}' : ']'; }
    void skip() {
        while (at_ != end_ && (*at_ == ' ' || *at_ == '\t' || *at_ == '\n' || *at_ == '\r')) ++at_;
    }
    // A plain string at at_: its text without the quotes.
    bool text(const char*& begin, size_t& size) {
        if (at_ == end_ || *at_ != '"') return false;
        begin = ++at_;
        while (at_ != end_ && *at_ != '"') {
            unsigned char c = static_cast<unsigned char>(*at_);
            if (c < 0x20 || c > 0x7E || c == '\\') return false;
            ++at_;
        }
        if (at_ == end_) return false;
        size = static_cast<size_t>(at_ - begin);
        ++at_;
        return true;
    }
    // A member's key and its colon, up to its value.
    bool key() {
        const char* begin;
        size_t size;
        if (!text(begin, size)) return false;
        skip();
        if (at_ == end_ || *at_ != ':') return false;
        ++at_;
        skip();
        slots_.key(begin, size);
        return true;
    }
    bool literal(const char* word, size_t size) {
        if (static_cast<size_t>(end_ - at_) < size || std::memcmp(at_, word, size) != 0)
            return false;
        at_ += size;
        return true;
    }
    bool scalar() {
        Value* slot = slots_.begin_value();
        char c = *at_;
        if (c == '"') {
            const char* begin;
            size_t size;
            if (!text(begin, size)) return false;
            if (slot) *slot = Value(std::string(begin, size));
            return true;
        }
        if (c == 't' || c == 'f' || c == 'n') {
            bool known = c == 't'   ? literal("true", 4)
                         : c == 'f' ? literal("false", 5)
                                    : literal("null", 4);
            if (known && slot) *slot = c == 'n' ? Value() : Value(c == 't');
            return known;
        }
        bool negative = c == '-';
        if (negative) ++at_;
        const char* digits = at_;
        long long number = 0;
        for (; at_ != end_ && *at_ >= '0' && *at_ <= '9'; ++at_)
            if (at_ - digits < 18) number = number * 10 + (*at_ - '0');
        size_t count = static_cast<size_t>(at_ - digits);
        if (count == 0 || count > 18 || (count > 1 && *digits == '0')) return false;
        if (at_ != end_ && (*at_ == '.' || *at_ == 'e' || *at_ == 'E')) return false;
        if (slot) *slot = Value(negative ? -number : number);
        return true;
    }

    const char* at_;
    const char* end_;
    Wanted_Slots& slots_;
    char kinds_[kMaxNesting];  // '{' or '[' of each open value
};

}  // namespace

int read_members(const std::string& text, Wanted_member* wanted, size_t count) {
    auto clear = [&] {
        for (size_t i = 0; i < count; ++i) wanted[i].value = Value();
    };
    clear();
    {
        Wanted_Slots slots(wanted, count);
        int plain = Plain_Reader(text, slots).read();
        if (plain >= 0) return plain;
    }
    clear();
    Wanted_Slots slots(wanted, count);
    Wanted_Members reader(slots);
    bool parsed = false;
    try {
        parsed =
            nlohmann::json::sax_parse(text, &reader, nlohmann::json::input_format_t::json, true);
    } catch (const std::exception&) {
        parsed = false;
    }
    if (!parsed) {
        clear();
        return -1;
    }
    return slots.object() ? 1 : 0;
}

namespace {

// Hands the string elements of a top-level array to its caller as they come.
class String_Elements : public nlohmann::json_sax<nlohmann::json> {
public:
    explicit String_Elements(const std::function<void(std::string&)>& element)
        : element_(element) {}

    bool null() override { return scalar(); }
    bool boolean(bool) override { return scalar(); }
    bool number_integer(number_integer_t) override { return scalar(); }
    bool number_unsigned(number_unsigned_t) override { return scalar(); }
    bool number_float(number_float_t, const string_t&) override { return scalar(); }
    bool string(string_t& value) override {
        if (depth_ == 1 && array_) element_(value);
        return scalar();
    }
    bool binary(binary_t&) override { return false; }
    bool start_object(std::size_t) override { return open(false); }
    bool key(string_t&) override { return true; }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(true); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t, const std::string&,
                     const nlohmann::detail::exception& error) override {
        reason_ = error.what();
        return false;
    }

    bool array() const { return array_; }
    const std::string& reason() const { return reason_; }

private:
    bool scalar() { return true; }
    bool open(bool array) {
        if (depth_++ == 0) array_ = array;
        return true;
    }
    bool close() {
        --depth_;
        return true;
    }

    const std::function<void(std::string&)>& element_;
    int depth_ = 0;
    bool array_ = false;
    std::string reason_;
};

}  // namespace

int read_string_array(std::istream& stream, const std::function<void(std::string&)>& element,
                      std::string* reason) {
    String_Elements reader(element);
    bool parsed = false;
    std::string why;
    try {
        parsed =
            nlohmann::json::sax_parse(stream, &reader, nlohmann::json::input_format_t::json, true);
        why = reader.reason();
    } catch (const std::exception& error) {
        why = error.what();
    }
    if (stream.bad() && why.empty()) why = "the stream could not be read";
    if (!parsed || stream.bad()) {
        if (reason) *reason = why.empty() ? std::string("malformed JSON") : why;
        return -1;
    }
    return reader.array() ? 1 : 0;
}

namespace {

// Hands the elements of a top-level array (objects) or the members of a
// top-level object to its caller as they come, with their nested values
// emptied. The kind of the top-level value is told by top().
class Shallow_Elements : public Scalar_Events {
public:
    using Element = std::function<bool(const Object&)>;
    using Member = std::function<bool(const std::string&, const Value&)>;
    Shallow_Elements(const Element* element, const Member* member)
        : element_(element), member_(member) {}

    bool start_object(std::size_t) override { return open(obj_type); }
    bool key(string_t& value) override {
        if (depth_ <= 2) key_.swap(value);
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(array_type); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t, const std::string&,
                     const nlohmann::detail::exception& error) override {
        reason_ = error.what();
        return false;
    }

    Value_type top() const { return top_; }
    bool stopped() const { return stopped_; }
    const std::string& reason() const { return reason_; }

private:
    // A value at the depth of the handed members: depth 2 in an array's
    // object, depth 1 in a top-level object.
    bool inMember() const {
        return (top_ == array_type && depth_ == 2 && inObject_) ||
               (top_ == obj_type && depth_ == 1 && member_);
    }
    bool scalar(Value&& value) override {
        if (!inMember()) return true;
        return put(std::move(value));
    }
    bool put(Value&& value) {
        if (top_ == obj_type) {
            if ((*member_)(key_, value)) return true;
            stopped_ = true;
            return false;
        }
        current_[key_] = std::move(value);
        return true;
    }
    bool open(Value_type kind) {
        if (depth_ == 0) top_ = kind;
        if (inMember() && !put(kind == obj_type ? Value(Object()) : Value(Array()))) return false;
        ++depth_;
        if (top_ == array_type && depth_ == 2 && kind == obj_type && element_) {
            inObject_ = true;
            current_.clear();
        }
        return true;
    }
    bool close() {
        --depth_;
        if (top_ == array_type && depth_ == 1 && inObject_) {
            inObject_ = false;
            if (!(*element_)(current_)) {
                stopped_ = true;
                return false;
            }
        }
        return true;
    }

    const Element* element_;
    const Member* member_;
    int depth_ = 0;
    Value_type top_ = null_type;
    bool inObject_ = false;
    bool stopped_ = false;
    std::string key_;
    Object current_;
    std::string reason_;
};

int read_shallow(std::istream& stream, Shallow_Elements& reader, Value_type wanted,
                 std::string* reason) {
    bool parsed = false;
    std::string why;
    try {
        parsed =
            nlohmann::json::sax_parse(stream, &reader, nlohmann::json::input_format_t::json, true);
        why = reader.stopped() ? std::string("stopped") : reader.reason();
    } catch (const std::exception& error) {
        why = error.what();
    }
    if (stream.bad() && why.empty()) why = "the stream could not be read";
    if (!parsed || stream.bad()) {
        if (reason) *reason = why.empty() ? std::string("malformed JSON") : why;
        return -1;
    }
    return reader.top() == wanted ? 1 : 0;
}

}  // namespace

int read_object_array(std::istream& stream, const std::function<bool(const Object&)>& element,
                      std::string* reason) {
    Shallow_Elements reader(&element, nullptr);
    return read_shallow(stream, reader, array_type, reason);
}

int read_object_members(std::istream& stream,
                        const std::function<bool(const std::string&, const Value&)>& member,
                        std::string* reason) {
    Shallow_Elements reader(nullptr, &member);
    return read_shallow(stream, reader, obj_type, reason);
}

namespace {

// Printable ASCII text as the library writes it ('"' and '\\' escaped); false
// (out unfinished) for text with any other byte.
bool write_plain_text(const std::string& text, std::string& out) {
    out += '"';
    for (char c : text) {
        if (c < 0x20 || c > 0x7e) return false;
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    out += '"';
    return true;
}

// The compact text of a value written straight, as the library writes it,
// when it holds no real and no text but printable ASCII (the requests' bodies
// are such); false (out unfinished) for any other value.
bool write_plain(const Value& value, std::string& out) {
    switch (value.type()) {
        case obj_type: {
            out += '{';
            bool first = true;
            for (const auto& [key, member] : value.get_obj()) {
                if (!first) out += ',';
                first = false;
                if (!write_plain_text(key, out)) return false;
                out += ':';
                if (!write_plain(member, out)) return false;
            }
            out += '}';
            return true;
        }
        case array_type: {
            out += '[';
            bool first = true;
            for (const Value& element : value.get_array()) {
                if (!first) out += ',';
                first = false;
                if (!write_plain(element, out)) return false;
            }
            out += ']';
            return true;
        }
        case str_type:
            return write_plain_text(value.get_str(), out);
        case bool_type:
            out += value.get_bool() ? "true" : "false";
            return true;
        case int_type: {
            char digits[24];
            char* end = value.is_uint64()
                            ? std::to_chars(digits, digits + sizeof digits, value.get_uint64()).ptr
                            : std::to_chars(digits, digits + sizeof digits, value.get_int64()).ptr;
            out.append(digits, end);
            return true;
        }
        case null_type:
            out += "null";
            return true;
        case real_type:
            return false;
    }
    return false;
}

}  // namespace

std::string write(const Value& value) {
    std::string out;
    if (write_plain(value, out)) return out;
    return dump(value, -1);
}
void write(const Value& value, std::ostream& stream) { stream << write(value); }
std::string write_formatted(const Value& value) { return dump(value, 4); }
void write_formatted(const Value& value, std::ostream& stream) { stream << write_formatted(value); }

bool object_get(const Object& object, const std::string& key, std::string& out) {
    const Value* value = member(object, key);
    if (!value || value->type() != str_type) return false;
    out = value->get_str();
    return true;
}

bool object_get(const Object& object, const std::string& key, bool& out) {
    const Value* value = member(object, key);
    if (!value || value->type() != bool_type) return false;
    out = value->get_bool();
    return true;
}

bool object_get(const Object& object, const std::string& key, int& out) {
    const Value* value = member(object, key);
    if (!value || value->type() != int_type || value->is_uint64()) return false;
    int64_t number = value->get_int64();
    if (number < INT_MIN || number > INT_MAX) return false;
    out = static_cast<int>(number);
    return true;
}

const std::string& object_get_str_or_throw(const Object& object, const std::string& key) {
    const Value& value = member_or_throw(object, key);
    if (value.type() != str_type)
        throw std::runtime_error("value for name '" + key + "' is not a string");
    return value.get_str();
}

const Array& object_get_array_or_throw(const Object& object, const std::string& key) {
    const Value& value = member_or_throw(object, key);
    if (value.type() != array_type)
        throw std::runtime_error("value for name '" + key + "' is not an array");
    return value.get_array();
}

int object_get_int_or_throw(const Object& object, const std::string& key) {
    int out = 0;
    member_or_throw(object, key);
    if (!object_get(object, key, out))
        throw std::runtime_error("value for name '" + key + "' is not an int");
    return out;
}

int64_t object_get_int64_or_throw(const Object& object, const std::string& key) {
    const Value& value = member_or_throw(object, key);
    if (value.type() != int_type || value.is_uint64())
        throw std::runtime_error("value for name '" + key + "' is not a 64-bit integer");
    return value.get_int64();
}

}  // namespace json_spirit
