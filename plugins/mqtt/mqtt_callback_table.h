#pragma once

#include <mosquitto.h>

class MQTTCallbackHandler;

// The process-wide table from libmosquitto handle to the handler of its
// connection, through which the one message callback finds its handler. Owns
// nothing; every function takes the table's own lock, never held while a
// handler runs.
void add_callback_handler(mosquitto* mosq, MQTTCallbackHandler* handler);
MQTTCallbackHandler* remove_callback(mosquitto* mosq);
void message_callback(mosquitto* mosq, void* obj, const mosquitto_message* msg);
// libmosquitto's completion of a publish; `obj` is the connection's handler.
void publish_callback(mosquitto* mosq, void* obj, int mid);
