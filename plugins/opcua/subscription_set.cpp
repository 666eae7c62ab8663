#include "subscription_set.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "decode_error.h"
#include "status_mapping.h"
#include "zeb/log.h"
#include "zeb/status.h"

namespace {

using std::chrono::milliseconds;

// Monitored items per CreateMonitoredItems request when the server states no
// limit of its own, and at most when it states a larger one: a busy server
// answers ten thousand at once only after seconds, beyond the request
// timeout, while a thousand take it well under one.
constexpr size_t kDefaultItemsPerCall = 500;
constexpr size_t kMostItemsPerCall = 1000;
// Server_ServerCapabilities_OperationLimits_MaxMonitoredItemsPerCall and
// Server_ServerCapabilities_MaxMonitoredItemsPerSubscription.
constexpr uint32_t kMaxMonitoredItemsPerCallNode = 11714;
constexpr uint32_t kMaxMonitoredItemsPerSubscriptionNode = 24104;

std::string dump(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

SubscriptionSet::SubscriptionSet(std::string plane_id, const PlaneOptions& options, void* log,
                                 OpcuaSession& session, const std::atomic<bool>& ready,
                                 const std::atomic<bool>& stop)
    : plane_id_(std::move(plane_id)),
      options_(options),
      log_(log),
      session_(session),
      ready_(ready),
      stop_(stop) {}

// ---- connection thread -------------------------------------------------------

bool SubscriptionSet::start(bool resumed, std::string* error) {
  // A new server may hold other limits than the last.
  publish_target_ = static_cast<size_t>(options_.publish_requests);
  publish_limit_ = static_cast<size_t>(options_.max_publish_requests);
  items_per_call_ = kDefaultItemsPerCall;
  try {
    if (!read_limits(error)) return false;
    bool restored = false;
    if (resumed && !restore(error, &restored)) return false;
    if (!restored) {
      resumable_.clear();
      std::lock_guard<std::mutex> guard(items_lock_);
      for (auto& [handle, item] : items_by_handle_) item->restorable = false;
    }
    if (subscriptions_.empty() && !add_subscription(error)) return false;
  } catch (const DecodeError& e) {
    *error = std::string("malformed response: ") + e.what();
    zeb::log_error(log_, "OPC UA: %s from %s", error->c_str(), options_.endpoint_url.c_str());
    return false;
  }
  if (!retry_items(true, error)) return false;
  last_alive_ = Clock::now();
  return true;
}

void SubscriptionSet::reset() {
  ++generation_;
  publish_ids_.clear();
  acks_.clear();
  {
    if (!subscriptions_.empty()) resumable_ = subscriptions_;
    subscriptions_.clear();
    items_per_subscription_ = 0;
  }
  const auto now = Clock::now();
  std::lock_guard<std::mutex> guard(items_lock_);
  next_retry_ = now;
  for (auto& [handle, item] : items_by_handle_) {
    if (item->state == ItemState::kActive) {
      item->state = ItemState::kPending;
      item->restorable = true;
      item->retry_at = now;
      item->attempts = 0;
    }
  }
}

bool SubscriptionSet::restore(std::string* error, bool* restored) {
  *restored = false;
  if (resumable_.empty()) return true;
  std::vector<uint32_t> ids;
  for (const Subscription& subscription : resumable_) ids.push_back(subscription.id);
  std::vector<uint8_t> body;
  ByteReader reader(nullptr, 0);
  std::string refused;
  if (!session_.set_up_step(
          [&ids](ByteWriter& w, const ServiceCodec::RequestHeader& h) {
            ServiceCodec::set_publishing_mode(w, h, ids);
          },
          false, ServiceCodec::kSetPublishingModeResponse, "SetPublishingMode", &body, &reader,
          &refused)) {
    if (session_.is_open()) return true;
    *error = refused;
    return false;
  }
  const std::vector<uint32_t> results = ServiceCodec::decode_set_publishing_mode(reader);
  if (results.size() != ids.size()) return true;
  for (uint32_t result : results) {
    if (StatusMapping::is_bad(result)) return true;
  }
  { subscriptions_ = std::move(resumable_); }
  resumable_.clear();
  std::lock_guard<std::mutex> guard(items_lock_);
  for (auto& [handle, item] : items_by_handle_) {
    if (item->restorable && item->state == ItemState::kPending) item->state = ItemState::kActive;
    item->restorable = false;
  }
  *restored = true;
  return true;
}

bool SubscriptionSet::read_limits(std::string* error) {
  const std::vector<NodeId> nodes{NodeId::numeric(0, kMaxMonitoredItemsPerCallNode),
                                  NodeId::numeric(0, kMaxMonitoredItemsPerSubscriptionNode)};
  std::vector<uint8_t> body;
  if (!session_.transact(
          [&nodes](ByteWriter& w, const ServiceCodec::RequestHeader& h) {
            ServiceCodec::read_values(w, h, nodes);
          },
          false, options_.timeout_ms, &body, error)) {
    return false;
  }
  ByteReader reader(body.data(), body.size());
  const ServiceCodec::ResponseHeader h = ServiceCodec::decode_header(reader);
  // A server refusing the Read keeps the defaults; nodes it lacks come back
  // with a bad status and count as no limit.
  if (StatusMapping::is_bad(h.service_result) || h.type_id != ServiceCodec::kReadResponse) {
    return true;
  }
  const std::vector<VariantCodec::DataValue> values = ServiceCodec::decode_read_values(reader);
  const auto limit = [&values](size_t i) -> uint64_t {
    if (i >= values.size() || !values[i].has_value || StatusMapping::is_bad(values[i].status)) {
      return 0;
    }
    const nlohmann::json& val = values[i].value["val"];
    return val.is_number_unsigned() ? val.get<uint64_t>() : 0;
  };
  const uint64_t per_call = limit(0);
  items_per_call_ = per_call > 0
                        ? static_cast<size_t>(std::min<uint64_t>(per_call, kMostItemsPerCall))
                        : kDefaultItemsPerCall;
  items_per_subscription_ = static_cast<size_t>(limit(1));
  return true;
}
bool SubscriptionSet::add_subscription(std::string* error) {
  ServiceCodec::SubscriptionParameters requested;
  requested.publishing_interval = options_.publishing_interval_ms;
  requested.keep_alive_count = static_cast<uint32_t>(options_.keep_alive_count);
  requested.lifetime_count = static_cast<uint32_t>(options_.lifetime_count);
  std::vector<uint8_t> body;
  ByteReader reader(nullptr, 0);
  try {
    if (!session_.set_up_step(
            [&requested](ByteWriter& w, const ServiceCodec::RequestHeader& rh) {
              ServiceCodec::create_subscription(w, rh, requested);
            },
            false, ServiceCodec::kCreateSubscriptionResponse, "CreateSubscription", &body, &reader,
            error)) {
      return false;
    }
    const ServiceCodec::CreateSubscriptionResult subscription =
        ServiceCodec::decode_create_subscription(reader);
    // The first subscription's keep-alives prove the connection alive.
    if (subscriptions_.empty()) {
      revised_ = subscription.revised;
      revised_.publishing_interval = std::max(revised_.publishing_interval, 1.0);
      revised_.keep_alive_count = std::max<uint32_t>(revised_.keep_alive_count, 1);
    }
    subscriptions_.push_back({subscription.subscription_id, 0, false});
  } catch (const DecodeError& e) {
    *error = std::string("malformed response: ") + e.what();
    zeb::log_error(log_, "OPC UA: %s from %s", error->c_str(), options_.endpoint_url.c_str());
    return false;
  }
  return true;
}

uint32_t SubscriptionSet::reserve_slot() {
  for (Subscription& subscription : subscriptions_) {
    if (subscription.full) continue;
    if (items_per_subscription_ != 0 && subscription.items >= items_per_subscription_) continue;
    ++subscription.items;
    return subscription.id;
  }
  return 0;
}

bool SubscriptionSet::release_slot(uint32_t subscription_id, bool full) {
  for (Subscription& subscription : subscriptions_) {
    if (subscription.id != subscription_id) continue;
    if (subscription.items > 0) --subscription.items;
    // A refusal in an empty subscription is a limit of the whole server,
    // which another subscription would not lift.
    if (full && subscription.items > 0) {
      subscription.full = true;
      return true;
    }
    return false;
  }
  return false;
}

bool SubscriptionSet::handle_publish(const std::vector<uint8_t>& body, std::string* error) {
  ByteReader r(body.data(), body.size());
  const ServiceCodec::ResponseHeader h = ServiceCodec::decode_header(r);
  if (StatusMapping::is_bad(h.service_result)) {
    const uint32_t code = StatusMapping::code(h.service_result);
    if (StatusMapping::connection_lost(h.service_result) ||
        code == StatusMapping::kBadNoSubscription) {
      *error = "Publish refused: " + StatusMapping::hex(h.service_result);
      return false;
    }
    // The requests the server still holds are all it takes. Some of ours may
    // still be on their way when it says so, so each further refusal of the
    // burst lowers the limit again, until the window fits.
    if (code == StatusMapping::kBadTooManyPublishRequests) {
      const size_t held = std::max<size_t>(1, publish_ids_.size());
      if (held < publish_limit_) {
        publish_limit_ = held;
        zeb::log_debug(log_, "OPC UA: %s holds at most %zu Publish requests",
                       options_.endpoint_url.c_str(), publish_limit_);
      }
      publish_target_ = std::min(publish_target_, publish_limit_);
    }
    // Other faults (BadTimeout) end only that request; a new one replaces it.
    return true;
  }
  if (h.type_id != ServiceCodec::kPublishResponse) throw DecodeError("unexpected response type");
  ServiceCodec::PublishResult result;
  try {
    result = ServiceCodec::decode_publish(r);
  } catch (const DecodeTooLarge& e) {
    // The channel is sound; only these changes are lost. Unacknowledged, the
    // server keeps them for a while and then lets them go.
    zeb::log_error(log_, "OPC UA: data changes from %s refused: %s", options_.endpoint_url.c_str(),
                   e.what());
    last_alive_ = Clock::now();
    return true;
  }
  last_alive_ = Clock::now();
  if (result.has_data) acks_.push_back({result.subscription_id, result.sequence_number});
  if (result.more_notifications) {
    publish_target_ = std::min(publish_target_ + 1, publish_limit_);
  } else if (!result.has_data) {
    publish_target_ = std::max(publish_target_ - 1, static_cast<size_t>(options_.publish_requests));
  }
  if (result.status_changed && StatusMapping::is_bad(result.status_change)) {
    *error = "subscription ended by the server: " + StatusMapping::hex(result.status_change);
    return false;
  }
  for (const ServiceCodec::ItemNotification& item : result.items) deliver(item);
  return true;
}

bool SubscriptionSet::send_publishes(std::string* error) {
  const double window = revised_.publishing_interval * revised_.keep_alive_count;
  // Requests queue at the server; the last must outlive all keep-alives before it.
  const uint32_t hint =
      static_cast<uint32_t>(std::min(window * static_cast<double>(publish_target_ + 1), 4.0e9));
  while (publish_ids_.size() < publish_target_) {
    const uint32_t id = session_.next_request_id();
    ByteWriter w;
    ServiceCodec::publish(w, session_.header(id, hint), acks_);
    if (session_.channel().send_message(id, w.bytes()) != zeb::kSuccess) {
      *error = "cannot send Publish";
      return false;
    }
    acks_.clear();
    publish_ids_.push_back(id);
  }
  return true;
}

bool SubscriptionSet::retry_items(bool all, std::string* error) {
  const auto now = Clock::now();
  std::vector<std::shared_ptr<Item>> due;
  {
    std::lock_guard<std::mutex> guard(items_lock_);
    // Most turns have nothing due; the table is walked only when something is.
    if (!all && now < next_retry_) return true;
    next_retry_ = Clock::time_point::max();
    for (auto& [handle, item] : items_by_handle_) {
      if (item->state != ItemState::kPending) continue;
      if (all || item->retry_at <= now) {
        due.push_back(item);
      } else {
        next_retry_ = std::min(next_retry_, item->retry_at);
      }
    }
  }
  if (due.empty()) return true;
  const uint64_t generation = generation_;
  ServiceCodec::MonitoringParameters parameters;
  parameters.sampling_interval = options_.sampling_interval_ms;
  parameters.queue_size = static_cast<uint32_t>(options_.queue_size);

  size_t next = 0;
  while (next < due.size()) {
    // One batch: items of one subscription, no more than the server takes per call.
    std::vector<ServiceCodec::ItemToCreate> batch;
    uint32_t subscription_id = 0;
    while (batch.size() < items_per_call_ && next + batch.size() < due.size()) {
      const uint32_t id = reserve_slot();
      if (id == 0 || (subscription_id != 0 && id != subscription_id)) {
        if (id != 0) release_slot(id, false);
        if (id != 0 || !batch.empty()) break;
        if (!add_subscription(error)) return false;
        continue;
      }
      subscription_id = id;
      const Item& item = *due[next + batch.size()];
      batch.push_back({item.node, item.handle});
    }
    if (batch.empty()) return true;
    const size_t first = next;
    next += batch.size();
    std::vector<uint8_t> body;
    if (!session_.transact(
            [&](ByteWriter& w, const ServiceCodec::RequestHeader& h) {
              ServiceCodec::create_monitored_items(w, h, subscription_id, batch, parameters);
            },
            false, options_.timeout_ms, &body, error)) {
      return false;
    }
    std::vector<ServiceCodec::ItemResult> results;
    try {
      ByteReader r(body.data(), body.size());
      const ServiceCodec::ResponseHeader h = ServiceCodec::decode_header(r);
      if (StatusMapping::is_bad(h.service_result)) {
        if (StatusMapping::connection_lost(h.service_result)) {
          *error = "CreateMonitoredItems refused: " + StatusMapping::hex(h.service_result);
          return false;
        }
        // A server whose limit per call we could not read halves the batch.
        if (StatusMapping::code(h.service_result) == StatusMapping::kBadTooManyOperations &&
            batch.size() > 1) {
          items_per_call_ = batch.size() / 2;
          for (size_t i = 0; i < batch.size(); ++i) release_slot(subscription_id, false);
          next = first;
          continue;
        }
        results.assign(batch.size(), ServiceCodec::ItemResult{h.service_result, 0});
      } else {
        results = ServiceCodec::decode_create_monitored_items(r);
      }
    } catch (const DecodeError& e) {
      *error = std::string("malformed response: ") + e.what();
      zeb::log_error(log_, "OPC UA: %s from %s", error->c_str(), options_.endpoint_url.c_str());
      return false;
    }
    for (size_t i = 0; i < batch.size(); ++i) {
      const uint32_t status = i < results.size()
                                  ? results[i].status
                                  : static_cast<uint32_t>(StatusMapping::kBadTooManyOperations);
      Item& item = *due[first + i];
      const bool good = !StatusMapping::is_bad(status) && generation == generation_;
      const bool full =
          !good && release_slot(subscription_id, StatusMapping::code(status) ==
                                                     StatusMapping::kBadTooManyMonitoredItems);
      std::lock_guard<std::mutex> guard(items_lock_);
      if (good) {
        item.state = ItemState::kActive;
        item.attempts = 0;
        continue;
      }
      // A full subscription is no fault of the item: it goes into the next one.
      if (full) {
        item.retry_at = Clock::now();
      } else {
        ++item.attempts;
        item.retry_at = Clock::now() + milliseconds(options_.backoff_ms(item.attempts));
      }
      next_retry_ = std::min(next_retry_, item.retry_at);
      if (full) continue;
      zeb::log_warn(log_, "OPC UA: monitored item %s refused by %s: %s; retrying",
                    item.topic.c_str(), options_.endpoint_url.c_str(),
                    StatusMapping::hex(status).c_str());
    }
    // Creating tens of thousands of items takes many calls; the items already
    // created must go on reporting meanwhile.
    if (!send_publishes(error)) return false;
  }
  return true;
}

void SubscriptionSet::deliver(const ServiceCodec::ItemNotification& notification) {
  // Once stopping, subscribers may already be gone.
  if (stop_) return;
  std::string topic;
  zeb::Transport* owner = nullptr;
  zeb::MessageCallback callback = nullptr;
  void* user = nullptr;
  std::lock_guard<std::mutex> delivering(delivery_lock_);
  {
    std::lock_guard<std::mutex> guard(items_lock_);
    const auto found = items_by_handle_.find(notification.client_handle);
    if (found == items_by_handle_.end()) return;
    topic = found->second->topic;
    owner = found->second->owner;
    callback = found->second->callback;
    user = found->second->user;
  }
  const VariantCodec::DataValue& value = notification.value;
  if (!value.has_value) {
    if (StatusMapping::is_bad(value.status)) {
      zeb::log_warn(log_, "OPC UA: %s reports status %s", topic.c_str(),
                    StatusMapping::hex(value.status).c_str());
    }
    return;
  }
  const std::string text = dump(value.value);
  auto* data = static_cast<char*>(std::malloc(text.size() + 1));
  if (data == nullptr) {
    zeb::log_error(log_, "OPC UA: no memory for a value of %s", topic.c_str());
    return;
  }
  std::memcpy(data, text.c_str(), text.size() + 1);
  // The OPC UA blocks release the payload with free and the record with delete.
  auto* msg = new (std::nothrow) zeb::_Msg{owner, 0, data, text.size()};
  if (msg == nullptr) {
    std::free(data);
    zeb::log_error(log_, "OPC UA: no memory for a value of %s", topic.c_str());
    return;
  }
  try {
    callback(plane_id_.c_str(), topic.c_str(), msg, user);
  } catch (...) {
    zeb::log_error(log_, "OPC UA: the subscriber of %s threw", topic.c_str());
  }
}

void SubscriptionSet::count_items(int64_t* created, int64_t* waiting) {
  *created = 0;
  *waiting = 0;
  std::lock_guard<std::mutex> guard(items_lock_);
  for (const auto& entry : items_by_topic_) {
    if (entry.second->state == ItemState::kActive) ++*created;
    if (entry.second->state == ItemState::kPending) ++*waiting;
  }
}

void SubscriptionSet::forget(zeb::Transport* owner) {
  {
    std::lock_guard<std::mutex> guard(items_lock_);
    for (auto it = items_by_topic_.begin(); it != items_by_topic_.end();) {
      if (it->second->owner == owner) {
        items_by_handle_.erase(it->second->handle);
        it = items_by_topic_.erase(it);
      } else {
        ++it;
      }
    }
  }
  // A delivery that found its item before it went ends here.
  std::lock_guard<std::mutex> delivered(delivery_lock_);
}

int SubscriptionSet::subscribe(zeb::Transport* owner, const std::string& topic, const NodeId& node,
                               zeb::MessageCallback callback, void* user) {
  if (!ready_) return zeb::kConnectionFailed;
  auto item = std::make_shared<Item>();
  item->owner = owner;
  item->topic = topic;
  item->node = node;
  item->callback = callback;
  item->user = user;
  item->retry_at = Clock::now();
  std::lock_guard<std::mutex> guard(items_lock_);
  if (items_by_topic_.count({topic, owner}) != 0) return zeb::kDuplicateSubscription;
  item->handle = next_handle_++;
  // Recorded before the server is asked, so the first value is never without
  // its subscriber.
  items_by_topic_[{topic, owner}] = item;
  items_by_handle_[item->handle] = item;
  next_retry_ = std::min(next_retry_, item->retry_at);
  return zeb::kSuccess;
}

bool SubscriptionSet::active(const std::string& topic) {
  std::lock_guard<std::mutex> guard(items_lock_);
  // Every subscriber's item on the topic, whichever transport instance asks.
  for (auto it = items_by_topic_.lower_bound({topic, nullptr});
       it != items_by_topic_.end() && it->first.first == topic; ++it) {
    if (it->second->state != ItemState::kActive) return false;
  }
  return true;
}

bool SubscriptionSet::alive(Clock::time_point now) {
  const double window = revised_.publishing_interval * revised_.keep_alive_count;
  // A busy server answers late, keep-alives included; it is given as long as
  // any request of ours gets before it counts as gone.
  const double margin = std::max({2000.0, window / 2, static_cast<double>(options_.timeout_ms)});
  const Clock::time_point heard = std::max(last_alive_, session_.channel().last_heard());
  return now - heard <= milliseconds(static_cast<int64_t>(window + margin));
}

bool SubscriptionSet::is_publish(uint32_t request_id) {
  const auto publish = std::find(publish_ids_.begin(), publish_ids_.end(), request_id);
  if (publish == publish_ids_.end()) return false;
  publish_ids_.erase(publish);
  return true;
}
