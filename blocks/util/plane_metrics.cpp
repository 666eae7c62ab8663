#include "blocks/util/plane_metrics.h"

#include "zeb/status.h"

void add_plane_metrics(qor::MetricFamilies& metrics, const std::string& plane,
                       zeb::ConnectionMapping& mapping, const std::string& node_ref) {
  zeb::PlaneStats stats;
  if (mapping.get_stats(node_ref.c_str(), &stats) != zeb::kSuccess) return;
  const qor::MetricFamilies::Labels labels = {{"plane", plane}};
  if (stats.connected >= 0) {
    metrics.add("weft_plane_connected", "gauge",
                "1 while the plane's connection is up, 0 while it is down", labels,
                stats.connected);
  }
  if (stats.reconnects >= 0) {
    metrics.add("weft_plane_reconnects_total", "counter",
                "Connections made again after the plane's connection was lost", labels,
                static_cast<double>(stats.reconnects));
  }
  if (stats.publishes_pending >= 0) {
    metrics.add("weft_plane_publishes_pending", "gauge",
                "Publishes sent and not yet acknowledged by the broker", labels,
                static_cast<double>(stats.publishes_pending));
  }
  if (stats.items_created >= 0) {
    metrics.add("weft_plane_monitored_items", "gauge",
                "OPC UA monitored items by state: created at the server, or failing "
                "(refused, or waiting to be created again)",
                {{"plane", plane}, {"state", "created"}}, static_cast<double>(stats.items_created));
  }
  if (stats.items_failing >= 0) {
    metrics.add("weft_plane_monitored_items", "gauge", "", {{"plane", plane}, {"state", "failing"}},
                static_cast<double>(stats.items_failing));
  }
}
