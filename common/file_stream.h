// Standard streams whose buffers sit directly on Win32 file handles, and the
// interrupter that a long read asks whether to stop. A stream and its buffer
// belong to one thread; interrupted() runs on the reading thread.
#pragma once

#include <istream>
#include <ostream>
#include <stdexcept>
#include <streambuf>

#include "platform/win32.h"

// Asked by a reading stream whether to stop: once per 2 MiB read, once per
// 1 MiB by a wide stream.
class interrupter {
public:
    virtual ~interrupter() = default;
    virtual bool interrupted() = 0;
};

// Thrown by a read buffer when ReadFile fails in mid-file, so that the reader
// sees a failure (the stream's badbit, or this exception when the stream's
// exceptions include badbit) instead of a premature end. The thread's last
// error holds the code.
class win32_read_error : public std::runtime_error {
public:
    explicit win32_read_error(DWORD code) : std::runtime_error("read failed"), code_(code) {}
    DWORD code() const { return code_; }

private:
    DWORD code_;
};

template <class Char, size_t Size = 8192>
class basic_write_handle_streambuf : public std::basic_streambuf<Char> {
public:
    using traits = typename std::basic_streambuf<Char>::traits_type;
    using int_type = typename traits::int_type;

    basic_write_handle_streambuf(HANDLE handle, bool owns) : owns_(owns), handle_(handle) {
        this->setp(buffer_, buffer_ + Size - 1);
    }
    // Flushes (a failure is not reported), then closes an owned handle.
    ~basic_write_handle_streambuf() override {
        sync();
        if (owns_ && handle_ && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }
    basic_write_handle_streambuf(const basic_write_handle_streambuf&) = delete;
    basic_write_handle_streambuf& operator=(const basic_write_handle_streambuf&) = delete;

protected:
    // Writes every pending unit. On a failure the units that reached the file
    // are dropped from the buffer, so that a later flush does not write them
    // twice, and the result is -1.
    int sync() override {
        Char* begin = this->pbase();
        size_t pending = static_cast<size_t>(this->pptr() - begin);
        size_t done = 0;
        while (done < pending) {
            DWORD written = 0;
            DWORD bytes = static_cast<DWORD>((pending - done) * sizeof(Char));
            BOOL ok = WriteFile(handle_, begin + done, bytes, &written, nullptr);
            done += written / sizeof(Char);
            if (!ok || written == 0) {
                // Keep the rest at the front. A full buffer that could not be
                // written at all leaves no free unit, so the put area then
                // spans the whole buffer (overflow writes before it stores).
                size_t rest = pending - done;
                traits::move(buffer_, begin + done, rest);
                this->setp(buffer_, buffer_ + (rest < Size ? Size - 1 : Size));
                this->pbump(static_cast<int>(rest));
                return -1;
            }
        }
        this->setp(buffer_, buffer_ + Size - 1);
        return 0;
    }

    // A failure returns eof with c not taken: the buffer then holds exactly
    // the units that the stream accepted and that have not reached the file.
    int_type overflow(int_type c) override {
        if (traits::eq_int_type(c, traits::eof())) {
            return sync() == 0 ? traits::not_eof(c) : traits::eof();
        }
        if (this->pptr() < buffer_ + Size) {  // the last unit is free
            *this->pptr() = traits::to_char_type(c);
            this->pbump(1);
            if (sync() == 0) return c;
            // c is the last unit that is still pending; a write that fails
            // after it reached the file leaves it there.
            if (this->pptr() > this->pbase()) this->pbump(-1);
            return traits::eof();
        }
        if (sync() != 0) return traits::eof();
        *this->pptr() = traits::to_char_type(c);
        this->pbump(1);
        return c;
    }

private:
    bool owns_;
    HANDLE handle_;
    Char buffer_[Size];
};

template <class Char, size_t Size = 8192>
class basic_read_handle_streambuf : public std::basic_streambuf<Char> {
public:
    using traits = typename std::basic_streambuf<Char>::traits_type;
    using int_type = typename traits::int_type;

