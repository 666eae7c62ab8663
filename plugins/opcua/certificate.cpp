#include "certificate.h"

#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace {

// Largest certificate file we read: a chain of a few certificates at most.
constexpr std::streamoff kMaxFileSize = 1 << 20;

void add_extension(X509* cert, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  X509ExtensionPtr extension(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
  if (!extension || X509_add_ext(cert, extension.get(), -1) != 1) {
    throw std::runtime_error(std::string("cannot add certificate extension ") + value);
  }
}

bool is_ip_address(const std::string& host) {
  return host.find_first_not_of("0123456789.") == std::string::npos ||
         host.find(':') != std::string::npos;
}

}  // namespace

Certificate Certificate::from_der(const std::string& der) {
  const unsigned char* at = reinterpret_cast<const unsigned char*>(der.data());
  X509Ptr x509(d2i_X509(nullptr, &at, static_cast<long>(der.size())));
  if (!x509) throw std::runtime_error("not a DER certificate");
  Certificate cert;
  // Re-encoded so that trailing bytes after the certificate are not carried.
  const int length = i2d_X509(x509.get(), nullptr);
  if (length <= 0) throw std::runtime_error("cannot encode the certificate");
  cert.der_.assign(static_cast<size_t>(length), '\0');
  unsigned char* out = reinterpret_cast<unsigned char*>(&cert.der_[0]);
  i2d_X509(x509.get(), &out);
  cert.x509_ = std::move(x509);
  return cert;
}

Certificate Certificate::load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  if (size <= 0 || size > kMaxFileSize) throw std::runtime_error("unusable size of " + path);
  in.seekg(0);
  std::string bytes(static_cast<size_t>(size), '\0');
  in.read(&bytes[0], size);
  if (bytes.find("-----BEGIN CERTIFICATE-----") == std::string::npos) return from_der(bytes);
  BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
  X509Ptr x509(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!x509) throw std::runtime_error("no certificate in " + path);
  const int length = i2d_X509(x509.get(), nullptr);
  if (length <= 0) throw std::runtime_error("cannot encode the certificate of " + path);
  std::string der(static_cast<size_t>(length), '\0');
  unsigned char* out = reinterpret_cast<unsigned char*>(&der[0]);
  i2d_X509(x509.get(), &out);
  return from_der(der);
}

Certificate Certificate::self_signed(EVP_PKEY* key, const std::string& application_uri,
                                     const std::string& common_name, const std::string& host,
                                     int days) {
  X509Ptr x509(X509_new());
  if (!x509) throw std::runtime_error("cannot make a certificate");
  X509_set_version(x509.get(), 2);  // v3
  unsigned char serial[16];
  if (RAND_bytes(serial, sizeof serial) != 1) throw std::runtime_error("no random serial");
  serial[0] &= 0x7f;  // a positive serial number
  BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
  ASN1_INTEGER* asn1_serial = number ? BN_to_ASN1_INTEGER(number, nullptr) : nullptr;
  BN_free(number);
  if (!asn1_serial) throw std::runtime_error("cannot set the serial number");
  X509_set_serialNumber(x509.get(), asn1_serial);
  ASN1_INTEGER_free(asn1_serial);
  // A day back, so a server whose clock lags a little still accepts it.
  X509_gmtime_adj(X509_getm_notBefore(x509.get()), -86400L);
  X509_gmtime_adj(X509_getm_notAfter(x509.get()), 86400L * days);
  X509_set_pubkey(x509.get(), key);
  X509_NAME* name = X509_get_subject_name(x509.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(common_name.c_str()), -1, -1,
                             0);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>("weft-pipe"), -1, -1, 0);
  X509_set_issuer_name(x509.get(), name);

  add_extension(x509.get(), NID_basic_constraints, "critical,CA:FALSE");
  add_extension(x509.get(), NID_key_usage,
                "critical,digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment,"
                "keyCertSign");
  add_extension(x509.get(), NID_ext_key_usage, "serverAuth,clientAuth");
  add_extension(x509.get(), NID_subject_key_identifier, "hash");
  add_extension(x509.get(), NID_authority_key_identifier, "keyid:always");
  std::string alt = "URI:" + application_uri;
  if (!host.empty()) alt += (is_ip_address(host) ? ",IP:" : ",DNS:") + host;
  add_extension(x509.get(), NID_subject_alt_name, alt.c_str());

  if (X509_sign(x509.get(), key, EVP_sha256()) <= 0) {
    throw std::runtime_error("cannot sign the certificate");
  }
  const int length = i2d_X509(x509.get(), nullptr);
  if (length <= 0) throw std::runtime_error("cannot encode the certificate");
  std::string der(static_cast<size_t>(length), '\0');
  unsigned char* out = reinterpret_cast<unsigned char*>(&der[0]);
  i2d_X509(x509.get(), &out);
  return from_der(der);
}

std::string Certificate::thumbprint() const {
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(der_.data()), der_.size(), digest);
  return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

std::string Certificate::thumbprint_hex() const {
  static const char kHex[] = "0123456789ABCDEF";
  std::string hex;
  for (unsigned char c : thumbprint()) {
    hex += kHex[c >> 4];
    hex += kHex[c & 15];
  }
  return hex;
}

EVP_PKEY* Certificate::public_key() const {
  return x509_ ? X509_get0_pubkey(x509_.get()) : nullptr;
}

std::string Certificate::application_uri() const {
  if (!x509_) return {};
  GeneralNamesPtr names(static_cast<GENERAL_NAMES*>(
      X509_get_ext_d2i(x509_.get(), NID_subject_alt_name, nullptr, nullptr)));
  if (!names) return {};
  for (int i = 0; i < sk_GENERAL_NAME_num(names.get()); ++i) {
    const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
    if (name->type != GEN_URI) continue;
    const ASN1_IA5STRING* uri = name->d.uniformResourceIdentifier;
    return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(uri)),
                       static_cast<size_t>(ASN1_STRING_length(uri)));
  }
  return {};
}

bool Certificate::matches(EVP_PKEY* key) const {
  return x509_ && key && X509_check_private_key(x509_.get(), key) == 1;
}

bool Certificate::save(const std::string& path, std::string* error) const {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(der_.data(), static_cast<std::streamsize>(der_.size()));
  out.close();
  if (!out) {
    *error = "cannot write " + path;
    return false;
  }
  return true;
}
