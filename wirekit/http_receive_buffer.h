// The reader of a chunked response body.
#pragma once

#include <ace/Message_Block.h>

#include <cstddef>
#include <cstdint>

#include "wirekit/message_block_ptr.h"

class ACE_SOCK_Connector;
class HTTP_Svc_Handler;
template <class SVC_HANDLER, class PEER_CONNECTOR>
class ACE_Strategy_Connector;
template <class Connector, class Handler>
class HTTP_Invoker_T;
using HTTP_Invoker =
    HTTP_Invoker_T<ACE_Strategy_Connector<HTTP_Svc_Handler, ACE_SOCK_Connector>, HTTP_Svc_Handler>;

// Decodes the chunked body of the response now being received by one invoker:
// bytes it buffered (those that came with the head first), then reads from the
// invoker's connection. Without an invoker it decodes bytes in memory only:
// the caller hands them over with feed(), and where a read would be needed
// read_chunked returns what it has delivered, keeping its state for the next
// bytes. Used by one thread at a time.
//
// Bounds, each of which makes the body malformed (CHUNK_ERROR) when passed: a
// chunk size of at most kMaxChunkSize (checked digit by digit, so that it
// cannot wrap), a size line (with its extension and line break) of at most
// kMaxSizeLine bytes and at least one digit, and a sum of chunk sizes of at
// most max_body(), checked when a size line ends, before any of its data.
class HTTP_Receive_Buffer {
public:
    enum Chunk_State {
        CHUNK_SIZE = 0,       // reading the hexadecimal size
        CHUNK_SIZE_LF = 1,    // expecting LF after the size line
        CHUNK_EXTENSION = 2,  // skipping a chunk extension up to CR
        CHUNK_DATA = 3,       // delivering chunk data
        CHUNK_DATA_CR = 4,    // expecting CR after the data
        CHUNK_DATA_LF = 5,    // expecting LF after the data
        CHUNK_ERROR = 6,      // malformed body, or a failed read
        CHUNK_END = 7,        // the last (zero-size) chunk has been read
    };
    static constexpr size_t kBlockSize = 8193;
    static constexpr uint32_t kMaxChunkSize = 64u << 20;
    static constexpr uint32_t kMaxSizeLine = 1024;

    // With a block: shares it (a duplicate), so that its unread bytes are
    // decoded first. Without: a new block of kBlockSize bytes. When the block
    // cannot be had, block() is null (errno ENOMEM) and every read fails.
    // invoker may be null: see above. The body limit starts unbounded.
    HTTP_Receive_Buffer(HTTP_Invoker* invoker, ACE_Message_Block* block = nullptr);
    HTTP_Receive_Buffer(const HTTP_Receive_Buffer&) = delete;
    HTTP_Receive_Buffer& operator=(const HTTP_Receive_Buffer&) = delete;

    // Starts a new body: releases its block and shares the given one, or,
    // given none, rewinds its own (making it when missing); state and
    // counters go to zero, the body limit stays. 0, or -1 (errno ENOMEM)
    // without a block.
    int reset(ACE_Message_Block* block);

    // The longest body accepted (the sum of its chunk sizes), from the next
    // size line on.
    void max_body(uint64_t limit) { maxBody_ = limit; }
    uint64_t max_body() const { return maxBody_; }

    // For a reader without an invoker: appends size bytes to the unread
    // bytes of its block, which grows when they do not fit. 0, or -1 (errno
    // ENOMEM) without memory or a block.
    int feed(const void* data, size_t size);

    // Delivers decoded body bytes into the space of out (from its write
    // pointer, which it advances) and stores their count in *got when given.
    // mode 0: returns as soon as some bytes are delivered and none are
    // buffered, reading from the connection at most once when nothing was
    // delivered yet; other modes: reads until out is full or the body ends,
    // mode 1 first enlarging out to hold the rest of the current chunk
    // whenever it has less space (so that one call gives at least one whole
    // chunk). Result: the bytes delivered (0 when out has no space or the
    // body has ended), or -1 when a read failed (state CHUNK_ERROR, the
    // invoker's error set). A malformed body stops delivery in state
    // CHUNK_ERROR with the count so far; every later call returns -1.
    int read_chunked(ACE_Message_Block& out, size_t* got, int mode);

    int state() const { return state_; }
    // Whether the error state came from a bound above (not from a byte that
    // breaks the encoding).
    bool over_bound() const { return overBound_; }
    uint32_t size() const { return size_; }
    uint32_t count() const { return count_; }
    // The sum of the sizes of the chunks begun so far.
    uint64_t total() const { return total_; }
    ACE_Message_Block* block() const { return block_.get(); }

private:
    // Takes one byte of a size line or of a data end through the state machine.
    void step(char c);

    HTTP_Invoker* invoker_;
    int state_ = CHUNK_SIZE;
    uint32_t size_ = 0;   // of the current chunk
    uint32_t count_ = 0;  // bytes of the current chunk delivered
    Message_Block_Ptr block_;
    uint32_t line_ = 0;    // bytes of the current size line
    bool digits_ = false;  // the current size line has a digit
    uint64_t total_ = 0;
    uint64_t maxBody_ = UINT64_MAX;
    bool overBound_ = false;
};
