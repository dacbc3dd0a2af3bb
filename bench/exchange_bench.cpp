// Figures for the exchange against the simulated unit on a pseudo-terminal:
// one ConsultarSAT round trip with an instantly answering unit, and one
// reply of 3,000,000 bytes, unlimited and at a USB-like byte rate.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.h"
#include "exchange.h"
#include "settings.h"
#include "sim_unit.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double big_reply_ms(zunra::sim::SimUnit& unit, std::size_t reply_bytes, std::size_t rate) {
  zunra::sim::Script canned;
  canned.canned = "{session}|15000|" + std::string(reply_bytes - 13, 'L');
  canned.bytes_per_second = rate;
  unit.on_command(12, canned, 1);
  const auto start = Clock::now();
  const std::string reply = ExtrairLogs(2, "12345678");
  const double took = ms_since(start);
  if (reply.size() != reply_bytes)
    std::printf("  (reply of %zu bytes, expected %zu)\n", reply.size(), reply_bytes);
  return took;
}

}  // namespace

int main(int argc, char** argv) {
  zunra::bench::parse_options(argc, argv, "exchange_bench",
                              "The exchange's own quick figures against the simulated unit: a ConsultarSAT\n"
                              "round trip, and a 3,000,000-byte reply unlimited and at 1,000,000 B/s.\n",
                              {});
  char dir[] = "/tmp/zunra_bench_XXXXXX";
  if (!::mkdtemp(dir)) return 1;
  ::setenv("ZUNRA_SAT_DIR", dir, 1);
  zunra::sim::SimUnit unit;
  zunra::store_text(SAT_SERIAL, sizeof SAT_SERIAL, unit.path().c_str());
  init_lib();
  zunra::store_text(SAT_SERIAL, sizeof SAT_SERIAL, unit.path().c_str());

  std::vector<double> calls, exchanges;
  for (int i = 0; i < 30; ++i) {
    auto start = Clock::now();
    ConsultarSAT(1);
    calls.push_back(ms_since(start));
    char frame[] = "|05|000001";
    zunra::set_deadline(T_Cons);
    start = Clock::now();
    if (EnviaParaSat(frame) == 0) RecebeDoSat2(1);
    exchanges.push_back(ms_since(start));
  }
  std::printf("ConsultarSAT call (median of 30, includes the lock's 100 ms): %.2f ms\n", median(calls));
  std::printf("ConsultarSAT exchange alone (median of 30):                   %.2f ms\n", median(exchanges));

  T_Logs[0] = 1;  // a minute: room for the rate-limited reply
  std::printf("3,000,000-byte reply, unlimited:      %.0f ms\n", big_reply_ms(unit, 3000000, 0));
  std::printf("3,000,000-byte reply at 1,000,000 B/s: %.0f ms\n", big_reply_ms(unit, 3000000, 1000000));
  ::unlink((std::string(dir) + "/lib_zunra_dorvex.log").c_str());
  ::rmdir(dir);
  return 0;
}
