// The messages of the remote service's requests: an HTTP head with a body of
// one of the body kinds (JSON, text, the multipart block upload, the block
// download), each with the way it goes out on an invoker or comes in from a
// stream. A message belongs to the command that holds it; one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <istream>
#include <string>
#include <vector>

#include "common/json.h"
#include "wirekit/http_invoker.h"
#include "wirekit/http_message.h"
#include "wirekit/http_stream.h"

// The body of one block upload: a multipart form around the block's bytes,
// which stay in the caller's buffer (they are not copied).
class FBuffer {
public:
    // The text before the block (the form's fields and the file part's head).
    std::string head;
    // The text after it (the submit field and the closing boundary).
    std::string tail;
    const void* data = nullptr;  // not owned
    uint64_t size = 0;

    uint64_t length() const { return head.size() + size + tail.size(); }
};

// A request body made piece by piece while it is sent, for a text too large
// to be held whole (the increment check's list of a large tree). Its length
// is known before it is sent; every send (a retried exchange sends it again)
// starts it over with rewind.
class Body_Source {
public:
    uint64_t length = 0;
    // Starts the text over; false (with the last error set) when it cannot.
    std::function<bool()> rewind;
    // Puts the next piece of the text into piece (emptied first); an empty
    // piece ends the text. False (with the last error set) when the piece
    // cannot be made.
    std::function<bool(std::string& piece)> next;

    // A body of one text held whole.
    static Body_Source of(std::string text);
};

// The body of one block download: the block's MD5 text followed by its bytes,
// read whole into a buffer that grows and is never shrunk.
class Download_Data_Type {
public:
    Download_Data_Type() = default;
    ~Download_Data_Type() = default;
    Download_Data_Type(const Download_Data_Type&) = delete;
    Download_Data_Type& operator=(const Download_Data_Type&) = delete;

    const uint8_t* data() const { return buffer_.data(); }
    size_t size() const { return size_; }
    size_t capacity() const { return buffer_.size(); }
    // Makes room for a body of `length` bytes (one more is kept) and returns
    // where it goes; the size is 0 until commit.
    uint8_t* reserve(uint64_t length);
    void commit(size_t size) { size_ = size; }

private:
    std::vector<uint8_t> buffer_;
    size_t size_ = 0;
};

// A response body handed to a reader as it arrives, for a reply too large to
// be held whole (a run's tree). The reader gets the body of a 2xx reply as a
// stream and need not read it to its end (the rest is read and dropped); the
// body of any other reply is kept as text, for the caller to pass on. A
// retried or resent exchange hands the new reply to the reader again, which
// then starts over.
class Streamed_Body {
public:
    std::function<void(std::istream& in)> reader;
    std::string text;
};

template <class Head, class Body>
class Message_T : public Head {
public:
    Message_T() = default;
    Message_T(const Message_T&) = delete;
    Message_T& operator=(const Message_T&) = delete;
    virtual ~Message_T() = default;

    Body& body() { return body_; }
    const Body& body() const { return body_; }

protected:
    Body body_{};
};

// A request of the agent: version 1.1, kept alive, marked as the agent's.
template <class Body>
class Request_T : public Message_T<HTTP_Request, Body> {
public:
    Request_T();

    // Sends the head and the body; the result of the last send, or -1.
    int send(HTTP_Invoker& invoker);

    // True once the filling of the request refused an argument: such a
    // request is never sent.
    bool refused() const { return refused_; }

    // The longest reply body this request's kind accepts (0: the
    // connection's default bound); a longer one fails the exchange.
    uint64_t reply_bound() const { return replyBound_; }
    void reply_bound(uint64_t bound) { replyBound_ = bound; }
    // About how many reply bytes the exchange is expected to carry, for its
    // deadline (with the request body's length).
    uint64_t expected_reply() const { return expectedReply_; }
    void expected_reply(uint64_t bytes) { expectedReply_ = bytes; }
    // The request body's length when it is known before sending (0 else).
    uint64_t body_size() const;

protected:
    bool refused_ = false;
    uint64_t replyBound_ = 0;
    uint64_t expectedReply_ = 0;
};

template <class Body>
class Response_T : public Message_T<HTTP_Response, Body> {
public:
    // Reads the body from the response's stream. 0 on success (also for a
    // JSON reply that is not JSON: the body stays null and a warning is
    // logged); -1 when the stream failed, with the last error set.
    int read(std::istream& in);
};

// The value written in header slot 45 of every request of the agent.
inline constexpr const char kAgentMark[] = "agenttoweb";
// Header slot numbers of the message table that the agent relies on.
inline constexpr int kHeaderCookie = 14;
inline constexpr int kHeaderHost = 19;
inline constexpr int kHeaderLocation = 23;
inline constexpr int kHeaderSetCookie = 43;
inline constexpr int kHeaderAgent = 45;
// The method of every request of the agent: one that carries a body.
inline constexpr int kMethodWithBody = 4;

template <class Body>
Request_T<Body>::Request_T() {
    this->method(-1);
    this->keep_alive(true);
    this->headers().put(kHeaderAgent, kAgentMark);
}

// Sends a text body with its head: Content-Length, then one body send. The
// body never goes out chunked (a Transfer-Encoding of the request is taken
// off).
int send_text_body(HTTP_Invoker& invoker, HTTP_Request& request, const std::string& text);

template <>
inline uint64_t Request_T<json_spirit::Value>::body_size() const {
    return 0;  // written when sent; the bodies of this kind are small
}
template <>
inline uint64_t Request_T<std::string>::body_size() const {
    return body_.size();
}
template <>
inline uint64_t Request_T<FBuffer>::body_size() const {
    return body_.length();
}
template <>
inline uint64_t Request_T<Body_Source>::body_size() const {
    return body_.length;
}

template <>
inline int Request_T<json_spirit::Value>::send(HTTP_Invoker& invoker) {
    std::string text = body_.is_null() ? std::string() : json_spirit::write(body_);
    return send_text_body(invoker, *this, text);
}

template <>
inline int Request_T<std::string>::send(HTTP_Invoker& invoker) {
    return send_text_body(invoker, *this, body_);
}

template <>
int Request_T<FBuffer>::send(HTTP_Invoker& invoker);
// Sends the head with the body's length, then the pieces as they are made:
// -1 when a piece cannot be made (its last error stays) or the pieces do not
// add up to the length (13).
template <>
int Request_T<Body_Source>::send(HTTP_Invoker& invoker);

template <>
int Response_T<json_spirit::Value>::read(std::istream& in);
template <>
int Response_T<std::string>::read(std::istream& in);
template <>
int Response_T<Streamed_Body>::read(std::istream& in);
// Reads exactly Content-Length bytes; a short body leaves the size 0 (-1).
template <>
int Response_T<Download_Data_Type>::read(std::istream& in);
