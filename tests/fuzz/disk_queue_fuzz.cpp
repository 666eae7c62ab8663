// libFuzzer target for the disk-backed queue's reader.
//
// The input becomes the queue directory a crashed or damaged run might leave:
// byte 0 chooses which markers exist, whether a record file 1 exists and the
// budget; bytes 1-2 where the rest splits between record files 0 and 1. The
// queue is opened on it, a few records are pushed, and everything is read
// back, first a few records ahead with `next`, then again from the start
// after `rewind`. Whatever the files hold, the queue must neither crash nor
// allocate what a damaged length claims, and it must stay consistent: every
// peeked record pops with its length + 16, the records pushed come out last and
// in order, reading ahead and going back changes nothing, and nothing is counted
// that cannot be read.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "blocks/queue/disk_queue.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

const char* const kFiles[] = {"0", "1", "0.new", "1.new"};

std::string& directory_path() {
  static std::string dir;
  return dir;
}

void remove_directory() {
  for (const char* name : kFiles) ::unlink((directory_path() + name).c_str());
  ::rmdir(directory_path().c_str());
}

// In memory where there is a tmpfs: every run makes and removes files, and
// freeing disk blocks is slow on some file systems. Removed when the fuzzer
// ends.
const std::string& directory() {
  if (directory_path().empty()) {
    char in_memory[] = "/dev/shm/disk-queue-fuzz-XXXXXX";
    char on_disk[] = "/tmp/disk-queue-fuzz-XXXXXX";
    const char* made = ::mkdtemp(in_memory);
    if (made == nullptr) made = ::mkdtemp(on_disk);
    require(made != nullptr);
    directory_path() = std::string(made) + "/";
    std::atexit(remove_directory);
  }
  return directory_path();
}

void write(const std::string& path, const uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

// Peeks and pops until nothing is left; the texts in order.
std::vector<std::string> drain(DiskQueue& queue) {
  std::vector<std::string> texts;
  for (;;) {
    char* out = nullptr;
    bool found = false;
    const size_t length = queue.peek(&out, &found);
    if (!found) {
      require(length == 0 && out == nullptr);
      break;
    }
    require(out != nullptr);
    texts.emplace_back(out, length);
    std::free(out);
    const uint64_t before = queue.size_bytes();
    require(queue.pop() == length + 16);
    require(queue.size_bytes() == before - length - 16);
  }
  require(queue.pop() == 0);
  return texts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const std::string& dir = directory();
  for (const char* name : kFiles) ::unlink((dir + name).c_str());

  const uint8_t flags = data[0];
  const size_t split = std::min<size_t>(size - 3, data[1] | data[2] << 8);
  write(dir + "0", data + 3, split);
  if (flags & 1) write(dir + "1", data + 3 + split, size - 3 - split);
  if (flags & 2) write(dir + "0.new", nullptr, 0);
  if (flags & 4) write(dir + "1.new", nullptr, 0);
  const uint64_t budget = flags & 8 ? 256 : 8192;

  try {
    DiskQueue queue(dir, budget);
    const uint64_t counted = queue.size_bytes();
    // Pushes that fit are read back after whatever the files held.
    std::vector<std::string> pushed;
    const std::string samples[] = {"", "x", std::string(40, 'y'), std::string(100, 'z')};
    for (const std::string& text : samples) {
      if (queue.push(text.data(), text.size()) != 0) pushed.push_back(text);
    }
    // Reading ahead and going back changes nothing of what is read after.
    std::vector<std::string> ahead;
    std::string text;
    while (ahead.size() < 3 && queue.next(text)) ahead.push_back(text);
    queue.rewind();
    const std::vector<std::string> texts = drain(queue);
    require(texts.size() >= pushed.size() && texts.size() >= ahead.size());
    for (size_t i = 0; i < ahead.size(); ++i) require(texts[i] == ahead[i]);
    uint64_t old_bytes = 0;
    for (size_t i = 0; i < texts.size(); ++i) {
      if (i < texts.size() - pushed.size()) {
        old_bytes += texts[i].size() + 16;
      } else {
        require(texts[i] == pushed[i - (texts.size() - pushed.size())]);
      }
    }
    require(old_bytes == counted);
    require(queue.size_bytes() == 0);
  } catch (const std::runtime_error&) {
    // A file the queue cannot open or make; nothing to read.
  }
  return 0;
}
