// The first word of a text file, read with a bound on its length.
#pragma once

#include <cstddef>
#include <istream>
#include <string>

// The first whitespace-delimited word of the stream into word; false when it
// is longer than bound characters. Read errors of the stream's buffer are
// thrown as the buffer throws them.
bool read_first_word(std::istream& in, size_t bound, std::string& word);
