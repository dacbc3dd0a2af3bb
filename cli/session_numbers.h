// Session numbers handed to the library: a fresh random number per call,
// refused while it is still in the history of the last hundred handed out.
#pragma once

#include <ctime>

namespace zunra::cli {

extern int n100Sessoes[100];
extern int idx_100sessoes;

// Zeroes the history; done once at start-up, before the library is loaded.
void clear_session_history();

// Where draws come from. The real source seeds rand() from the wall-clock
// second, mixed with a value of its own run, before every draw, so draws
// change only when the second changes; next_second() waits until they can.
// Tests install a scripted source.
struct SessionRandomSource {
  int (*draw)();  // one raw rand() value
  void (*next_second)();
};
void set_session_random_source(const SessionRandomSource& source);
void use_real_session_random_source();

// Returns once `clock` shows a second other than `drawn` (time() for the
// real source), at most 2 s later.
void wait_for_next_second(time_t drawn, time_t (*clock)(time_t*));

int _100sessao();
int Valida100Sessoes(int candidate);
int Salva100Sessoes(int number);
int _sessao();

}  // namespace zunra::cli
