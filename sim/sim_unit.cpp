// Serving a line: the unit's thread waits on the line and its wake-up
// counter, takes frames in and sends output when it is due; a served device
// that hangs up is followed until it comes back. The public calls below only
// change what the thread reads under the lock, then wake it.
#include "sim_unit.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "sim_unit_impl.h"

namespace zunra::sim {

// The gadget was unbound (or the terminal hung up): what was in flight is
// gone with the line. The port is opened again after a pause, so that a
// line that keeps hanging up is retried ten times a second, not in a spin.
bool SimUnit::Impl::follow_device() {
  {
    std::lock_guard<std::mutex> g(mu);
    master.reset();
  }
  input.clear();
  scanned = 0;
  out.clear();
  hang_up_since = {};
  for (;;) {
    pollfd p{wake.get(), POLLIN, 0};
    if (::poll(&p, 1, 100) > 0) {
      uint64_t count;
      if (::read(wake.get(), &count, sizeof count) < 0) { /* nothing pending */
      }
    }
    {
      std::lock_guard<std::mutex> g(mu);
      if (stopping || hang_up_asked) return false;
    }
    if (open_device()) {
      std::lock_guard<std::mutex> g(mu);
      ++reopens;
      return true;
    }
  }
}

void SimUnit::Impl::run() {
  for (;;) {
    bool want_input;
    {
      std::lock_guard<std::mutex> g(mu);
      if (stopping) return;
      if (hang_up_asked) {
        hang_up_asked = false;
        out.clear();
        break;
      }
      want_input = reading;
    }
    if (!flush_output()) return;
    const bool pending = !out.empty();
    const bool due_now = pending && Clock::now() >= due;
    int timeout = -1;
    if (pending && !due_now) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now()).count() + 1;
      timeout = static_cast<int>(std::max<long long>(0, left));
    }
    pollfd fds[2] = {
        {wake.get(), POLLIN, 0},
        {master.get(), static_cast<short>((want_input ? POLLIN : 0) | (due_now ? POLLOUT : 0)), 0}};
    const int r = ::poll(fds, 2, timeout);
    if (r < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents & POLLIN) {
      uint64_t count;
      if (::read(wake.get(), &count, sizeof count) < 0) { /* nothing pending */
      }
    }
    const bool line_down = fds[1].revents & (POLLERR | POLLHUP | POLLNVAL);
    if (!device.empty() && line_down) {
      if (follow_device()) continue;
      break;
    }
    if (fds[1].revents & (POLLERR | POLLNVAL)) return;
    // Frames left unhandled when the unit stopped reading are taken up again.
    if (want_input && !take_input(fds[1].revents & POLLIN)) {
      if (follow_device()) continue;
      break;
    }
  }
  close_line();
}

SimUnit::SimUnit() : SimUnit(Options{}) {}

SimUnit::SimUnit(Options options) : impl_(std::make_unique<Impl>(options)) {
  impl_->open_line();
  impl_->running = true;
  impl_->thread = std::thread([this] {
    impl_->run();
    std::lock_guard<std::mutex> g(impl_->mu);
    impl_->running = false;
    impl_->changed.notify_all();
  });
}

SimUnit::~SimUnit() {
  {
    std::lock_guard<std::mutex> g(impl_->mu);
    impl_->stopping = true;
  }
  impl_->poke();
  impl_->thread.join();
}

const std::string& SimUnit::path() const {
  return impl_->path;
}

void SimUnit::set_rate_limit(std::size_t bytes_per_second) {
  std::lock_guard<std::mutex> g(impl_->mu);
  impl_->rate = bytes_per_second;
}

void SimUnit::set_log_bytes(std::size_t n) {
  std::lock_guard<std::mutex> g(impl_->mu);
  impl_->state.set_log_bytes(n);
}

std::size_t SimUnit::log_bytes_for_reply(std::size_t reply_bytes) {
  const std::size_t head = UnitState::log_reply_head_bytes();
  return reply_bytes > head ? (reply_bytes - head + 3) / 4 * 3 : 0;
}

void SimUnit::stop_reading() {
  {
    std::lock_guard<std::mutex> g(impl_->mu);
    impl_->reading = false;
  }
  impl_->poke();
}

void SimUnit::resume_reading() {
  {
    std::lock_guard<std::mutex> g(impl_->mu);
    impl_->reading = true;
  }
  impl_->poke();
}

void SimUnit::hang_up() {
  std::unique_lock<std::mutex> g(impl_->mu);
  if (impl_->hung_up) return;
  if (!impl_->running) {
    impl_->master.reset();
    impl_->slave.reset();
    impl_->hung_up = true;
    return;
  }
  impl_->hang_up_asked = true;
  g.unlock();
  impl_->poke();
  g.lock();
  impl_->changed.wait(g, [this] { return impl_->hung_up || !impl_->running; });
}

int SimUnit::reopened() const {
  std::lock_guard<std::mutex> g(impl_->mu);
  return impl_->reopens;
}

bool SimUnit::hung_up() const {
  std::lock_guard<std::mutex> g(impl_->mu);
  return impl_->hung_up;
}

std::vector<std::string> SimUnit::frames() const {
  std::lock_guard<std::mutex> g(impl_->mu);
  return impl_->frames;
}

std::string SimUnit::raw() const {
  std::lock_guard<std::mutex> g(impl_->mu);
  return impl_->raw;
}

std::vector<std::string> SimUnit::replies() const {
  std::lock_guard<std::mutex> g(impl_->mu);
  return impl_->replies;
}

bool SimUnit::wait_for_frames(std::size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> g(impl_->mu);
  return impl_->changed.wait_for(g, timeout, [&] { return impl_->frames_seen >= n; });
}

int SimUnit::processed(int code, int session) const {
  std::lock_guard<std::mutex> g(impl_->mu);
  const auto it = impl_->processed.find({code, session});
  return it == impl_->processed.end() ? 0 : it->second;
}

int SimUnit::receipts_issued() const {
  std::lock_guard<std::mutex> g(impl_->mu);
  return impl_->state.receipts_issued();
}

std::string SimUnit::last_sale_key() const {
  std::lock_guard<std::mutex> g(impl_->mu);
  const std::string key = impl_->state.last_sale_key();
  return key.empty() ? key : "CFe" + key;
}

std::string SimUnit::stored_reply(int session) const {
  std::lock_guard<std::mutex> g(impl_->mu);
  return impl_->state.stored_reply(session);
}

}  // namespace zunra::sim
