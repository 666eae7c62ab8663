/* A client of libzeb built from the libzeb-dev package alone, for
 * check-package.sh: subscribes to one topic on the broker at 127.0.0.1:<port>
 * and prints the first message that arrives. Exits 0 after one message, 1 when
 * none came within 15 s or the library refused a step. The MQTT plug-in is the
 * one libzeb finds by itself, as no search path is given. */
#define _POSIX_C_SOURCE 200809L

#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "zeb/zeb.h"

static atomic_int received;

/* Runs on the MQTT network thread; owns msg. */
static void on_message(const char* plane, const char* topic, zeb_msg* msg, void* user) {
  (void)plane;
  (void)user;
  printf("received on %s: %.*s\n", topic, (int)msg->len, msg->data);
  fflush(stdout);
  zeb_free_msg(msg);
  atomic_store(&received, 1);
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s <broker port> <topic>\n", argv[0]);
    return 1;
  }
  char source[512];
  snprintf(source, sizeof source,
           "{\"info\":{\"file_version\":1.0},"
           "\"config\":{\"broker\":{\"transport_addr\":\"mqtt-tcp://127.0.0.1:%d\"}},"
           "\"mapping\":[[\"broker\",\"sub\",\"(.*)\",\"$1\"]]}",
           atoi(argv[1]));
  zeb_create_stdout_log("subscriber");
  zeb_registry* registry = NULL;
  int status = zeb_make_registry("subscriber", source, &registry);
  if (status < 1000) {
    fprintf(stderr, "registry: %d %s\n", status, zeb_status_to_str(status));
    return 1;
  }
  zeb_client* client = NULL;
  status = zeb_make_client("subscriber", registry, &client);
  if (status == 200) status = zeb_sub(client, argv[2], on_message, NULL);
  int result = 1;
  if (status != 200) {
    fprintf(stderr, "subscribe: %d %s\n", status, zeb_status_to_str(status));
  } else {
    const struct timespec tenth = {0, 100 * 1000 * 1000};
    for (int i = 0; i < 150 && !atomic_load(&received); ++i) nanosleep(&tenth, NULL);
    result = atomic_load(&received) ? 0 : 1;
  }
  zeb_free_client(client);
  zeb_free_registry(registry);
  return result;
}
