#include "caller_reply.h"

#include <cstring>
#include <memory>
#include <new>

#include "exchange.h"

namespace zunra {
namespace {

// One thread's reply. Short replies (most of them) live in the thread's own
// storage; a long one gets a block of its size, kept for the next long reply
// while that fills at least half of it, so a thread that once read a 3 MB
// log does not keep 3 MB for the short replies that follow. The block goes
// when the thread ends.
class ThreadReply {
 public:
  const char* keep(const char* text, std::size_t length) noexcept {
    const std::size_t need = length + 1;
    char* to = room_for(need);
    if (!to) return nullptr;
    std::memcpy(to, text, length);
    to[length] = '\0';
    return to;
  }
  // Room for a short text such as a fallback reply.
  char* short_room(std::size_t& size) {
    size = sizeof short_;
    return short_;
  }

 private:
  char* room_for(std::size_t need) noexcept {
    if (need <= sizeof short_) {
      long_.reset();
      capacity_ = 0;
      return short_;
    }
    if (need <= capacity_ && need > capacity_ / 2) return long_.get();
    long_.reset(new (std::nothrow) char[need]);
    capacity_ = long_ ? need : 0;
    return long_.get();
  }

  char short_[256];
  std::unique_ptr<char[]> long_;
  std::size_t capacity_ = 0;
};

thread_local ThreadReply t_reply;

}  // namespace

const char* reply_for_caller(int session, const char* failure_code, bool with_0000) noexcept {
  if (const char* copy = t_reply.keep(BC.data, strnlen(BC.data, kReplyCapacity))) return copy;
  return fallback_for_caller(session, failure_code, with_0000);
}

const char* fallback_for_caller(int session, const char* failure_code, bool with_0000) noexcept {
  std::size_t size = 0;
  char* to = t_reply.short_room(size);
  format_fallback(to, size, session, failure_code, with_0000);
  return to;
}

}  // namespace zunra
