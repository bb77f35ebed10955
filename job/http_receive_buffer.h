// The reader of a chunked response body.
#pragma once

#include <ace/Message_Block.h>

#include <cstddef>
#include <cstdint>

#include "job/message_block_ptr.h"

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
// invoker's connection. Used by that invoker's thread only.
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

    // With a block: shares it (a duplicate), so that its unread bytes are
    // decoded first. Without: a new block of kBlockSize bytes. When the block
    // cannot be had, block() is null (errno ENOMEM) and every read fails.
    HTTP_Receive_Buffer(HTTP_Invoker* invoker, ACE_Message_Block* block = nullptr);
    HTTP_Receive_Buffer(const HTTP_Receive_Buffer&) = delete;
    HTTP_Receive_Buffer& operator=(const HTTP_Receive_Buffer&) = delete;

    // Starts a new body: releases its block and shares the given one, or,
    // given none, rewinds its own (making it when missing); state and
    // counters go to zero. 0, or -1 (errno ENOMEM) without a block.
    int reset(ACE_Message_Block* block);

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
    uint32_t size() const { return size_; }
    uint32_t count() const { return count_; }
    ACE_Message_Block* block() const { return block_.get(); }

private:
    // Takes one byte of a size line or of a data end through the state machine.
    void step(char c);

    HTTP_Invoker* invoker_;
    int state_ = CHUNK_SIZE;
    uint32_t size_ = 0;   // of the current chunk
    uint32_t count_ = 0;  // bytes of the current chunk delivered
    Message_Block_Ptr block_;
};
