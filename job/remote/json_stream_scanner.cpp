#include "job/remote/json_stream_scanner.h"

size_t JsonStreamScanner::next(const char* data, size_t size, Piece& piece) {
    piece = Piece();
    size_t i = 0;
    if (scopes_.empty()) {
        while (i < size && data[i] != '{') ++i;
        if (i == size) return size;
        piece.opens = true;
    }
    piece.data = data + i;
    for (; i < size; ++i) {
        char c = data[i];
        char top = scopes_.empty() ? '\0' : scopes_.back();
        if (top == '\\') {
            scopes_.pop_back();  // the escaped byte, whatever it is
        } else if (top == '"') {
            if (c == '\\')
                scopes_.push_back('\\');
            else if (c == '"')
                scopes_.pop_back();
        } else if (c == '"') {
            scopes_.push_back('"');
        } else if (c == '{') {
            if (scopes_.size() >= kMaxDepth) {
                piece.tooDeep = true;
                break;
            }
            scopes_.push_back('{');
        } else if (c == '}') {
            scopes_.pop_back();
            if (scopes_.empty()) {
                ++i;
                piece.closes = true;
                break;
            }
        }
    }
    piece.size = static_cast<size_t>(data + i - piece.data);
    return i;
}