    // The interrupter is asked after every kCheckEvery counted bytes. A wide
    // read counts each byte twice (as for 16-bit units, whatever the width of
    // wchar_t), so that it asks once per 1 MiB of file.
    static constexpr unsigned kCheckEvery = 0x200000;
    static constexpr unsigned kUnitWeight = sizeof(Char) == 1 ? 1 : 2;

    basic_read_handle_streambuf(HANDLE handle, bool owns, interrupter* check)
        : owns_(owns), handle_(handle), check_(check) {
        this->setg(buffer_, buffer_, buffer_);
    }
    ~basic_read_handle_streambuf() override {
        if (owns_ && handle_ && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
        owns_ = false;
        this->setg(buffer_, buffer_, buffer_);
    }
    basic_read_handle_streambuf(const basic_read_handle_streambuf&) = delete;
    basic_read_handle_streambuf& operator=(const basic_read_handle_streambuf&) = delete;

protected:
    // Throws the text "interrupt" (last error 1223) when the interrupter asks
    // to stop, and win32_read_error when the read fails; 0 bytes is the end.
    int_type underflow() override {
        if (this->gptr() < this->egptr()) return traits::to_int_type(*this->gptr());
        if (counted_ >= kCheckEvery) {
            counted_ = 0;
            if (check_ && check_->interrupted()) {
                SetLastError(ERROR_CANCELLED);
                throw static_cast<const char*>("interrupt");
            }
        }
        DWORD read = 0;
        if (!ReadFile(handle_, buffer_, static_cast<DWORD>(sizeof buffer_), &read, nullptr)) {
            DWORD error = GetLastError();
            throw win32_read_error(error);
        }
        if (read == 0) return traits::eof();
        counted_ += read * kUnitWeight;
        size_t units = read / sizeof(Char);  // a trailing part of a wide unit is dropped
        if (units == 0) return traits::eof();
        this->setg(buffer_, buffer_, buffer_ + units);
        return traits::to_int_type(*this->gptr());
    }

private:
    unsigned counted_ = 0;
    bool owns_;
    HANDLE handle_;
    Char buffer_[Size];
    interrupter* check_;
};

// Writes a file, truncating it (others may read it meanwhile). The failbit is
// set at once when the file cannot be opened; the last error then holds why.
template <class Char>
class win32_file_tostream : public std::basic_ostream<Char> {
public:
    explicit win32_file_tostream(const wchar_t* path) : std::basic_ostream<Char>(nullptr) {
        HANDLE handle = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        buffer_ = new basic_write_handle_streambuf<Char>(handle, true);
        this->init(buffer_);
        if (!handle || handle == INVALID_HANDLE_VALUE) this->setstate(std::ios_base::failbit);
    }
    ~win32_file_tostream() override { delete buffer_; }
    win32_file_tostream(const win32_file_tostream&) = delete;
    win32_file_tostream& operator=(const win32_file_tostream&) = delete;

private:
    basic_write_handle_streambuf<Char>* buffer_;
};

// Reads an existing file; check may be null. The failbit is set at once when
// the file cannot be opened.
template <class Char>
class win32_file_tistream : public std::basic_istream<Char> {
public:
    win32_file_tistream(const wchar_t* path, interrupter* check)
        : std::basic_istream<Char>(nullptr) {
        HANDLE handle = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        buffer_ = new basic_read_handle_streambuf<Char>(handle, true, check);
        this->init(buffer_);
        if (!handle || handle == INVALID_HANDLE_VALUE) this->setstate(std::ios_base::failbit);
    }
    ~win32_file_tistream() override { delete buffer_; }
    win32_file_tistream(const win32_file_tistream&) = delete;
    win32_file_tistream& operator=(const win32_file_tistream&) = delete;

private:
    basic_read_handle_streambuf<Char>* buffer_;
};
