// The one file that calls OpenSSL's legacy DES interface. The calls are deprecated in
// OpenSSL 3 but the API level below keeps them declared without warnings.
#define OPENSSL_API_COMPAT 0x10100000L
#include <openssl/des.h>

#include <cstring>

#include "params/NetParams.h"

int CryptPayload(const uint8_t* pIn, uint8_t* pOut, const uint8_t* pIv, const uint8_t* pKey,
                 size_t nLen, int nDirection) {
    DES_cblock key;
    std::memcpy(key, pKey, sizeof key);
    DES_key_schedule schedule;
    DES_set_key_unchecked(&key, &schedule);
    // DES_cfb_encrypt overwrites the vector it is given: work on a copy.
    DES_cblock iv;
    std::memcpy(iv, pIv, sizeof iv);
    DES_cfb_encrypt(pIn, pOut, 8, static_cast<long>(nLen), &schedule, &iv,
                    nDirection ? DES_ENCRYPT : DES_DECRYPT);
    return 0;
}
