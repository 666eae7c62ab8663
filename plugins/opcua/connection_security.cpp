#include "connection_security.h"

#include <unistd.h>

#include <exception>
#include <stdexcept>

#include "zeb/log.h"

namespace {

ChunkSecurity::Mode mode_of(const std::string& name) {
  return name == "Sign" ? ChunkSecurity::Mode::kSign : ChunkSecurity::Mode::kSignAndEncrypt;
}

const char* mode_name(int32_t mode) {
  return mode == 2 ? "Sign" : mode == 3 ? "SignAndEncrypt" : "None";
}

std::string host_name() {
  char name[256] = {0};
  if (::gethostname(name, sizeof name - 1) != 0) return "localhost";
  return name;
}

}  // namespace

ConnectionSecurity::ConnectionSecurity(const PlaneOptions& options, void* log)
    : options_(options), log_(log), pki_(options.pki_dir) {
  application_uri_ =
      options.application_uri.empty() ? ServiceCodec::kApplicationUri : options.application_uri;
}

bool ConnectionSecurity::plain() const {
  return options_.security_policy == "None" && options_.user.empty() &&
         options_.user_certificate_file.empty();
}

bool ConnectionSecurity::needs_discovery() const {
  return options_.security_policy == "None" || options_.security_policy == "auto" ||
         options_.server_certificate_file.empty();
}

bool ConnectionSecurity::use_configured_server(std::string* error) {
  policy_ = SecurityPolicy::find(options_.security_policy);
  mode_ = mode_of(options_.security_mode);
  try {
    server_certificate_ =
        std::make_shared<Certificate>(Certificate::load(options_.server_certificate_file));
  } catch (const std::exception& e) {
    *error = std::string("server_certificate: ") + e.what();
    return false;
  }
  endpoints_.clear();
  return prepare(error);
}

bool ConnectionSecurity::prepare(std::string* error) {
  if (!options_.user_certificate_file.empty() && user_certificate_.empty()) {
    try {
      Certificate cert = Certificate::load(options_.user_certificate_file);
      PrivateKey key = PrivateKey::load(options_.user_private_key_file);
      if (!cert.matches(key.get())) {
        *error = "user_private_key does not belong to user_certificate";
        return false;
      }
      user_certificate_ = std::move(cert);
      user_key_ = std::move(key);
    } catch (const std::exception& e) {
      *error = std::string("user certificate: ") + e.what();
      return false;
    }
  }
  if (options_.security_policy == "None" || own_certificate_) return true;
  Certificate cert;
  PrivateKey key;
  bool created = false;
  if (!pki_.load_identity(options_.certificate_file, options_.private_key_file, application_uri_,
                          host_name(), &cert, &key, &created, error)) {
    return false;
  }
  if (created) {
    zeb::log_info(log_, "OPC UA: made the application certificate %s (SHA-1 thumbprint %s)",
                  pki_.own_certificate_path().c_str(), cert.thumbprint_hex().c_str());
  }
  // The session's ApplicationUri must be the one the certificate carries.
  if (options_.application_uri.empty() && !cert.application_uri().empty()) {
    application_uri_ = cert.application_uri();
  }
  own_certificate_ = std::make_shared<Certificate>(std::move(cert));
  own_key_ = std::make_shared<PrivateKey>(std::move(key));
  return true;
}

bool ConnectionSecurity::choose(const std::vector<ServiceCodec::Endpoint>& endpoints,
                                std::string* error) {
  const ServiceCodec::Endpoint* best = nullptr;
  const SecurityPolicy* best_policy = nullptr;
  const bool any_mode = options_.security_mode.empty();
  const int32_t wanted_mode = static_cast<int32_t>(mode_of(options_.security_mode));
  std::string offered;
  for (const ServiceCodec::Endpoint& endpoint : endpoints) {
    const SecurityPolicy* policy = SecurityPolicy::find(endpoint.security_policy_uri);
    const bool known_mode =
        policy && (policy->is_none() || endpoint.security_mode == 2 || endpoint.security_mode == 3);
    if (!known_mode) continue;
    offered += std::string(offered.empty() ? "" : ", ") + policy->name + " " +
               mode_name(endpoint.security_mode);
    if (options_.security_policy == "auto") {
      if (!policy->is_none() && !any_mode && endpoint.security_mode != wanted_mode) continue;
      if (!best || policy->strength > best_policy->strength ||
          (policy->strength == best_policy->strength &&
           endpoint.security_mode > best->security_mode)) {
        best = &endpoint;
        best_policy = policy;
      }
      continue;
    }
    if (policy->name != options_.security_policy) continue;
    if (!policy->is_none() && endpoint.security_mode != wanted_mode) continue;
    best = &endpoint;
    best_policy = policy;
    break;
  }
  if (!best) {
    *error = "the server offers no endpoint with security " + options_.security_policy +
             (options_.security_policy == "None" ? "" : " " + std::string(mode_name(wanted_mode))) +
             " (it offers " + (offered.empty() ? "none we know" : offered) + ")";
    return false;
  }
  policy_ = best_policy;
  mode_ = policy_->is_none() ? ChunkSecurity::Mode::kNone
                             : static_cast<ChunkSecurity::Mode>(best->security_mode);
  server_certificate_.reset();
  if (!best->server_certificate.empty()) {
    try {
      server_certificate_ =
          std::make_shared<Certificate>(Certificate::from_der(best->server_certificate));
    } catch (const std::exception& e) {
      *error = std::string("unreadable server certificate: ") + e.what();
      return false;
    }
  }
  if (secured() && !server_certificate_) {
    *error = "the server's endpoint carries no certificate";
    return false;
  }
  endpoints_ = {*best};
  if (secured() && !prepare(error)) return false;
  return true;
}

