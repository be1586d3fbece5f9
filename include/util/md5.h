// util: MD5 (RFC 1321) in the classic Init/Update/Final shape, over OpenSSL's EVP digest.
//
// Used by the one-file image reader to verify a container's checksum.
#pragma once

#include <cstddef>

struct MD5_CTX {
    void *evp;                   // the OpenSSL digest context; owned between Init and Final
    unsigned char digest[16];    // the result, valid after MD5Final
};

// Each returns 0 on success, -1 when the digest library failed (Final then clears digest).
int MD5Init(MD5_CTX *ctx);
int MD5Update(MD5_CTX *ctx, const void *data, size_t len);
int MD5Final(MD5_CTX *ctx);
