// Ownership of OpenSSL BIO chains, for the buffer helpers of this library.
#pragma once

#include <openssl/bio.h>

#include <memory>

struct bio_chain_free {
    void operator()(BIO* chain) const { BIO_free_all(chain); }
};

// Owns a BIO and everything pushed below it.
using bio_chain = std::unique_ptr<BIO, bio_chain_free>;

// Puts filter on top of chain; the result owns both. Null (and both freed)
// when either is null.
inline bio_chain bio_push_filter(BIO* filter, bio_chain chain) {
    bio_chain top(filter);
    if (!top || !chain) return nullptr;
    BIO_push(top.get(), chain.release());
    return top;
}
