#include "wirekit/http_receive_buffer.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "wirekit/http_invoker.h"
#include "wirekit/http_tables.h"

HTTP_Receive_Buffer::HTTP_Receive_Buffer(HTTP_Invoker* invoker, ACE_Message_Block* block)
    : invoker_(invoker) {
    block_ = block ? duplicate_message_block(*block) : make_message_block(kBlockSize);
}

int HTTP_Receive_Buffer::reset(ACE_Message_Block* block) {
    state_ = CHUNK_SIZE;
    size_ = 0;
    count_ = 0;
    line_ = 0;
    digits_ = false;
    total_ = 0;
    overBound_ = false;
    if (block) {
        block_ = duplicate_message_block(*block);
    } else if (block_) {
        block_->reset();
    } else {
        block_ = make_message_block(kBlockSize);
    }
    return block_ ? 0 : -1;
}

int HTTP_Receive_Buffer::feed(const void* data, size_t size) {
    if (!block_) {
        errno = ENOMEM;
        return -1;
    }
    block_->crunch();
    if (block_->space() < size && block_->size(block_->length() + size) != 0) {
        errno = ENOMEM;
        return -1;
    }
    block_->copy(static_cast<const char*>(data), size);
    return 0;
}

void HTTP_Receive_Buffer::step(char c) {
    if ((state_ == CHUNK_SIZE || state_ == CHUNK_EXTENSION || state_ == CHUNK_SIZE_LF) &&
        ++line_ > kMaxSizeLine) {
        state_ = CHUNK_ERROR;
        overBound_ = true;
        return;
    }
    switch (state_) {
        case CHUNK_SIZE: {
            int digit = hex_digit(c);
            if (digit >= 0) {
                uint32_t value = static_cast<uint32_t>(digit);
                if (size_ > (kMaxChunkSize - value) / 16) {
                    state_ = CHUNK_ERROR;
                    overBound_ = true;
                } else {
                    size_ = size_ * 16 + value;
                    digits_ = true;
                }
            } else if (!digits_) {
                state_ = CHUNK_ERROR;
            } else if (c == '\r') {
                state_ = CHUNK_SIZE_LF;
            } else if (c == ';') {
                state_ = CHUNK_EXTENSION;
            } else {
                state_ = CHUNK_ERROR;
            }
            break;
        }
        case CHUNK_SIZE_LF:
            if (c != '\n') {
                state_ = CHUNK_ERROR;
            } else if (total_ > maxBody_ || size_ > maxBody_ - total_) {
                state_ = CHUNK_ERROR;
                overBound_ = true;
            } else {
                total_ += size_;
                state_ = CHUNK_DATA;
            }
            break;
        case CHUNK_EXTENSION:
            if (c == '\r') state_ = CHUNK_SIZE_LF;
            break;
        case CHUNK_DATA_CR:
            state_ = c == '\r' ? CHUNK_DATA_LF : CHUNK_ERROR;
            break;
        case CHUNK_DATA_LF:
            if (c != '\n') {
                state_ = CHUNK_ERROR;
            } else if (size_ == 0) {
                state_ = CHUNK_END;
            } else {
                state_ = CHUNK_SIZE;
                size_ = 0;
                count_ = 0;
                line_ = 0;
                digits_ = false;
            }
            break;
        default:
            break;
    }
}

int HTTP_Receive_Buffer::read_chunked(ACE_Message_Block& out, size_t* got, int mode) {
    size_t delivered = 0;
    auto finish = [&](int result) {
        if (got) *got = delivered;
        return result;
    };
    if (state_ == CHUNK_ERROR || !block_) {
        state_ = CHUNK_ERROR;
        return finish(-1);
    }
    while (state_ != CHUNK_END && state_ != CHUNK_ERROR) {
        if (state_ != CHUNK_DATA) {
            if (block_->length() == 0) {
                // Never wait with a full out; hand over what is there first.
                if (out.space() == 0 || (delivered > 0 && mode == 0)) break;
                block_->reset();
                if (!invoker_) break;  // in memory: wait for the next bytes
                int n = invoker_->recv(block_->wr_ptr(), block_->space());
                if (n < 1) {
                    state_ = CHUNK_ERROR;
                    return finish(-1);
                }
                block_->wr_ptr(static_cast<size_t>(n));
            }
            step(*block_->rd_ptr());
            block_->rd_ptr(1);
            continue;
        }
        size_t rest = size_ - count_;
        if (rest == 0) {
            state_ = CHUNK_DATA_CR;
            continue;
        }
        if (mode == 1 && out.space() < rest) {
            size_t used = static_cast<size_t>(out.wr_ptr() - out.base());
            if (out.size(used + rest) != 0) {
                errno = ENOMEM;
                state_ = CHUNK_ERROR;
                return finish(-1);
            }
        }
        if (out.space() == 0) break;
        size_t n = std::min({block_->length(), out.space(), rest});
        std::memcpy(out.wr_ptr(), block_->rd_ptr(), n);
        out.wr_ptr(n);
        block_->rd_ptr(n);
        count_ += static_cast<uint32_t>(n);
        delivered += n;
        rest -= n;
        if (rest > 0 && out.space() > 0 && block_->length() == 0) {
            if ((delivered > 0 && mode == 0) || !invoker_) break;
            size_t wanted = std::min({out.space(), rest, static_cast<size_t>(INT_MAX)});
            int read = mode != 0 ? invoker_->recv_n(out.wr_ptr(), wanted)
                                 : invoker_->recv(out.wr_ptr(), wanted);
            if (read < 1) {
                state_ = CHUNK_ERROR;
                return finish(-1);
            }
            out.wr_ptr(static_cast<size_t>(read));
            count_ += static_cast<uint32_t>(read);
            delivered += static_cast<size_t>(read);
            if (count_ == size_) state_ = CHUNK_DATA_CR;
            if (mode == 0) break;
            continue;
        }
        if (count_ == size_) state_ = CHUNK_DATA_CR;
        if (out.space() == 0) break;
    }
    return finish(static_cast<int>(std::min<size_t>(delivered, INT_MAX)));
}
