// An input stream over a text that it neither owns nor copies, for the readers that take a
// stream when the text is at hand whole. The text must outlive the stream and not change.
#pragma once

#include <istream>
#include <streambuf>
#include <string>

class TextIstream : public std::istream {
public:
    explicit TextIstream(const std::string& text) : std::istream(nullptr), buffer_(text) {
        rdbuf(&buffer_);
    }

private:
    class Buffer : public std::streambuf {
    public:
        explicit Buffer(const std::string& text) {
            char* begin = const_cast<char*>(text.data());
            setg(begin, begin, begin + text.size());
        }
    };
    Buffer buffer_;
};
