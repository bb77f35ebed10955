// A response body read as a std::istream.
#pragma once

#include <cstddef>
#include <istream>
#include <streambuf>

#include "wirekit/http_invoker.h"
#include "wirekit/message_block_ptr.h"

// The get area is its own block of Size bytes, refilled from the invoker's
// recv_body (mode 0). The stream ends when the body is complete or a receive
// fails (the invoker's state and error tell which). Does not own the
// invoker; used on the invoker's thread.
template <class Invoker, size_t Size = 8192>
class HTTP_Input_Streambuf_T : public std::streambuf {
public:
    // Without memory for the block the stream ends at once (errno ENOMEM).
    explicit HTTP_Input_Streambuf_T(Invoker& invoker)
        : invoker_(invoker), block_(make_message_block(Size)) {}
    HTTP_Input_Streambuf_T(const HTTP_Input_Streambuf_T&) = delete;
    HTTP_Input_Streambuf_T& operator=(const HTTP_Input_Streambuf_T&) = delete;

protected:
    int_type underflow() override {
        if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
        if (!block_) return traits_type::eof();
        block_->reset();
        size_t got = 0;
        if (invoker_.recv_body(*block_, &got, 0) < 1) return traits_type::eof();
        setg(block_->rd_ptr(), block_->rd_ptr(), block_->wr_ptr());
        return traits_type::to_int_type(*gptr());
    }

private:
    Invoker& invoker_;
    Message_Block_Ptr block_;
};

template <class Invoker, size_t Size = 8192>
class HTTP_Input_Stream_T : public std::istream {
public:
    explicit HTTP_Input_Stream_T(Invoker& invoker) : std::istream(nullptr), buffer_(invoker) {
        rdbuf(&buffer_);
    }

private:
    HTTP_Input_Streambuf_T<Invoker, Size> buffer_;
};

// The stream over the system's invoker.
using HTTP_Input_Stream = HTTP_Input_Stream_T<HTTP_Invoker>;
