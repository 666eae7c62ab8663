#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "zeb/plane_stats.h"

// The connection state of every MQTT plane in the process, by plane id (plane
// ids are unique in a program). Shared by all transports of the plug-in, so a
// transport that only answers health questions sees the connections another one
// opened. Every function takes the table's own lock.

// Records the outcome of a connection attempt, or a lost connection. A
// connection made after one was up counts as a reconnection.
void mqtt_plane_health_set(const std::string& plane, bool connected);
// Forgets the plane when its connection is closed for good.
void mqtt_plane_health_forget(const std::string& plane);
// False only while a connection to the plane was attempted and is not up.
bool mqtt_plane_healthy(const std::string& plane);

// Names the function that counts the plane's unconfirmed publishes; an empty
// function takes it away. The function is only called under the table's lock,
// so once this returns after taking it away, it is never called again.
void mqtt_plane_pending_source(const std::string& plane, std::function<int64_t()> source);
// The plane's figures; false when no connection of the plane was attempted.
bool mqtt_plane_stats(const std::string& plane, zeb::PlaneStats* out);
