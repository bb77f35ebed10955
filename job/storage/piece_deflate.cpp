#include "job/storage/piece_deflate.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

namespace {

constexpr int kLevel = 6;
constexpr int kRawWindowBits = -15;  // raw deflate: the header and trailer are ours
constexpr int kMemLevel = 8;

// A deflater of the calling thread, made at its first piece and kept for the
// thread's life: each piece starts it over.
class ThreadDeflater {
public:
    ThreadDeflater() {
        ready_ = deflateInit2(&stream_, kLevel, Z_DEFLATED, kRawWindowBits, kMemLevel,
                              Z_DEFAULT_STRATEGY) == Z_OK;
    }
    ~ThreadDeflater() {
        if (ready_) deflateEnd(&stream_);
    }
    ThreadDeflater(const ThreadDeflater&) = delete;
    ThreadDeflater& operator=(const ThreadDeflater&) = delete;

    // Compresses size bytes at data, primed with the dictionary bytes before
    // them, into out (replaced): ended by a sync flush, or the stream's end
    // when last. False for want of memory.
    bool compress(const uint8_t* dictionary, size_t dictionarySize, const uint8_t* data,
                  size_t size, bool last, std::vector<uint8_t>& out) {
        if (!ready_ || deflateReset(&stream_) != Z_OK) return false;
        if (dictionarySize &&
            deflateSetDictionary(&stream_, dictionary, static_cast<uInt>(dictionarySize)) != Z_OK)
            return false;
        out.resize(deflateBound(&stream_, static_cast<uLong>(size)) + 64);
        stream_.next_in = const_cast<Bytef*>(data);
        stream_.avail_in = static_cast<uInt>(size);
        size_t made = 0;
        for (;;) {
            stream_.next_out = out.data() + made;
            stream_.avail_out = static_cast<uInt>(out.size() - made);
            int result = deflate(&stream_, last ? Z_FINISH : Z_SYNC_FLUSH);
            made = out.size() - stream_.avail_out;
            if (result == Z_STREAM_ERROR) return false;
            bool done =
                last ? result == Z_STREAM_END : stream_.avail_in == 0 && stream_.avail_out != 0;
            if (done) break;
            out.resize(out.size() * 2);
        }
        out.resize(made);
        return true;
    }

private:
    z_stream stream_{};
    bool ready_ = false;
};

ThreadDeflater& thread_deflater() {
    thread_local ThreadDeflater deflater;
    return deflater;
}

}  // namespace

// A piece's buffer holds its dictionary, then its data; its task fills out.
struct PieceDeflate::Piece {
    std::unique_ptr<uint8_t[]> buffer{new uint8_t[kDictionaryBytes + kPieceBytes]};
    size_t dictionary = 0;
    size_t size = 0;
    bool last = false;
    uint64_t ticket = 0;
    // Written by the task, read once it has ended.
    bool compressed = false;
    uint32_t adler = 0;
    std::vector<uint8_t> out;

    uint8_t* data() { return buffer.get() + kDictionaryBytes; }
};

PieceDeflate::PieceDeflate(AheadPool& pool, Sink sink) : pool_(pool), sink_(std::move(sink)) {
    dictionary_.reserve(kDictionaryBytes);
}

PieceDeflate::~PieceDeflate() {
    for (auto& piece : out_) pool_.wait(piece->ticket);
}

uint8_t* PieceDeflate::next() {
    if (!filling_) {
        if (free_.empty()) {
            filling_ = std::make_unique<Piece>();
        } else {
            filling_ = std::move(free_.back());
            free_.pop_back();
        }
    }
    return filling_->data();
}

void PieceDeflate::post(size_t size, bool last) {
    next();
    std::unique_ptr<Piece> piece = std::move(filling_);
    piece->size = std::min(size, kPieceBytes);
    piece->last = last;
    piece->compressed = false;
    piece->dictionary = dictionary_.size();
    std::memcpy(piece->data() - piece->dictionary, dictionary_.data(), dictionary_.size());
    // The next piece's dictionary: the last 32 KiB of the data so far.
    const uint8_t* end = piece->data() + piece->size;
    size_t keep = std::min(kDictionaryBytes, piece->dictionary + piece->size);
    dictionary_.assign(end - keep, end);
    Piece* slot = piece.get();
    piece->ticket = pool_.post([slot](unsigned) {
        slot->compressed =
            thread_deflater().compress(slot->data() - slot->dictionary, slot->dictionary,
                                       slot->data(), slot->size, slot->last, slot->out);
        slot->adler =
            static_cast<uint32_t>(adler32(1, slot->data(), static_cast<uInt>(slot->size)));
    });
    out_.push_back(std::move(piece));
    lastPosted_ = last;
    while (out_.size() > kPiecesOut) handOut();
}

void PieceDeflate::handOut() {
    std::unique_ptr<Piece> piece = std::move(out_.front());
    out_.pop_front();
    bool ran = pool_.wait(piece->ticket);
    if (!ran || !piece->compressed) throw std::bad_alloc();
    if (!headerOut_) {
        // CMF: deflate with a 32 KiB window; FLG: the default level, no
        // dictionary, and the check bits that make the pair a multiple of 31.
        static const uint8_t header[2] = {0x78, 0x9c};
        headerOut_ = true;
        sink_(header, sizeof header);
    }
    adler_ = static_cast<uint32_t>(
        adler32_combine(adler_, piece->adler, static_cast<z_off_t>(piece->size)));
    sink_(piece->out.data(), piece->out.size());
    piece->out.clear();
    free_.push_back(std::move(piece));
}

void PieceDeflate::finish() {
    if (!lastPosted_) post(0, true);
    while (!out_.empty()) handOut();
    const uint8_t trailer[4] = {static_cast<uint8_t>(adler_ >> 24),
                                static_cast<uint8_t>(adler_ >> 16),
                                static_cast<uint8_t>(adler_ >> 8), static_cast<uint8_t>(adler_)};
    sink_(trailer, sizeof trailer);
    free_.clear();
}