bool ConnectionSecurity::check_trust(std::string* error) {
  return !secured() || trusted(*server_certificate_, error);
}

bool ConnectionSecurity::trusted(const Certificate& cert, std::string* error) {
  if (!options_.server_certificate_file.empty()) {
    try {
      if (Certificate::load(options_.server_certificate_file).der() == cert.der()) return true;
    } catch (const std::exception& e) {
      *error = std::string("server_certificate: ") + e.what();
      return false;
    }
  }
  if (pki_.is_trusted(cert)) return true;
  if (options_.trust_on_first_use) {
    const std::string path = pki_.trust(cert);
    if (path.empty()) {
      *error = "cannot store the server certificate in " + pki_.trusted_dir();
      return false;
    }
    zeb::log_warn(log_,
                  "OPC UA: trusting the certificate of %s on first use (SHA-1 thumbprint %s), "
                  "stored as %s",
                  options_.endpoint_url.c_str(), cert.thumbprint_hex().c_str(), path.c_str());
    return true;
  }
  const std::string rejected = pki_.reject(cert);
  *error = "server certificate not trusted (SHA-1 thumbprint " + cert.thumbprint_hex() + ")";
  if (first_report("untrusted " + cert.thumbprint_hex())) {
    zeb::log_error(log_,
                   "OPC UA: refused the untrusted certificate of %s, SHA-1 thumbprint %s; to "
                   "trust it, copy %s into %s/",
                   options_.endpoint_url.c_str(), cert.thumbprint_hex().c_str(),
                   rejected.empty() ? "it" : rejected.c_str(), pki_.trusted_dir().c_str());
  }
  return false;
}

void ConnectionSecurity::configure(ChunkSecurity& chunks) const {
  chunks.configure(*policy_, mode_, own_certificate_, own_key_, server_certificate_);
}

std::string ConnectionSecurity::channel_nonce() const {
  return secured() ? SecurityPolicy::random_bytes(SecurityPolicy::kNonceLength) : std::string();
}

std::string ConnectionSecurity::client_certificate() const {
  return secured() ? own_certificate_->der() : std::string();
}

bool ConnectionSecurity::accept_session(const ServiceCodec::CreateSessionResult& session,
                                        const std::string& client_nonce, std::string* error) {
  server_nonce_ = session.server_nonce;
  if (!session.endpoints.empty() && (plain() || endpoints_.empty() || !secured())) {
    endpoints_ = session.endpoints;
  }
  if (secured()) {
    if (session.server_certificate != server_certificate_->der()) {
      *error = "CreateSession answered with another certificate than the endpoint's";
      return false;
    }
    const std::string data = own_certificate_->der() + client_nonce;
    // The algorithm is the channel policy's whatever URI the server names.
    if (!policy_->verify(server_certificate_->public_key(),
                         reinterpret_cast<const uint8_t*>(data.data()), data.size(),
                         reinterpret_cast<const uint8_t*>(session.signature.data()),
                         session.signature.size())) {
      *error = "the server's session signature does not verify";
      return false;
    }
    if (server_nonce_.size() < SecurityPolicy::kNonceLength) {
      *error = "the server's session nonce is too short";
      return false;
    }
  } else if (!server_certificate_ && !session.server_certificate.empty()) {
    // A None channel may still need the certificate to encrypt a password.
    try {
      server_certificate_ =
          std::make_shared<Certificate>(Certificate::from_der(session.server_certificate));
    } catch (const std::exception&) {
      server_certificate_.reset();
    }
  }
  const ServiceCodec::UserTokenPolicy* token = find_token(endpoints_);
  token_found_ = token != nullptr;
  if (token) token_ = *token;
  if (!token && !(options_.user.empty() && options_.user_certificate_file.empty())) {
    *error = "the server offers no user token policy for " + identity();
    return false;
  }
  // On a None channel nothing vouches for the certificate a password is
  // encrypted for: it must be trusted like that of a secured channel.
  if (!secured() && token && !options_.user.empty() && !token_policy(*token).is_none()) {
    if (!server_certificate_) {
      *error = "the server gave no certificate to encrypt the password with";
      return false;
    }
    if (!trusted(*server_certificate_, error)) return false;
  }
  return true;
}

