// AES and Base64 over caller buffers. Every call builds its own OpenSSL BIO
// chain and frees it, so the functions keep no state and may run on any
// thread at once.
//
// The cipher is AES in CBC mode with PKCS#7 padding (n bytes encrypt to
// (n / 16 + 1) * 16), AES-128, -192 or -256 for a key of 16, 24 or 32 bytes,
// with a 16-byte IV. Base64 is the standard alphabet with "=" padding and no
// line breaks.
#pragma once

// Room for a transformation of n input bytes, written to *out (when out is not
// null) and returned. Mode 1: the AES output, (n / 16 + 1) * 16. Mode 2: the
// Base64 text and its terminator, ((n - 1) / 3) * 4 + 5. With enabled false,
// any other mode, a negative n or a size beyond the int range: 0, and *out is
// left alone.
int crypt_output_size(int n, int* out, int mode, bool enabled);

// Encrypts inLen bytes of in under key and the 16-byte iv into out. Returns
// the output length; 0 for a key length other than 16, 24 or 32, a null key
// or iv, or a bad input (negative length, null with a length); -1 when the
// output would exceed outSize (out is then untouched). out may be in.
int aes_encrypt(const unsigned char* key, int keyLen, const unsigned char* iv, const void* in,
                int inLen, void* out, unsigned outSize);

// The inverse of aes_encrypt, with the same results, and -2 when the input is
// no encryption under this key and IV (not whole blocks, or padding that does
// not check out): a wrong key or damaged input never yields bytes.
int aes_decrypt(const unsigned char* key, int keyLen, const unsigned char* iv, const void* in,
                int inLen, void* out, unsigned outSize);

// As aes_encrypt, with the input compressed (zlib format) before it is
// encrypted. Incompressible input comes out longer than aes_encrypt's output,
// so a buffer of crypt_output_size(inLen, 1) may give -1.
int aes_encrypt_compressed(const unsigned char* key, int keyLen, const unsigned char* iv,
                           const void* in, int inLen, void* out, unsigned outSize);

// The inverse of aes_encrypt_compressed: decrypts, then decompresses into out.
// Results as aes_decrypt; -1 when the whole decompressed data does not fit in
// outSize bytes, -2 also when the decrypted bytes are no whole compressed
// stream.
int aes_decrypt_compressed(const unsigned char* key, int keyLen, const unsigned char* iv,
                           const void* in, int inLen, void* out, unsigned outSize);

// Writes the Base64 text of inLen bytes of in, and a terminating NUL, into
// out, whose room in bytes is *outLen on entry. Returns the text's length
// (also left in *outLen); -1 when in, out or outLen is null or inLen negative;
// -2 when the text and its terminator need more room than *outLen, which is
// then set to the room needed (out is untouched).
int base64_encode(const void* in, int inLen, char* out, int* outLen);

// Decodes the Base64 text of inLen characters of in into out, at most *outLen
// bytes, reading until the text ends or out is full. Returns the bytes
// decoded (also left in *outLen); -1 when in, out or outLen is null or inLen
// negative. Decoding stops at a character outside the alphabet, so a damaged
// text yields fewer bytes than it would whole.
int base64_decode(const char* in, int inLen, void* out, int* outLen);
