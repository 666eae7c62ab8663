#pragma once

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

// Owners of the OpenSSL handles this plug-in uses: one unique_ptr type per
// kind of handle, each freeing it with its own function.
struct OpensslFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
  void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
  void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
  void operator()(EVP_KDF* p) const { EVP_KDF_free(p); }
  void operator()(EVP_KDF_CTX* p) const { EVP_KDF_CTX_free(p); }
  void operator()(X509* p) const { X509_free(p); }
  void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
  void operator()(GENERAL_NAMES* p) const { GENERAL_NAMES_free(p); }
  void operator()(BIO* p) const { BIO_free(p); }
};

using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, OpensslFree>;
using EvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, OpensslFree>;
using EvpCipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, OpensslFree>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, OpensslFree>;
using EvpKdfPtr = std::unique_ptr<EVP_KDF, OpensslFree>;
using EvpKdfCtxPtr = std::unique_ptr<EVP_KDF_CTX, OpensslFree>;
using X509Ptr = std::unique_ptr<X509, OpensslFree>;
using X509ExtensionPtr = std::unique_ptr<X509_EXTENSION, OpensslFree>;
using GeneralNamesPtr = std::unique_ptr<GENERAL_NAMES, OpensslFree>;
using BioPtr = std::unique_ptr<BIO, OpensslFree>;
