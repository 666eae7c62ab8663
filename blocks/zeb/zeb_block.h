#pragma once

#include <memory>
#include <string>

#include "blocks/config_block.h"
#include "zeb/client.h"
#include "zeb/connection_mapping.h"
#include "zeb/registry_file.h"

// Base of the blocks that talk to one plane of libzeb: a private registry with
// one plane named after the block, a client on it and a connection mapping for
// the health check. The library's own log lines go to a console log named
// "<log_name>.zeb".
//
// Thread rules: the registry, client and mapping are built on the main thread
// and only read afterwards; the client is used by the block's thread and by the
// transport's threads (subscription callbacks), the mapping by the health-check
// thread.
class ZebBlock : public ConfigBlock {
 public:
  ZebBlock(const std::string& name, const nlohmann::json& config);
  ~ZebBlock() override;

  const std::string& transport_addr() const { return transport_addr_; }
  const std::string& options_text() const { return options_text_; }

  // Healthy when the plane's transport reports the connection behind
  // `node_ref` healthy. Health-check thread.
  bool connection_healthy(const std::string& node_ref);
  std::string unhealthy_reason() const override;
  // Problems a configuration check finds without connecting: no transport for
  // the address's scheme, a node reference its own rule does not match.
  void check(std::vector<std::string>& problems) const override;

  // A regular expression that matches exactly `text`.
  static std::string escape_pattern(const std::string& text);

 protected:
  // Adds the block's one mapping rule: all four methods, the node reference as
  // its own (escaped) pattern, no rewrite.
  void add_rule(const std::string& node_ref);
  // Adds the connection figures of the plane behind `node_ref` to a scrape.
  void add_plane_metrics(qor::MetricFamilies& metrics, const std::string& node_ref) const;
  // The reference the block works on (its rule's pattern matches it).
  virtual const std::string& node_ref() const = 0;
  // Stops the block thread, then the client (and with it the transport threads
  // that call back into the block). Derived destructors call it first; a
  // second call does nothing more.
  void shutdown();

  struct ClientDeleter {
    void operator()(zeb::IClient* client) const { zeb::freeClient(client); }
  };

  std::unique_ptr<zeb::RegistryFile> registry_;
  std::unique_ptr<zeb::IClient, ClientDeleter> client_;
  std::unique_ptr<zeb::ConnectionMapping> mapping_;
  std::string transport_addr_;
  std::string options_text_;
  std::string client_log_name_;
  int32_t interval_ = 0;
};
