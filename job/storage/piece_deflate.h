// One zlib stream (deflate at level 6, a 32 KiB window) made of pieces that
// the threads of a pool compress side by side. Each piece is compressed with
// the 32 KiB of data before it as its dictionary and ends on a byte boundary
// with an empty stored block (a sync flush); the last one ends the stream.
// Put end to end, after the two-byte header and before the Adler-32 of the
// whole data, they are one valid zlib stream that any inflater reads as it
// reads one made at once: only the places where blocks end differ.
// A piece that samples show not to compress (noise, media, archives) is
// stored in stored blocks instead, which costs a copy rather than a search.
//
// The owner fills the pieces in order (next(), post()) and the compressed
// bytes reach its sink in the stream's order, on the owner's thread, as the
// pieces are done: at most kPiecesOut pieces are out at a time, so the memory
// a stream takes does not grow with the file or the pool's threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "job/storage/ahead_pool.h"

class PieceDeflate {
public:
    // Takes the stream's bytes in order; may throw, which post() and finish()
    // let through (the pieces out are then waited for by the destructor).
    using Sink = std::function<void(const uint8_t* data, size_t size)>;

    static constexpr size_t kPieceBytes = 512 * 1024;
    static constexpr size_t kDictionaryBytes = 32 * 1024;
    static constexpr size_t kPiecesOut = 16;

    // Neither is owned; the pool outlives the stream. No task of the pool may
    // wait for this stream.
    PieceDeflate(AheadPool& pool, Sink sink);
    // Waits for the pieces still out (their tasks use this object's memory).
    ~PieceDeflate();
    PieceDeflate(const PieceDeflate&) = delete;
    PieceDeflate& operator=(const PieceDeflate&) = delete;

    // Where the next piece's bytes go: room for kPieceBytes.
    uint8_t* next();
    // The next piece holds size bytes (at most kPieceBytes); last: the data
    // end with it. Hands the oldest pieces to the sink first while
    // kPiecesOut are out. Throws std::bad_alloc when a piece could not be
    // compressed for want of memory, and what the sink throws.
    void post(size_t size, bool last);
    // Hands every piece out, then the stream's trailer (an empty data is
    // posted as the last piece when none was). Throws as post().
    void finish();

private:
    struct Piece;
    void handOut();

    AheadPool& pool_;
    Sink sink_;
    std::deque<std::unique_ptr<Piece>> out_;    // posted, in the stream's order
    std::vector<std::unique_ptr<Piece>> free_;  // buffers to fill again
    std::unique_ptr<Piece> filling_;            // handed out by next()
    std::vector<uint8_t> dictionary_;           // the data's last bytes so far
    bool headerOut_ = false;
    bool lastPosted_ = false;
    uint32_t adler_ = 1;
};
