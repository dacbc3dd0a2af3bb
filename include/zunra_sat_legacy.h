/*
 * zunra_sat_legacy.h - the driver's inner helpers and globals, exported for
 * point-of-sale programs written against earlier builds of this driver.
 *
 * Programs rarely need any of this: the SAT functions, SetDriver and the
 * INI functions of zunra_sat.h do the whole work, and the settings are best
 * changed in sat.ini or with SetDriver. What follows is kept so that such
 * programs still link and behave as they did.
 *
 * Ownership: every global below belongs to the library and lives for the
 * whole process. A program may read them; writing one takes effect at the
 * next SAT call. None is protected against threads: read or write them only
 * while no SAT call runs, unless the note says otherwise. The library never
 * calls a function of the program, whatever its name: a program may have a
 * `lock` or `tick` of its own.
 */
#ifndef ZUNRA_SAT_LEGACY_H
#define ZUNRA_SAT_LEGACY_H

#include <stdint.h>
#include <sys/select.h>
#include <sys/time.h>

#include "zunra_sat.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- The reply buffer and the exchange ------------------------------- */

/* The reply buffer of the exchanges. After a SAT call it holds that call's
 * reply, until the next call of any thread; the SAT functions return the
 * calling thread's own copy of it (see "The reply pointer" in zunra_sat.h).
 * data[count] is always NUL. */
struct SatReplyBuffer {
  int32_t size;     /* capacity of data */
  int32_t count;    /* bytes stored so far */
  int32_t spare[3]; /* always 0 */
  char data[0x300000];
};
ZUNRA_API extern struct SatReplyBuffer BC;

/* The deadline of the running exchange in whole wall-clock seconds (as
 * tick()): tick() + minutes * 60 + seconds of the function's timeout pair.
 * A mirror: the driver itself waits on the monotonic clock, so a wall clock
 * that jumps does not shorten or stretch a call. */
ZUNRA_API extern int Tempo_Tout;

/* 1 while a SAT call holds the call lock (LOCK=true), else 0. */
ZUNRA_API extern int lib_lock;

/* Resets BC: size takes the argument, count 0, data the empty text. */
ZUNRA_API void cbInit(int size);

/* The two phases of one exchange, as the SAT functions run them: set
 * Tempo_Tout first. EnviaParaSat opens the configured device and writes the
 * frame followed by '|' and 0x03 (0 sent, -1 failed, device closed).
 * RecebeDoSat2 then waits until Tempo_Tout for a reply whose session field
 * (up to its first '|') is "%06d" of that session (replies of other sessions
 * are dropped), RecebeDoSat3 for any reply that starts with a session field
 * of digits and a '|' (other pieces are dropped); both leave it in BC.data
 * and close the device. 0 a reply is held, -1 none (BC.data empty). */
ZUNRA_API int EnviaParaSat(char* frame);
ZUNRA_API int RecebeDoSat2(int session);
ZUNRA_API int RecebeDoSat3(void);

/* The call lock. lock(): 0 taken (after a 100 ms pause) or locking off, 1
 * another call holds it; unlock() releases it and returns 0. Only for a
 * program that strings exchanges together itself. */
ZUNRA_API int lock(void);
ZUNRA_API int unlock(void);

/* Wall-clock seconds since the epoch, and milliseconds of it cut to 32 bits. */
ZUNRA_API int tick(void);
ZUNRA_API int mili_tick(void);

/* Local time as "%d-%m-%Y %H:%M:%S" in a static buffer of the library,
 * overwritten by the next call (not safe across threads). */
ZUNRA_API const char* timestamp(void);

/* Appends "<timestamp>: <message><detail>" to the driver log
 * (lib_zunra_dorvex.log in the settings directory), whatever DEBUG says.
 * 0 written, -1 the log could not be written (also said once per process
 * on standard error). Null texts are written empty. The log is only ever a
 * regular file, never reached through a link; it is created 0660 with the
 * settings directory's group whatever the umask (with DEBUG=true it holds
 * activation codes and sale documents), and past LOG_MAX_KB (8 MiB built
 * in), or when found open to other users, it is renamed
 * lib_zunra_dorvex.log.1 and started again. Lines of several programs
 * writing at once never mix, and a line waits a few milliseconds at most
 * for another program holding the log. */
ZUNRA_API int EnviaLog(const char* message, const char* detail);

