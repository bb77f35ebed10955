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

// A piece whose three samples of kSampleBytes (at its start, middle and end)
// each save less than one part in kSavingShare at level 1 is taken for data
// that does not compress (noise, media, archives): it is stored in stored
// blocks, which any inflater reads as it reads compressed ones, at a fraction
// of the cost of level 6 finding nothing.
constexpr size_t kSampleBytes = 8 * 1024;
constexpr size_t kSavingShare = 32;

// The deflaters of the calling thread, made at its first piece and kept for
// the thread's life: each piece starts them over.
class ThreadDeflater {
public:
    ThreadDeflater() {
        ready_ = init(stream_, kLevel) && init(store_, 0) && init(probe_, 1);
        sample_.resize(deflateBound(&probe_, kSampleBytes) + 64);
    }
    ~ThreadDeflater() {
        for (z_stream* stream : {&stream_, &store_, &probe_})
            if (stream->state) deflateEnd(stream);
    }
    ThreadDeflater(const ThreadDeflater&) = delete;
    ThreadDeflater& operator=(const ThreadDeflater&) = delete;

    // Compresses size bytes at data, primed with the dictionary bytes before
    // them, into out (replaced): ended by a sync flush, or the stream's end
    // when last. False for want of memory.
    bool compress(const uint8_t* dictionary, size_t dictionarySize, const uint8_t* data,
                  size_t size, bool last, std::vector<uint8_t>& out) {
        if (!ready_) return false;
        bool stored = false;
        if (!incompressible(data, size, stored)) return false;
        z_stream& stream = stored ? store_ : stream_;
        if (deflateReset(&stream) != Z_OK) return false;
        if (!stored && dictionarySize &&
            deflateSetDictionary(&stream, dictionary, static_cast<uInt>(dictionarySize)) != Z_OK)
            return false;
        out.resize(deflateBound(&stream, static_cast<uLong>(size)) + 64);
        stream.next_in = const_cast<Bytef*>(data);
        stream.avail_in = static_cast<uInt>(size);
        size_t made = 0;
        for (;;) {
            stream.next_out = out.data() + made;
            stream.avail_out = static_cast<uInt>(out.size() - made);
            int result = deflate(&stream, last ? Z_FINISH : Z_SYNC_FLUSH);
            made = out.size() - stream.avail_out;
            if (result == Z_STREAM_ERROR) return false;
            bool done =
                last ? result == Z_STREAM_END : stream.avail_in == 0 && stream.avail_out != 0;
            if (done) break;
            out.resize(out.size() * 2);
        }
        out.resize(made);
        return true;
    }

private:
    static bool init(z_stream& stream, int level) {
        return deflateInit2(&stream, level, Z_DEFLATED, kRawWindowBits, kMemLevel,
                            Z_DEFAULT_STRATEGY) == Z_OK;
    }

    // Whether the piece is taken for data that does not compress (see
    // kSampleBytes); false for want of memory.
    bool incompressible(const uint8_t* data, size_t size, bool& result) {
        result = false;
        if (size < 4 * kSampleBytes) return true;
        for (size_t at : {size_t{0}, (size - kSampleBytes) / 2, size - kSampleBytes}) {
            if (deflateReset(&probe_) != Z_OK) return false;
            probe_.next_in = const_cast<Bytef*>(data + at);
            probe_.avail_in = static_cast<uInt>(kSampleBytes);
            probe_.next_out = sample_.data();
            probe_.avail_out = static_cast<uInt>(sample_.size());
            if (deflate(&probe_, Z_FINISH) != Z_STREAM_END) return false;
            size_t made = sample_.size() - probe_.avail_out;
            if (made < kSampleBytes - kSampleBytes / kSavingShare) return true;
        }
        result = true;
        return true;
    }

    z_stream stream_{};  // level 6
    z_stream store_{};   // level 0: stored blocks
    z_stream probe_{};   // level 1, for the samples
    std::vector<uint8_t> sample_;
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
