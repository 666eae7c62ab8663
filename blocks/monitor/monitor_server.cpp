#include "blocks/monitor/monitor_server.h"

#include <httplib.h>

#include <nlohmann/json.hpp>

#include "framework/chain_health.h"

namespace {

constexpr int kOk = 200;
constexpr int kUnavailable = 503;
// Requests are small GETs: anything with a body is not for us.
constexpr size_t kLargestRequestBody = 1024;
constexpr time_t kReadTimeoutSeconds = 5;
constexpr size_t kWorkers = 2;

}  // namespace

MonitorServer::MonitorServer(ChainMetrics metrics) : metrics_(std::move(metrics)) {}

MonitorServer::~MonitorServer() {
  stop();
}

std::string MonitorServer::health_body(bool* healthy) {
  const auto problems = qor::ChainHealth::problems();
  nlohmann::json unhealthy = nlohmann::json::array();
  for (const auto& problem : problems) {
    unhealthy.push_back({{"block", problem.block}, {"reason", problem.reason}});
  }
  *healthy = problems.empty();
  return nlohmann::json{{"healthy", *healthy}, {"unhealthy", unhealthy}}.dump();
}

bool MonitorServer::start(const ListenAddress& address, std::string* error) {
  server_ = std::make_unique<httplib::Server>();
  // The library takes ownership of the pool it is handed.
  server_->new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
  server_->set_payload_max_length(kLargestRequestBody);
  server_->set_read_timeout(kReadTimeoutSeconds, 0);
  server_->Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
    response.set_content(metrics_.text(), "text/plain; version=0.0.4; charset=utf-8");
  });
  server_->Get("/health", [](const httplib::Request&, httplib::Response& response) {
    bool healthy = false;
    response.set_content(health_body(&healthy), "application/json");
    response.status = healthy ? kOk : kUnavailable;
  });
  server_->Get("/ready", [](const httplib::Request&, httplib::Response& response) {
    const bool ready = qor::ChainHealth::ready();
    response.set_content(nlohmann::json{{"ready", ready}}.dump(), "application/json");
    response.status = ready ? kOk : kUnavailable;
  });
  if (!server_->bind_to_port(address.host, address.port)) {
    *error = "unable to listen on " + address.text();
    server_.reset();
    return false;
  }
  listener_ = std::thread([this] { server_->listen_after_bind(); });
  return true;
}

void MonitorServer::stop() {
  if (!server_) return;
  server_->stop();
  if (listener_.joinable()) listener_.join();
  server_.reset();
}
