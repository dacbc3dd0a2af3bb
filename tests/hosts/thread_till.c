/* A till that calls the driver from several threads.
 *   thread_till late-copy N: four threads make N calls each, ConsultarSAT
 *     and ExtrairLogs in turn, and copy each reply only 150 ms after it
 *     returned, as a program paused by its garbage collector does. Prints
 *     how many copies were not the reply to the thread's own call.
 *   thread_till cancel: a watchdog cancels a thread while it waits inside
 *     ConsultarSAT. The call must end normally, with its reply, and the
 *     cancel take effect at the thread's next cancellation point; a thread
 *     that had cancellation off keeps it off and runs on. */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <zunra_sat.h>

static void pause_ms(long ms) {
  const struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&t, NULL);
}

enum { kThreads = 4 };
static int calls_per_thread;

static void* late_copier(void* arg) {
  const int first = 1000 * (1 + (int)(long)arg);
  long foreign = 0;
  for (int i = 0; i < calls_per_thread; ++i) {
    const int session = first + i;
    const char* reply = i % 2 ? ExtrairLogs(session, "12345678") : ConsultarSAT(session);
    pause_ms(150);
    char* copy = strdup(reply);
    char mine[16];
    snprintf(mine, sizeof mine, "%06d|%s|", session, i % 2 ? "15000" : "08000");
    if (!copy || strncmp(copy, mine, strlen(mine)) != 0) ++foreign;
    free(copy);
  }
  return (void*)foreign;
}

static int late_copy(int calls) {
  calls_per_thread = calls;
  pthread_t threads[kThreads];
  for (long t = 0; t < kThreads; ++t)
    if (pthread_create(&threads[t], NULL, late_copier, (void*)t) != 0) return 1;
  long foreign = 0;
  for (int t = 0; t < kThreads; ++t) {
    void* n;
    pthread_join(threads[t], &n);
    foreign += (long)n;
  }
  printf("%ld of %d replies belonged to another call\n", foreign, kThreads * calls);
  return 0;
}

struct Caller {
  int session, cancel_off;
  char reply[16];
  int ran_on; /* got past the cancellation point after the call */
};

static void* cancelled_caller(void* arg) {
  struct Caller* c = arg;
  int old;
  if (c->cancel_off) pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
  snprintf(c->reply, sizeof c->reply, "%.12s", ConsultarSAT(c->session));
  pthread_testcancel();
  c->ran_on = 1;
  return NULL;
}

/* The unit answers ConsultarSAT a second late; the cancel comes 300 ms in. */
static int cancel(void) {
  for (int off = 0; off < 2; ++off) {
    struct Caller c = {off + 1, off, "", 0};
    pthread_t thread;
    if (pthread_create(&thread, NULL, cancelled_caller, &c) != 0) return 1;
    pause_ms(300);
    pthread_cancel(thread);
    void* result;
    pthread_join(thread, &result);
    printf("cancellation %s: reply %s, %s\n", off ? "off" : "on", c.reply,
           result == PTHREAD_CANCELED ? "cancelled after the call"
           : c.ran_on                 ? "ran on"
                                      : "?");
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "late-copy") == 0) return late_copy(atoi(argv[2]));
  if (argc == 2 && strcmp(argv[1], "cancel") == 0) return cancel();
  fprintf(stderr, "usage: thread_till late-copy N | thread_till cancel\n");
  return 2;
}
