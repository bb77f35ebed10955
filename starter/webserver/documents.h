// The files of the document folder: which file a request's path names, and the type it is sent
// with. Only regular files below the folder are served: no listing, no path that leads out of
// it, no link that points out of it.
#pragma once

#include <string>

namespace tovel::web {

// The header lines that every reply from the document folder carries: its pages run no inline
// script or style and load nothing from elsewhere, and the browser takes each file as the type
// it is sent with.
inline constexpr char kDocumentHeaders[] =
    "Content-Security-Policy: default-src 'self'\r\n"
    "X-Content-Type-Options: nosniff\r\n";

struct Document {
    std::string path;  // host path of the file, links resolved
    const char* type;  // its Content-Type
};

// The host path of the folder, links resolved; empty when there is none (unset or missing).
std::string document_folder(const char* root);

// The file that path (a request's path, percent-decoded) names below folder (as document_folder
// gives it). False when folder is empty, when the path holds a back-slash, or when what it names
// is no regular file inside the folder once every link and "." or ".." is followed.
bool find_document(const std::string& folder, const char* path, Document& out);

// The Content-Type of a file name by its extension.
const char* document_type(const std::string& name);

}  // namespace tovel::web
