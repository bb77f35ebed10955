// Ownership of ACE message blocks.
#pragma once

#include <ace/Message_Block.h>

#include <cerrno>
#include <cstddef>
#include <memory>
#include <new>

struct Message_Block_Release {
    void operator()(ACE_Message_Block* block) const {
        if (block) block->release();
    }
};

// Holds one reference to a block; releasing it frees the block with its
// last reference.
using Message_Block_Ptr = std::unique_ptr<ACE_Message_Block, Message_Block_Release>;

// A new block of size bytes; null, with errno ENOMEM, when it cannot be made.
inline Message_Block_Ptr make_message_block(size_t size) {
    Message_Block_Ptr block(new (std::nothrow) ACE_Message_Block(size));
    if (!block || !block->base()) {
        errno = ENOMEM;
        return nullptr;
    }
    return block;
}

// A duplicate of block (a new reference to its data); null, with errno ENOMEM,
// when it cannot be made.
inline Message_Block_Ptr duplicate_message_block(ACE_Message_Block& block) {
    Message_Block_Ptr copy(block.duplicate());
    if (!copy) errno = ENOMEM;
    return copy;
}
