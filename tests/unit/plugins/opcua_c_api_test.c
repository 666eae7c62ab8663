/* get, set and sub on an OPC UA plane through the flat C interface. The
 * server's URL is the first argument (the runner in opcua_transport_test.cpp
 * starts the server); plug-ins are found on ZEB_EXT_LIB_PATH. Exit status 0
 * when every check passed. */
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "zeb/zeb.h"

static int failures = 0;

#define CHECK(cond)                                                            \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                              \
    }                                                                          \
  } while (0)

/* The 24-byte value record handed to zeb_set for OPC UA planes. */
struct value_record {
  int32_t type_code;
  uint32_t padding;
  uint64_t value_length;
  const void* value;
};

struct received {
  atomic_int count;
  atomic_int bad;
};

static void on_value(const char* plane, const char* topic, zeb_msg* msg, void* user) {
  struct received* got = (struct received*)user;
  static const char prefix[] = "{\"type\":\"int32\",\"val\":";
  if (plane == NULL || strcmp(topic, "ns=1;s=Counter") != 0 ||
      strncmp(msg->data, prefix, sizeof prefix - 1) != 0 || msg->data[msg->len] != '\0') {
    atomic_fetch_add(&got->bad, 1);
  }
  atomic_fetch_add(&got->count, 1);
  zeb_free_msg(msg);
}

static void sleep_ms(long ms) {
  struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&pause, NULL);
}

/* Status of a get; the payload copied into text. */
static int get_text(zeb_client* client, const char* ref, char* text, size_t size) {
  zeb_msg* msg = NULL;
  const int status = zeb_get(client, ref, &msg);
  text[0] = '\0';
  if (msg != NULL) {
    snprintf(text, size, "%s", msg->data);
    CHECK(zeb_free_msg(msg) == 1);
  }
  return status;
}

int main(int argc, char** argv) {
  char registry_text[1024];
  char text[256];
  zeb_registry* reg = NULL;
  zeb_client* client = NULL;
  struct received got;
  int32_t value = 1234;
  struct value_record record;
  int waited;

  if (argc < 2) {
    fprintf(stderr, "usage: %s opc.tcp://host:port\n", argv[0]);
    return 2;
  }
  snprintf(registry_text, sizeof registry_text,
           "{\"info\":{\"file_version\":1.0},"
           "\"config\":{\"p\":{\"transport_addr\":\"%s\",\"publishing_interval_ms\":100}},"
           "\"mapping\":[[\"p\",\"get,sub\",\"(.+)\",\"/json?$1\"],[\"p\",\"set\",\"(.+)\",\"\"]]}",
           argv[1]);
  CHECK(zeb_make_registry("", registry_text, &reg) == 1001);
  CHECK(zeb_make_client("", reg, &client) == 200);
  if (reg == NULL || client == NULL) return 1;

  CHECK(get_text(client, "ns=1;s=ReadOnly.Int32", text, sizeof text) == 200);
  CHECK(strcmp(text, "{\"type\":\"int32\",\"val\":-32}") == 0);
  CHECK(get_text(client, "ns=1;s=Missing", text, sizeof text) == 404);
  CHECK(text[0] == '\0');

  record.type_code = 5; /* int32 */
  record.padding = 0;
  record.value_length = sizeof value;
  record.value = &value;
  CHECK(zeb_set(client, "ns=1;s=Int32", (char*)&record, sizeof record) == 200);
  CHECK(get_text(client, "ns=1;s=Int32", text, sizeof text) == 200);
  CHECK(strcmp(text, "{\"type\":\"int32\",\"val\":1234}") == 0);
  record.type_code = 10; /* double into an Int32 node */
  CHECK(zeb_set(client, "ns=1;s=Int32", (char*)&record, sizeof record) == 400);

  atomic_init(&got.count, 0);
  atomic_init(&got.bad, 0);
  CHECK(zeb_sub(client, "ns=1;s=Counter", on_value, &got) == 200);
  for (waited = 0; waited < 100 && atomic_load(&got.count) < 3; ++waited) sleep_ms(100);
  CHECK(atomic_load(&got.count) >= 3);
  CHECK(atomic_load(&got.bad) == 0);

  zeb_free_client(client);
  zeb_free_registry(reg);
  if (failures == 0) printf("opcua C interface: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
