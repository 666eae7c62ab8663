#include "pki_store.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>
#include <stdexcept>

namespace {

constexpr int kKeyBits = 2048;
constexpr int kValidDays = 3650;
// Bounds the work of a trusted folder someone filled by mistake.
constexpr int kMaxTrustedFiles = 1000;

struct DirClose {
  void operator()(DIR* d) const { ::closedir(d); }
};

bool make_dir(const std::string& path, mode_t mode) {
  return ::mkdir(path.c_str(), mode) == 0 || errno == EEXIST;
}

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

bool PkiStore::load_identity(const std::string& certificate_file, const std::string& key_file,
                             const std::string& application_uri, const std::string& host,
                             Certificate* certificate, PrivateKey* key, bool* created,
                             std::string* error) const {
  *created = false;
  const bool given = !certificate_file.empty() || !key_file.empty();
  if (given && (certificate_file.empty() || key_file.empty())) {
    *error = "a certificate file needs its key file and the other way round";
    return false;
  }
  const std::string cert_path = given ? certificate_file : own_certificate_path();
  const std::string key_path = given ? key_file : own_key_path();
  try {
    if (!given && !exists(cert_path) && !exists(key_path)) {
      if (!make_dir(root_, 0755) || !make_dir(root_ + "/own", 0755) ||
          !make_dir(root_ + "/private", 0700) || !make_dir(trusted_dir(), 0755) ||
          !make_dir(rejected_dir(), 0755)) {
        *error = "cannot create the PKI directory " + root_;
        return false;
      }
      PrivateKey made_key = PrivateKey::generate_rsa(kKeyBits);
      Certificate made =
          Certificate::self_signed(made_key.get(), application_uri, "weft-pipe", host, kValidDays);
      if (!made_key.save(key_path, error) || !made.save(cert_path, error)) return false;
      *certificate = std::move(made);
      *key = std::move(made_key);
      *created = true;
      return true;
    }
    *certificate = Certificate::load(cert_path);
    *key = PrivateKey::load(key_path);
  } catch (const std::exception& e) {
    *error = e.what();
    return false;
  }
  if (!certificate->matches(key->get())) {
    *error = "the private key " + key_path + " does not belong to " + cert_path;
    return false;
  }
  return true;
}

bool PkiStore::is_trusted(const Certificate& certificate) const {
  std::unique_ptr<DIR, DirClose> dir(::opendir(trusted_dir().c_str()));
  if (!dir) return false;
  int seen = 0;
  while (const dirent* entry = ::readdir(dir.get())) {
    if (entry->d_name[0] == '.') continue;
    if (++seen > kMaxTrustedFiles) break;
    try {
      if (Certificate::load(trusted_dir() + "/" + entry->d_name).der() == certificate.der()) {
        return true;
      }
    } catch (const std::exception&) {
      // Not a certificate: other files may sit next to them.
    }
  }
  return false;
}

std::string PkiStore::store(const Certificate& certificate, const std::string& dir) const {
  if (!make_dir(root_, 0755) || !make_dir(dir, 0755)) return {};
  const std::string path = dir + "/" + certificate.thumbprint_hex() + ".der";
  std::string error;
  return certificate.save(path, &error) ? path : std::string();
}

std::string PkiStore::reject(const Certificate& certificate) const {
  return store(certificate, rejected_dir());
}

std::string PkiStore::trust(const Certificate& certificate) const {
  return store(certificate, trusted_dir());
}
