// Finds the top-level JSON objects in a stream of bytes that arrives in reads
// of any size, such as the job event stream: it cuts each read into pieces
// that end where an object ends, so that every object can be taken on its
// own, however the reads split it or join it to the next.
//
// The scanner keeps all its state in the caller's scope stack, so that it
// carries over from one read to the next: one '{' per object now open, then
// '"' while inside a string, then '\\' right after a back-slash inside a
// string (the next byte is escaped, whatever it is). Braces and quotes inside
// strings therefore change nothing, and an escaped back-slash before a quote
// does not hide the quote. Bytes outside objects (white space between
// events, a stray '}') belong to no piece. It does not check that an object
// is well-formed JSON; the reader of the cut text does.
//
// Not thread-safe; used by one thread at a time with its stack.
#pragma once

#include <cstddef>
#include <deque>

class JsonStreamScanner {
public:
    // Objects nested deeper than this are not followed.
    static constexpr size_t kMaxDepth = 256;

    // The bytes of one object found by next(), or of the part of it that
    // this read holds.
    struct Piece {
        const char* data = nullptr;
        size_t size = 0;       // 0: the bytes scanned were outside any object
        bool opens = false;    // begins with the '{' that opens a top-level object
        bool closes = false;   // ends with the '}' that closes it
        bool tooDeep = false;  // nesting passed kMaxDepth: the stream cannot be followed
    };

    // Does not own scopes; it must outlive the scanner.
    explicit JsonStreamScanner(std::deque<char>& scopes) : scopes_(scopes) {}

    // Scans data[0, size) up to the end of the first top-level object that
    // closes in it, or to its end; fills piece and returns the bytes scanned
    // (above 0 for a size above 0, except with tooDeep). With tooDeep the
    // scopes are left as they were at the offending '{'; the caller drops the
    // stream.
    size_t next(const char* data, size_t size, Piece& piece);

    // Whether an object is open (its end has not come yet).
    bool inside() const { return !scopes_.empty(); }

private:
    std::deque<char>& scopes_;
};