/* value as "%06d" in a new buffer of len + 1 bytes (cut to fit), which the
 * caller frees with free(); NULL when memory is short. */
ZUNRA_API char* IntToStr(int value, int len);

/* ---- The serial device ---------------------------------------------- */

ZUNRA_API extern int fdUSB;                 /* descriptor of the last opened device; -1 after a failed open */
ZUNRA_API extern fd_set inputUSB;           /* a read set holding fdUSB (below FD_SETSIZE) */
ZUNRA_API extern fd_set outputUSB;          /* a write set holding fdUSB (below FD_SETSIZE) */
ZUNRA_API extern struct timeval timeoutUSB; /* 2 s: the budget of one read step while bytes flow */

/* Opens and configures the device at path for one exchange (mode is
 * ignored), discarding anything queued on it: 0, or -1 when it cannot be
 * opened. An earlier device opened this way is closed. */
ZUNRA_API int init_usb(char* path, int mode);
/* Writes the frame, '|' and 0x03 to that device before Tempo_Tout: 0, or -1. */
ZUNRA_API int envia_usb(char* frame);
/* One read step into BC (at most 50 ms waiting for a first byte, then up to
 * the terminator or 2 s without new bytes); returns the last count of bytes
 * the device reported pending. */
ZUNRA_API int le_usb(void);

/* ---- Settings --------------------------------------------------------- */

/* Switch texts, "true" or "false", as sat.ini or SetDriver left them; all
 * empty until the settings are loaded (first SAT call or SetDriver). A
 * program that fills SAT_SERIAL before its first call keeps sat.ini from
 * being read at all. SetDriver may rewrite them while a call runs. */
ZUNRA_API extern char SAT_SERIAL[30]; /* device path */
ZUNRA_API extern char SAT_DEBUG[7];
ZUNRA_API extern char SAT_NOPOPUP[7]; /* console lines only while it starts with "false" */
ZUNRA_API extern char SAT_CORRECAO[7];
ZUNRA_API extern char SAT_LOCK[7];
ZUNRA_API extern char SAT_RET_10001[7];

/* The switches as numbers (nonzero: on) and the retry settings. */
ZUNRA_API extern int ModoDebug; /* DEBUG: driver log */
ZUNRA_API extern int Corrigir;  /* CORRECAO: Correcao on sale documents */
ZUNRA_API extern int ModoLock;  /* LOCK: the call lock */
ZUNRA_API extern int Ret10001;  /* RET_10001: 10099 -> 10001 */
ZUNRA_API extern int NumTent;   /* N_TENT: attempts of sales, cancellations and session queries */
ZUNRA_API extern int TmpTent;   /* TMP_TENT: seconds between attempts */

/* Timeout pairs, one per SAT function: [0] minutes, [1] seconds (not
 * limited to 59). The sat.ini [TIMEOUT] key of each is in zunra_sat.h. */
ZUNRA_API extern int T_Ativ[2];
ZUNRA_API extern int T_ICP[2];
ZUNRA_API extern int T_Venda[2];
ZUNRA_API extern int T_Canc[2];
ZUNRA_API extern int T_Cons[2];
ZUNRA_API extern int T_Fim[2];
ZUNRA_API extern int T_Stat[2];
ZUNRA_API extern int T_Sessao[2];
ZUNRA_API extern int T_SessaoFiscal[2];
ZUNRA_API extern int T_Rede[2];
ZUNRA_API extern int T_Assoc[2];
ZUNRA_API extern int T_Atual[2];
ZUNRA_API extern int T_Logs[2];
ZUNRA_API extern int T_Bloq[2];
ZUNRA_API extern int T_Desbloq[2];
ZUNRA_API extern int T_CodAtiv[2];

/* Loads the settings again: the six texts reset, then sat.ini read when it
 * exists. Always 0. The driver loads them by itself once. */
ZUNRA_API int init_lib(void);

/* 1 when text begins with "MM:SS" (digits and a colon), its minutes and
 * seconds then copied into sMM and sSS; 0 otherwise (null included). */
ZUNRA_API int valida_TOUT(const char* text);
ZUNRA_API extern char sMM[3];
ZUNRA_API extern char sSS[3];

/* 1 when path names a regular file that can be opened for reading, else 0
 * (a FIFO, a device or a directory gives 0 at once). */
ZUNRA_API int file_existe(const char* path);

#ifdef __cplusplus
}
#endif

#endif /* ZUNRA_SAT_LEGACY_H */
