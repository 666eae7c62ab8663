#pragma once

#include <memory>
#include <string>
#include <thread>

#include "blocks/monitor/chain_metrics.h"
#include "blocks/monitor/listen_address.h"

namespace httplib {
class Server;
}

// The HTTP endpoint of a running program, on cpp-httplib:
//   GET /metrics  the chain's figures in the Prometheus text format;
//   GET /health   200 when every block is healthy, else 503; a JSON body names
//                 each unhealthy block and why;
//   GET /ready    200 once every block has started and every input has had its
//                 connection, else 503.
// It only reads: counters, ports and health answers of the blocks.
//
// Threads: `start` and `stop` on the main thread (or the one stopping the
// chain); requests are served by a listening thread and a pool of two
// workers, which `stop` ends before it returns. The blocks must outlive
// `stop`.
class MonitorServer {
 public:
  explicit MonitorServer(ChainMetrics metrics);
  ~MonitorServer();
  MonitorServer(const MonitorServer&) = delete;
  MonitorServer& operator=(const MonitorServer&) = delete;

  // Binds and starts serving; false with a reason in *error when the address
  // cannot be bound.
  bool start(const ListenAddress& address, std::string* error);
  void stop();

  // The /health body: {"healthy":bool,"unhealthy":[{"block":..,"reason":..}]}.
  static std::string health_body(bool* healthy);

 private:
  ChainMetrics metrics_;
  std::unique_ptr<httplib::Server> server_;
  std::thread listener_;
};
