#include "job/stores/text_file_word.h"

#include <cctype>

bool read_first_word(std::istream& in, size_t bound, std::string& word) {
    using traits = std::char_traits<char>;
    word.clear();
    std::streambuf* source = in.rdbuf();
    if (!source) return true;
    traits::int_type c;
    while ((c = source->sgetc()) != traits::eof() && std::isspace(c)) source->sbumpc();
    while ((c = source->sbumpc()) != traits::eof() && !std::isspace(c)) {
        if (word.size() == bound) return false;
        word += traits::to_char_type(c);
    }
    return true;
}