const ServiceCodec::UserTokenPolicy* ConnectionSecurity::find_token(
    const std::vector<ServiceCodec::Endpoint>& endpoints) const {
  const int32_t wanted = !options_.user.empty()                    ? ServiceCodec::kUserName
                         : !options_.user_certificate_file.empty() ? ServiceCodec::kCertificate
                                                                   : ServiceCodec::kAnonymous;
  for (const ServiceCodec::Endpoint& endpoint : endpoints) {
    if (endpoint.security_policy_uri != policy_->uri ||
        (secured() && endpoint.security_mode != static_cast<int32_t>(mode_))) {
      continue;
    }
    for (const ServiceCodec::UserTokenPolicy& token : endpoint.user_tokens) {
      if (token.token_type == wanted) return &token;
    }
  }
  return nullptr;
}

const SecurityPolicy& ConnectionSecurity::token_policy(
    const ServiceCodec::UserTokenPolicy& token) const {
  const SecurityPolicy* policy = SecurityPolicy::find(token.security_policy_uri);
  return policy ? *policy : *policy_;
}

bool ConnectionSecurity::activation(ServiceCodec::Activation* out, std::string* error) const {
  *out = ServiceCodec::Activation();
  if (secured()) {
    const std::string data = server_certificate_->der() + server_nonce_;
    out->signature_algorithm = policy_->signature_uri;
    if (!policy_->sign(own_key_->get(), reinterpret_cast<const uint8_t*>(data.data()), data.size(),
                       &out->signature)) {
      *error = "cannot sign ActivateSession";
      return false;
    }
  }
  if (!options_.user.empty()) return password_token(token_, out, error);
  if (!options_.user_certificate_file.empty()) return certificate_token(token_, out, error);
  ByteWriter body;
  if (token_found_) {
    body.string(token_.policy_id);
  } else {
    body.null_length();
  }
  out->token_body.assign(body.bytes().begin(), body.bytes().end());
  return true;
}

bool ConnectionSecurity::password_token(const ServiceCodec::UserTokenPolicy& token,
                                        ServiceCodec::Activation* out, std::string* error) const {
  out->token_type_id = ServiceCodec::kUserNameIdentityToken;
  const SecurityPolicy& policy = token_policy(token);
  if (policy.is_none()) {
    out->token_body =
        ServiceCodec::user_name_token(token.policy_id, options_.user, options_.password, "");
    return true;
  }
  if (!server_certificate_ || server_nonce_.empty()) {
    *error = "the server gave no certificate or nonce to encrypt the password with";
    return false;
  }
  // Length (of password and nonce), password, server nonce; then encrypted.
  ByteWriter plain;
  plain.u32(static_cast<uint32_t>(options_.password.size() + server_nonce_.size()));
  plain.raw(options_.password.data(), options_.password.size());
  plain.raw(server_nonce_.data(), server_nonce_.size());
  std::string secret;
  if (!policy.encrypt(server_certificate_->public_key(), plain.bytes().data(), plain.size(),
                      &secret)) {
    *error = "cannot encrypt the password";
    return false;
  }
  out->token_body =
      ServiceCodec::user_name_token(token.policy_id, options_.user, secret, policy.encryption_uri);
  zeb::log_debug(log_, "OPC UA: password of user %s encrypted with %s", options_.user.c_str(),
                 policy.encryption_uri);
  return true;
}

bool ConnectionSecurity::certificate_token(const ServiceCodec::UserTokenPolicy& token,
                                           ServiceCodec::Activation* out,
                                           std::string* error) const {
  out->token_type_id = ServiceCodec::kX509IdentityToken;
  out->token_body = ServiceCodec::x509_token(token.policy_id, user_certificate_.der());
  const SecurityPolicy& policy = token_policy(token);
  if (policy.is_none() || !server_certificate_) {
    *error = "an X.509 user token needs a secured endpoint or token policy";
    return false;
  }
  const std::string data = server_certificate_->der() + server_nonce_;
  out->token_signature_algorithm = policy.signature_uri;
  if (!policy.sign(user_key_.get(), reinterpret_cast<const uint8_t*>(data.data()), data.size(),
                   &out->token_signature)) {
    *error = "cannot sign with the user key";
    return false;
  }
  return true;
}

std::string ConnectionSecurity::describe() const {
  if (policy_->is_none()) return "None";
  return std::string(policy_->name) + " " + mode_name(static_cast<int32_t>(mode_));
}

std::string ConnectionSecurity::identity() const {
  if (!options_.user.empty()) return "user " + options_.user;
  if (!options_.user_certificate_file.empty())
    return "user certificate " + options_.user_certificate_file;
  return "anonymous";
}

bool ConnectionSecurity::changed_choice() {
  const std::string choice = describe();
  if (choice == announced_) return false;
  announced_ = choice;
  return true;
}

bool ConnectionSecurity::first_report(const std::string& what) {
  if (what == reported_) return false;
  reported_ = what;
  return true;
}
