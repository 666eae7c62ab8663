/* The C interface used from a C program: a registry from inline JSON, a client,
 * publish and subscribe through the loopback plug-in (found on
 * ZEB_EXT_LIB_PATH), set and get, and the error codes of null handles. */
#include <stdio.h>
#include <string.h>

#include "zeb/zeb.h"

static int failures = 0;

#define CHECK(cond)                                                            \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                              \
    }                                                                          \
  } while (0)

struct received {
  int count;
  size_t len;
  char payload[64];
  char topic[64];
  char plane[16];
  int freed;
};

static void on_message(const char* plane, const char* topic, zeb_msg* msg, void* user) {
  struct received* got = (struct received*)user;
  ++got->count;
  got->len = msg->len;
  if (msg->len < sizeof got->payload) memcpy(got->payload, msg->data, msg->len + 1);
  snprintf(got->topic, sizeof got->topic, "%s", topic);
  snprintf(got->plane, sizeof got->plane, "%s", plane != NULL ? plane : "(null)");
  got->freed = zeb_free_msg(msg);
}

struct completion {
  int count;
  uint64_t tag;
  int status;
};

static void on_done(void* user, uint64_t tag, int status) {
  struct completion* done = (struct completion*)user;
  ++done->count;
  done->tag = tag;
  done->status = status;
}

static const char kRegistry[] =
    "{\"info\":{\"file_version\":1.0},"
    "\"config\":{\"p\":{\"transport_addr\":\"loop://local\"}},"
    "\"mapping\":[[\"p\",\"pub,sub\",\"c/(.*)\",\"loop/$1\"],[\"p\",\"get,set\",\"kv/.*\",\"\"]]}";

int main(void) {
  zeb_registry* reg = NULL;
  zeb_client* client = NULL;
  struct received got;
  char payload[] = "{\"temperature\":21.5}";
  char value[] = "abc";
  zeb_msg* msg = NULL;

  memset(&got, 0, sizeof got);
  zeb_create_stdout_log("c_api");

  CHECK(zeb_make_registry("c_api", kRegistry, &reg) == 1001);
  CHECK(reg != NULL);
  CHECK(zeb_make_client("c_api", reg, &client) == 200);
  CHECK(client != NULL);
  if (reg == NULL || client == NULL) return 1;

  CHECK(zeb_sub(client, "c/sensor", on_message, &got) == 200);
  CHECK(zeb_pub(client, "c/sensor", payload, strlen(payload)) == 200);
  CHECK(got.count == 1);
  CHECK(got.len == strlen(payload));
  CHECK(strcmp(got.payload, payload) == 0);
  CHECK(strcmp(got.topic, "loop/sensor") == 0);
  CHECK(strcmp(got.plane, "p") == 0);
  CHECK(got.freed == 1);

  {
    struct completion done;
    memset(&done, 0, sizeof done);
    CHECK(zeb_pub_tracked(client, "c/sensor", payload, strlen(payload), on_done, &done, 77) == 200);
    CHECK(got.count == 2);
    CHECK(done.count == 1);
    CHECK(done.tag == 77);
    CHECK(done.status == 200);
    CHECK(zeb_pub_tracked(client, "c/sensor", payload, 1, NULL, &done, 78) == -9);
    CHECK(zeb_pub_tracked(NULL, "c/sensor", payload, 1, on_done, &done, 79) == -15);
    CHECK(zeb_pub_tracked(client, "kv/a", payload, 1, on_done, &done, 80) == -1);
    CHECK(done.count == 1);
  }

  CHECK(zeb_set(client, "kv/a", value, 3) == 200);
  CHECK(zeb_get(client, "kv/a", &msg) == 200);
  CHECK(msg != NULL);
  if (msg != NULL) {
    CHECK(msg->len == 3);
    CHECK(memcmp(msg->data, "abc", 4) == 0);
    CHECK(msg->transport != NULL);
    CHECK(zeb_free_msg(msg) == 1);
  }
  msg = NULL;
  CHECK(zeb_get(client, "c/sensor", &msg) == -1);
  CHECK(msg == NULL);

  CHECK(zeb_reg_add_conn(reg, "q", "{\"transport_addr\":\"loop://q\"}") == 200);
  CHECK(zeb_reg_add_conn(reg, "q", "{\"qos\":1}") == 400);
  CHECK(zeb_reg_add_rule(reg, "q", ZEB_METHOD_PUB, "q/.*", NULL) == 200);
  CHECK(zeb_reg_add_rule(reg, "missing", ZEB_METHOD_PUB, "q/.*", NULL) == 400);

  CHECK(zeb_pub(NULL, "c/sensor", payload, 1) == -15);
  CHECK(zeb_sub(NULL, "c/sensor", on_message, &got) == -15);
  CHECK(zeb_get(NULL, "kv/a", &msg) == -15);
  CHECK(zeb_set(NULL, "kv/a", value, 1) == -15);
  CHECK(zeb_reg_add_conn(NULL, "q", "{}") == -16);
  CHECK(zeb_reg_add_rule(NULL, "q", 1, "x", "") == -16);
  CHECK(zeb_free_msg(NULL) == 1);
  CHECK(strcmp(zeb_status_to_str(-16), "Null registry handle") == 0);

  zeb_free_client(client);
  zeb_free_registry(reg);

  reg = (zeb_registry*)&got;
  CHECK(zeb_make_registry(NULL,
                          "{\"info\":{\"file_version\":1},"
                          "\"config\":{\"p\":{\"transport_addr\":\"loop://x\"}}}",
                          &reg) == -1006);
  CHECK(reg == NULL);
  client = (zeb_client*)&got;
  CHECK(zeb_make_client(NULL, NULL, &client) == -11);
  CHECK(client == NULL);
  CHECK(zeb_make_registry(NULL, kRegistry, NULL) == -9);
  CHECK(zeb_make_client(NULL, NULL, NULL) == -9);
  zeb_free_client(NULL);
  zeb_free_registry(NULL);

  if (failures != 0) fprintf(stderr, "%d check(s) failed\n", failures);
  return failures != 0;
}
