#include "blocks/monitor/chain_metrics.h"

#include <set>

#include "framework/block.h"
#include "framework/block_chain.h"
#include "framework/chain_health.h"
#include "framework/metric_families.h"

ChainMetrics::ChainMetrics(std::function<std::string(const std::string&)> type_of,
                           std::chrono::steady_clock::time_point started, std::string version)
    : type_of_(std::move(type_of)), started_(started), version_(std::move(version)) {}

std::string ChainMetrics::text() const {
  using Labels = qor::MetricFamilies::Labels;
  qor::MetricFamilies metrics;
  std::set<std::string> unhealthy;
  for (const auto& problem : qor::ChainHealth::problems()) unhealthy.insert(problem.block);

  qor::BlockChain::instance().all_of([&](qor::Block* block) {
    const Labels labels = {{"block", block->name()}, {"type", type_of_(block->name())}};
    const qor::BlockStats& stats = block->stats();
    metrics.add("weft_block_messages_in_total", "counter",
                "Messages the block took in: from its input ports, or from its plane", labels,
                static_cast<double>(stats.in()));
    metrics.add("weft_block_messages_out_total", "counter",
                "Messages the block handed on: to the next block, or to its plane or output",
                labels, static_cast<double>(stats.out()));
    for (size_t i = 0; i < qor::kDropReasons; ++i) {
      const auto reason = static_cast<qor::DropReason>(i);
      Labels with_reason = labels;
      with_reason.emplace_back("reason", qor::drop_reason_name(reason));
      metrics.add("weft_block_messages_dropped_total", "counter",
                  "Messages the block let go, by reason: overflow (no room downstream), "
                  "bad_input (unreadable), budget (queue full), refused (by the plane)",
                  with_reason, static_cast<double>(stats.dropped(reason)));
    }
    metrics.add("weft_block_errors_total", "counter",
                "Processing errors: failed calls to the plane, errors escaping the block's loop",
                labels, static_cast<double>(stats.errors()));
    metrics.add("weft_block_healthy", "gauge",
                "1 while the block is healthy (connected, and not silent beyond max_idle_s)",
                labels, unhealthy.count(block->name()) == 0 ? 1 : 0);
    for (const auto& entry : block->ports()) {
      qor::Port* source = entry.second;
      if (source->is_input()) continue;
      for (size_t i = 0; i < source->connection_count(); ++i) {
        qor::Port* sink = source->connection(i);
        if (sink == nullptr || sink->owner() == nullptr) continue;
        const Labels link = {{"source", block->name() + ":" + source->name()},
                             {"sink", sink->owner()->name() + ":" + sink->name()}};
        metrics.add("weft_link_messages", "gauge", "Messages waiting in a link between two blocks",
                    link, static_cast<double>(sink->queued()));
        metrics.add("weft_link_capacity", "gauge", "Messages a link holds at most", link,
                    static_cast<double>(sink->capacity()));
      }
    }
    block->add_metrics(metrics);
    return true;
  });

  metrics.add("weft_uptime_seconds", "gauge", "Seconds since the program started", {},
              std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count());
  metrics.add("weft_build_info", "gauge", "The program's version", {{"version", version_}}, 1);
  return metrics.text();
}
