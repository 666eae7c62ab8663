#pragma once

#include <memory>
#include <string>
#include <vector>

#include "certificate.h"
#include "chunk_security.h"
#include "pki_store.h"
#include "plane_options.h"
#include "private_key.h"
#include "security_policy.h"
#include "service_codec.h"

// The security choices of one server connection: which of the server's
// endpoints to use, whether its certificate is trusted, our application
// instance certificate, the signatures of the session handshake and the user
// identity token.
//
// A connection with policy None and an anonymous user needs none of it and
// skips discovery; any other first asks the server for its endpoints over a
// None channel, picks one and checks its certificate, then opens the real
// channel.
//
// Thread rules: belongs to the connection thread.
class ConnectionSecurity {
 public:
  ConnectionSecurity(const PlaneOptions& options, void* log);

  // True when neither channel security nor a user identity is configured.
  bool plain() const;
  // False when the configuration names the policy, and the server's
  // certificate in "server_certificate": then no discovery is needed, which
  // matters with servers that refuse channels of policy None.
  bool needs_discovery() const;
  // Takes the configured policy, mode and server certificate as chosen.
  bool use_configured_server(std::string* error);
  // Loads or makes our certificate when the configuration needs one (once).
  bool prepare(std::string* error);
  // Picks the endpoint from the server's list; false with a reason when none
  // fits the configuration.
  bool choose(const std::vector<ServiceCodec::Endpoint>& endpoints, std::string* error);
  // Trusts the chosen endpoint's certificate or refuses it (logged once per
  // certificate, and stored in the rejected folder).
  bool check_trust(std::string* error);
  // True when the chosen endpoint signs (and maybe encrypts) its chunks.
  bool secured() const { return !policy_->is_none(); }
  const SecurityPolicy& policy() const { return *policy_; }
  ChunkSecurity::Mode mode() const { return mode_; }

  // Sets the chunk protection up for a new channel of the chosen endpoint.
  void configure(ChunkSecurity& chunks) const;
  // A fresh nonce for an OpenSecureChannel request; empty under None.
  std::string channel_nonce() const;

  // Session handshake.
  const std::string& application_uri() const { return application_uri_; }
  // Our certificate for CreateSession; empty under None.
  std::string client_certificate() const;
  // Checks the server's answer to CreateSession (its certificate and its
  // signature of our certificate and nonce) and keeps its nonce.
  bool accept_session(const ServiceCodec::CreateSessionResult& session,
                      const std::string& client_nonce, std::string* error);
  // The signature and identity token of the next ActivateSession.
  bool activation(ServiceCodec::Activation* out, std::string* error) const;
  // The nonce an ActivateSession answer gave for the next activation.
  void set_server_nonce(const std::string& nonce) { server_nonce_ = nonce; }
  // The chosen policy and mode, e.g. "Basic256Sha256 SignAndEncrypt".
  std::string describe() const;
  // True when the choice differs from the one last announced.
  bool changed_choice();
  // Describes the configured identity for log lines.
  std::string identity() const;
  // True when the same refusal was not logged last time; a success forgets.
  bool first_report(const std::string& what);
  void clear_report() { reported_.clear(); }

 private:
  // True when cert is trusted (or now trusted on first use); else refused.
  bool trusted(const Certificate& cert, std::string* error);
  const ServiceCodec::UserTokenPolicy* find_token(
      const std::vector<ServiceCodec::Endpoint>& endpoints) const;
  const SecurityPolicy& token_policy(const ServiceCodec::UserTokenPolicy& token) const;
  bool password_token(const ServiceCodec::UserTokenPolicy& token, ServiceCodec::Activation* out,
                      std::string* error) const;
  bool certificate_token(const ServiceCodec::UserTokenPolicy& token, ServiceCodec::Activation* out,
                         std::string* error) const;

  const PlaneOptions& options_;
  void* const log_;
  PkiStore pki_;

  std::shared_ptr<const Certificate> own_certificate_;
  std::shared_ptr<const PrivateKey> own_key_;
  std::string application_uri_;
  Certificate user_certificate_;
  PrivateKey user_key_;

  const SecurityPolicy* policy_ = &SecurityPolicy::none();
  ChunkSecurity::Mode mode_ = ChunkSecurity::Mode::kNone;
  std::shared_ptr<const Certificate> server_certificate_;
  std::vector<ServiceCodec::Endpoint> endpoints_;
  ServiceCodec::UserTokenPolicy token_;
  bool token_found_ = false;
  std::string server_nonce_;
  std::string reported_;
  std::string announced_;
};
