#pragma once

#include <string>

#include "framework/metric_families.h"
#include "zeb/connection_mapping.h"

// Adds the figures the transport keeps for `plane` (reached through
// `node_ref` in `mapping`) to a scrape: connection state, reconnections,
// unconfirmed publishes and subscribed items, each only when the transport
// tracks it. Nothing when the transport keeps no figures or has no connection
// for the plane yet. Any thread the mapping allows.
void add_plane_metrics(qor::MetricFamilies& metrics, const std::string& plane,
                       zeb::ConnectionMapping& mapping, const std::string& node_ref);
