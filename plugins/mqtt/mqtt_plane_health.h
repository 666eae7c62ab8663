#pragma once

#include <string>

// The connection state of every MQTT plane in the process, by plane id (plane
// ids are unique in a program). Shared by all transports of the plug-in, so a
// transport that only answers health questions sees the connections another one
// opened. Every function takes the table's own lock.

// Records the outcome of a connection attempt, or a lost connection.
void mqtt_plane_health_set(const std::string& plane, bool connected);
// Forgets the plane when its connection is closed for good.
void mqtt_plane_health_forget(const std::string& plane);
// False only while a connection to the plane was attempted and is not up.
bool mqtt_plane_healthy(const std::string& plane);
