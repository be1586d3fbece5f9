// util: MD5 through OpenSSL's EVP interface; no digest code of our own.
#include "util/md5.h"

#include <cstring>
#include <openssl/evp.h>

int MD5Init(MD5_CTX *ctx)
{
    memset(ctx->digest, 0, sizeof ctx->digest);
    EVP_MD_CTX *evp = EVP_MD_CTX_new();
    ctx->evp = evp;
    if (!evp)
        return -1;
    if (EVP_DigestInit_ex(evp, EVP_md5(), nullptr) != 1) {
        EVP_MD_CTX_free(evp);
        ctx->evp = nullptr;
        return -1;
    }
    return 0;
}

int MD5Update(MD5_CTX *ctx, const void *data, size_t len)
{
    if (!ctx->evp)
        return -1;
    return EVP_DigestUpdate(static_cast<EVP_MD_CTX *>(ctx->evp), data, len) == 1 ? 0 : -1;
}

int MD5Final(MD5_CTX *ctx)
{
    EVP_MD_CTX *evp = static_cast<EVP_MD_CTX *>(ctx->evp);
    ctx->evp = nullptr;
    if (!evp)
        return -1;
    unsigned int n = 0;
    int ok = EVP_DigestFinal_ex(evp, ctx->digest, &n) == 1 && n == sizeof ctx->digest;
    EVP_MD_CTX_free(evp);
    if (!ok) {
        memset(ctx->digest, 0, sizeof ctx->digest);
        return -1;
    }
    return 0;
}
