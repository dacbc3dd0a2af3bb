/*
 * zunra_sat.h - driver for a SAT-CF-e fiscal unit on a USB serial port.
 *
 * Link with -lzunra_sat_rpi (pkg-config zunra_sat), or load
 * libzunra_sat_rpi.so with dlopen and look the functions up by these names.
 * The driver's inner helpers and globals (the reply buffer, the timeout
 * pairs, the serial device) are declared in zunra_sat_legacy.h, kept for
 * programs written against earlier builds; programs rarely need them.
 *
 * How every SAT function answers
 *   Each SAT function takes the caller's session number `numeroSessao`,
 *   written as six digits ("%06d") at the start of the command, turns its
 *   arguments into one command for the unit, and returns the unit's reply
 *   text: the session number, '|', a five-digit return code, then the
 *   function's fields, each after a '|' ("000123|08000|...").
 *
 * Session numbers
 *   numeroSessao runs from 0 to 999999; take a new one for every call, as
 *   the unit keeps its answers by session (ConsultarNumeroSessao). A number
 *   outside that range is written as "%06d" writes it ("1234567",
 *   "-00005"); the unit refuses it with a reply of its own that carries the
 *   same session text, and the function returns that reply as soon as it
 *   arrives.
 *
 *   When the unit cannot be reached (device missing, unplugged, not
 *   writable, not a terminal, or kept by another program past the
 *   function's timeout) or does not answer with this session number before
 *   the function's timeout, the driver composes the reply itself with the
 *   function's failure code, always five digits ending in 098:
 *     "<session>|<code>|SAT em processamento. Tente novamente.||"
 *   Sales and cancellations carry an extra field:
 *     "<session>|06098|0000|SAT em processamento. Tente novamente.||"
 *   The unit itself also answers with these codes when it is busy, for
 *   example while it updates its software. Any other reply of the unit,
 *   error codes included, is returned unchanged. The functions report
 *   nothing in any other way: no errno, no exception, never NULL.
 *
 * The reply pointer
 *   A SAT function returns a pointer to its reply in storage that belongs
 *   to the calling thread. It stays valid until the same thread's next SAT
 *   call, which replaces it; calls made by other threads never touch it,
 *   however late this thread reads it. Never free it or write through it.
 *   Replies can be up to about 3 MB (ExtrairLogs); a thread's storage is the
 *   size of its last reply and is freed when the thread ends. BC
 *   (zunra_sat_legacy.h) still holds the process's last exchange, whichever
 *   thread made it.
 *
 * How long a call takes
 *   Each exchange with the unit has a deadline: the function's timeout
 *   (sat.ini [TIMEOUT]; the key and built-in value are given with each
 *   function below), counted on the monotonic clock from the moment the
 *   exchange starts, so a wall clock that jumps changes nothing. A reply
 *   that is still arriving when the deadline passes gets up to 2 s more to
 *   finish. A single-exchange function therefore returns within its
 *   timeout plus 2 s. Sales, cancellations and the two session queries make
 *   up to N_TENT attempts, TMP_TENT seconds apart; an attempt of a sale or
 *   a cancellation can be a question about the session (its own timeout)
 *   followed by a retransmission. Such a call returns within the sum, over
 *   its exchanges, of each deadline plus 2 s, plus the pauses between
 *   attempts. Waiting for another program that holds the unit counts within
 *   the deadline of the exchange that waits. Add the call lock to any of
 *   these: 100 ms per call, and the whole of any call another thread is
 *   making (see Threads).
 *
 * Threads
 *   The driver has no threads of its own; every call runs, and waits, on the
 *   caller's thread. With the call lock on (LOCK=true in sat.ini, the
 *   default) SAT calls of one process run one at a time; a call that finds
 *   another one running waits for it, without limit, including its retries
 *   and pauses. Each thread gets its own reply (see The reply pointer).
 *   With the lock off, SAT calls must not overlap at all.
 *
 * Cancellation
 *   The SAT functions, SetDriver and the INI functions hold thread
 *   cancellation off while they run and then give the caller's setting
 *   back: a pthread_cancel() that arrives during a call takes effect at the
 *   thread's next cancellation point after it. The cancel is delayed by at
 *   most the time the call takes (above), never lost. This holds for
 *   deferred cancellation, the default; with asynchronous cancellation
 *   switched on no library call is safe. ini_browse runs its callback with
 *   cancellation still off, and the callback must not throw a C++
 *   exception (nor longjmp out): nothing may unwind through the library.
 *
 * Processes
 *   Several programs may share one unit (a till program, sat_cli, a report).
 *   Each SAT call holds the unit, whatever name reaches it (/dev/zunra_sat or
 *   /dev/ttyACM0), from its first exchange to its return, retries and pauses
 *   included; another program's call waits for it until the deadline of its
 *   own exchange, then answers with its failure code without sending
 *   anything, and says so on standard error, once per process, whatever
 *   DEBUG says: "Dispositivo em uso por outro processo: <device> (PID n)".
 *   A program that waits gets the unit when the call holding it ends, even
 *   if the holder calls again at once. With several waiting, the first to
 *   wait goes next; the others, the holder's next call among them, follow
 *   in no set order.
 *
 *   The hold is an flock() on zunra_sat_<major>_<minor>.lock (and, while a
 *   call waits, on zunra_sat_<major>_<minor>.queue), which dies with its
 *   process, in /run/zunra_sat or, when that does not exist, the settings
 *   directory. Only a directory that nobody but root (or the device's own
 *   owner, for a pseudo-terminal) and its group can write in is used, and
 *   only files of that group closed to others: the package makes
 *   /run/zunra_sat root:dialout 2770, so no account outside dialout can make,
 *   hold or replace the lock, and root's programs and dialout's always share
 *   one. When no lock file can be had (no such directory, a read-only or
 *   full file system, a file that is not right) the call fails with its
 *   failure code without sending anything and says why on standard error,
 *   once per process: "Arquivo de trava do dispositivo indisponivel: ...".
 *   It is never made unlocked, which could run into another program's
 *   exchange and lose a sale the unit carried out.
 *
 *   A child forked while another thread is inside a SAT call, or is reading
 *   sat.ini at its first call, can make SAT calls and SetDriver calls of its
 *   own; a fork made during that reading waits for it to end. Every
 *   descriptor the library opens is close-on-exec.
 *
 * Settings
 *   Device, timeouts, retries and switches come from sat.ini in the
 *   settings directory (/var/zunra_dorvex, or $ZUNRA_SAT_DIR when set and
 *   not empty), read once per process at the first SAT call or the first
 *   SetDriver call; SetDriver changes some of them while the program runs.
 *   A missing sat.ini leaves the built-in values; so does one that cannot
 *   be read, said once per process on standard error. A call that finds no
 *   descriptor or memory free to read it answers with its failure code,
 *   and the next call reads the file again.
 *
 * The fiscal journal
 *   With JOURNAL=true in sat.ini (as the package ships it; built in off) or
 *   SetDriver("JOURNAL", "true"), every EnviarDadosVenda and
 *   CancelarUltimaVenda first appends its intent to journal.jsonl in the
 *   settings directory, on the disk before the first byte of its command
 *   goes to the unit, and appends its outcome when it returns: issued (with
 *   the access key), refused (the unit's code), or unknown (the last
 *   attempt's reply was lost). It holds the time (UTC), process, function,
 *   session, the document's SHA-256 and length and the key cancelled; never
 *   the activation code nor any document. A journal that cannot be written
 *   is said once per process on standard error and the call goes on.
 *
 * Settling at start-up
 *   A sale is unresolved when its program died before the outcome, the
 *   till lost power, or its reply was the failure code 06098 with "0000":
 *   it may or may not have been issued. Never key it again under a new
 *   session before asking. At start-up, before any other SAT call, run
 *   `sat_journal --resolve CODIGO --json` (exit 0: nothing unresolved;
 *   1: ask again later), or ask yourself for each unresolved session S:
 *     ConsultarNumeroSessao(n, codigo, S)   n: a fresh session number
 *   and read the reply by its first fields:
 *     "S|06000|..."   issued; field 8 is the access key (a cancellation: 07000)
 *     "S|06xxx|..."   the unit refused that sale: nothing issued
 *     "n|11003|..."   the session does not exist: never carried out
 *     "n|11098|..."   busy, or the unit was not reached: ask again
 *     "n|11001|..."   wrong activation code (11002: unit not activated)
 *   The stored reply begins with S, the session asked about, not with n:
 *   do not throw it away for not carrying your own session number. A reply
 *   beginning with any other number is a late one: ask again. The unit
 *   remembers only its last sessions, so settle before new calls.
 *
 * Text arguments and replies are bytes
 *   Text arguments are NUL-terminated; a null pointer is taken as an empty
 *   text. Documents and other texts go to the unit byte for byte, and
 *   replies come back byte for byte without their terminator: the driver
 *   assumes and converts no character set (only CORRECAO and RET_10001,
 *   below, rewrite anything). The unit reads and answers UTF-8
 *   ("000123|08000|SAT em operação||"): decode replies as UTF-8; the
 *   replies the driver composes itself are ASCII. A text holding the byte
 *   0x03, which ends a command on the line, is refused before anything is
 *   sent, and so is a command that would not fit the driver's 1.5 MB frame
 *   buffer: the function answers with its failure code.
 */
#ifndef ZUNRA_SAT_H
#define ZUNRA_SAT_H

#if defined(ZUNRA_BUILDING_LIBRARY)
#define ZUNRA_API __attribute__((visibility("default")))
#else
#define ZUNRA_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- SAT functions ---------------------------------------------------- */
/*
 * The fields are those of the SAT-CF-e interface; the driver forwards them
 * without looking at them. Each entry gives the failure code of the reply
 * the driver composes itself and the timeout key of sat.ini [TIMEOUT]
 * (built-in value in brackets). All return the reply pointer described
 * above.
 */

/* Activates the unit. subComando: certificate type (1: AC_SAT/SEFAZ);
 * CNPJ: the taxpayer's CNPJ; cUF: IBGE code of the state.
 * Failure code 04098; T_ATIVAR_SAT [05:00]. */
ZUNRA_API const char* AtivarSAT(int numeroSessao, int subComando, const char* codigoDeAtivacao,
                                const char* CNPJ, int cUF);
/* Sends the ICP-Brasil certificate to the unit.
 * Failure code 05098; T_COMUNICAR_CERTIFICADO_ICPBRASIL [05:00]. */
ZUNRA_API const char* ComunicarCertificadoICPBRASIL(int numeroSessao, const char* codigoDeAtivacao,
                                                    const char* certificado);
/* Sends a sale document; the unit answers with the signed CF-e in Base64.
 * A sale is never issued twice: with N_TENT above 1, after a failed
 * exchange the driver first asks the unit whether this session already
 * produced a receipt, and returns that stored answer instead of sending the
 * sale again; a busy answer (06098) is retried at once. Attempts are
 * TMP_TENT seconds apart; for how long the call may take, see "How long a
 * call takes" above.
 * Failure code 06098 with the "0000" field: the sale may not have been
 * issued; do not reuse the session number for another sale, ask with
 * ConsultarNumeroSessao as "Settling at start-up" above says.
 * T_ENVIAR_DADOS_VENDA [00:20] per transmission, T_CONSULTAR_NUMERO_SESSAO
 * [00:20] per question.
 * dadosVenda is rewritten in place (Correcao) when CORRECAO is on, so it
 * must then be writable. */
ZUNRA_API const char* EnviarDadosVenda(int numeroSessao, const char* codigoDeAtivacao, char* dadosVenda);
/* Cancels the last sale. chave: access key of the receipt to cancel;
 * dadosCancelamento: the cancellation document. Retries and the "already
 * done?" question work as for EnviarDadosVenda, with busy code 07098.
 * A reply of the unit that lacks one field (ten '|' instead of eleven) gets
 * an empty field added, so that callers always find the same fields.
 * Failure code 07098 with the "0000" field; T_CANCELAR_ULTIMA_VENDA [00:03]
 * per transmission. */
ZUNRA_API const char* CancelarUltimaVenda(int numeroSessao, const char* codigoDeAtivacao, const char* chave,
                                          const char* dadosCancelamento);
/* Asks whether the unit is in operation; needs no activation code.
 * Failure code 08098; T_CONSULTAR_SAT [00:04]. */
ZUNRA_API const char* ConsultarSAT(int numeroSessao);
/* Sends a test sale that the unit signs and transmits but does not issue.
 * Failure code 09098; T_TESTE_FIM_A_FIM [00:40]. */
ZUNRA_API const char* TesteFimAFim(int numeroSessao, const char* codigoDeAtivacao, const char* dadosVenda);
/* The unit's operational status. With RET_10001=true the unit's code 10099
 * is returned as "<session>|10001|Codigo de ativacao invalido||".
 * Failure code 10098; T_CONSULTAR_STATUS_OPERACIONAL [00:04]. */
ZUNRA_API const char* ConsultarStatusOperacional(int numeroSessao, const char* codigoDeAtivacao);
/* The unit's stored answer to the earlier session cNumeroDeSessao, which
 * begins with cNumeroDeSessao, not numeroSessao; "11003": that session does
 * not exist (see "Settling at start-up" above). Retried up to N_TENT times
 * while the exchange fails or the unit answers 11098.
 * Failure code 11098; T_CONSULTAR_NUMERO_SESSAO [00:20]. */
ZUNRA_API const char* ConsultarNumeroSessao(int numeroSessao, const char* codigoDeAtivacao,
                                            int cNumeroDeSessao);
/* The unit's answer about its last fiscal session (a sale, code 06000, or a
 * cancellation, 07000). Retried like ConsultarNumeroSessao, busy code 19098.
 * Failure code 19098; T_CONSULTAR_ULTIMA_SESSAO_FISCAL [00:20]. */
ZUNRA_API const char* ConsultarUltimaSessaoFiscal(int numeroSessao, const char* codigoDeAtivacao);
/* Sends the unit's network settings document.
 * Failure code 12098; T_CONFIGURAR_INTERFACE_DE_REDE [00:20]. */
ZUNRA_API const char* ConfigurarInterfaceDeRede(int numeroSessao, const char* codigoDeAtivacao,
                                                const char* dadosConfiguracao);
/* Associates the software house's signature: CNPJValue is the software
 * house's CNPJ followed by the taxpayer's, assinaturaCNPJs the signature.
 * Failure code 13098; T_ASSOCIAR_ASSINATURA [30:00]. */
ZUNRA_API const char* AssociarAssinatura(int numeroSessao, const char* codigoDeAtivacao,
                                         const char* CNPJValue, const char* assinaturaCNPJs);
/* Asks the unit to update its software.
 * Failure code 14098; T_ATUALIZAR_SOFTWARE_SAT [30:00]. */
ZUNRA_API const char* AtualizarSoftwareSAT(int numeroSessao, const char* codigoDeAtivacao);
/* The unit's log, Base64-encoded in field 5 of the reply; the driver sends
 * its own version text with the request.
 * Failure code 15098; T_EXTRAIR_LOGS [00:20]. */
ZUNRA_API const char* ExtrairLogs(int numeroSessao, const char* codigoDeAtivacao);
/* Blocks the unit. Failure code 16098; T_BLOQUEAR_SAT [05:00]. */
ZUNRA_API const char* BloquearSAT(int numeroSessao, const char* codigoDeAtivacao);
/* Unblocks the unit. Failure code 17098; T_DESBLOQUEAR_SAT [00:40]. */
ZUNRA_API const char* DesbloquearSAT(int numeroSessao, const char* codigoDeAtivacao);
/* Replaces a code: opcao 1 the activation code, 2 the emergency code (any
 * other value is passed on to the unit as it is). confNovoCodigo repeats
 * novoCodigo; the driver does not compare them, the unit does.
 * Failure code 18098; T_TROCAR_CODIGO_DE_ATIVACAO [00:20]. */
ZUNRA_API const char* TrocarCodigoDeAtivacao(int numeroSessao, const char* codigoDeAtivacao, int opcao,
                                             const char* novoCodigo, const char* confNovoCodigo);

/* Decodes numeric character references of text in place; the length
 * stays. Returns 0. Each reference that decodes to a character below 128 ("&#x41;") becomes
 * blanks followed by that character, where the ';' was; others stay as
 * they are. EnviarDadosVenda calls it on the sale document while CORRECAO
 * is on. No lock is taken: do not call it on a text another thread uses. */
ZUNRA_API int Correcao(char* text);

/* ---- Run-time control ------------------------------------------------- */

/* Changes one setting for the rest of the process (sat.ini is not written).
 * Parametro is compared case-sensitively by its leading characters:
 *   "SERIAL"    device path; a name without "/dev/" gets it put in front;
 *               an empty Valor answers "ERRO" and changes nothing.
 *   "NO_POPUP"  console messages: off when Valor begins with "true", else on.
 *   "LOCK"      the call lock: on when Valor begins with "true", else off.
 *   "RET_10001" the 10099 -> 10001 rewrite of ConsultarStatusOperacional.
 *   "DEBUG"     the driver log in the settings directory.
 *   "N_TENT"    attempts, written with exactly two characters ("05"):
 *               "OK"; a value below 1 or of another length answers
 *               "ERRO" and sets 1.
 *   "TMP_TENT"  seconds between attempts, exactly two characters: "OK"
 *               from 03 up; a smaller value answers "ERRO" and sets 3, a
 *               value of another length answers "ERRO" and sets 6.
 *   "VERSAO"    answers the library's version, "3.0.0.3_acm0_rpi".
 *   "JOURNAL"   the fiscal journal: on when Valor begins with "true".
 * Answers "OK", "ERRO" (value refused or raised to its minimum) or
 * "FALHA" (name not supported: nothing changes). Prints "Parametro: |%s| - Valor: |%s|" on
 * standard output. The first call of a process reads sat.ini first, so the
 * change applies on top of the file. The answer is a constant text of the
 * library, valid for the life of the process; SetDriver never touches the
 * reply pointer of the SAT functions. It may run while another thread is
 * inside a SAT call; the change can then apply in the middle of that call. */
ZUNRA_API const char* SetDriver(const char* Parametro, const char* Valor);

/* ---- INI files -------------------------------------------------------- */
/*
 * Stateless access to INI files: every call opens Filename, reads or
 * rewrites it, and closes it. Section and key names compare ignoring letter
 * case; a null or empty Section means the keys before the first [header].
 * ';' and '#' start comments. Values longer than the Buffer are cut and
 * Buffer is always NUL-terminated; a null Buffer or a BufferSize below 1
 * returns 0 and leaves Buffer alone. Lines are read up to 511 bytes. Only
 * regular files are read (a FIFO, device or directory is a missing file) and
 * a leading UTF-8 byte-order mark is skipped. Writers of one file take turns
 * through an advisory lock and lose no update; a rewrite keeps the file's
 * mode, owner and group and writes a link through to its target.
 */

/* Called by ini_browse for every key; return nonzero to go on, zero to stop.
 * The three texts are valid only during the call. It runs with thread
 * cancellation off and must not throw (see Cancellation above). */
#ifndef INI_CALLBACK_DEFINED /* ini_file.h declares the same type */
#define INI_CALLBACK_DEFINED
typedef int (*INI_CALLBACK)(const char* Section, const char* Key, const char* Value, const void* UserData);
#endif

/* Copies the value of Key in Section (DefValue when absent) into Buffer.
 * Returns the length of the text stored. A key present with an empty value
 * gives an empty text. */
ZUNRA_API int ini_gets(const char* Section, const char* Key, const char* DefValue, char* Buffer,
                       int BufferSize, const char* Filename);
/* The value as a number (hexadecimal after "0x"), or DefValue when absent
 * or empty. */
ZUNRA_API long ini_getl(const char* Section, const char* Key, long DefValue, const char* Filename);
/* The value as a number, or DefValue when absent or empty. */
ZUNRA_API float ini_getf(const char* Section, const char* Key, float DefValue, const char* Filename);
/* 1 for a value beginning with y, Y, 1, t or T; 0 for n, N, 0, f or F;
 * DefValue otherwise, an absent key included. */
ZUNRA_API int ini_getbool(const char* Section, const char* Key, int DefValue, const char* Filename);
/* Name of section idxSection (from 0) into Buffer; returns its length, 0
 * when there is no such section. */
ZUNRA_API int ini_getsection(int idxSection, char* Buffer, int BufferSize, const char* Filename);
/* Name of key idxKey (from 0) of Section into Buffer; returns its length, 0
 * when there is no such key. */
ZUNRA_API int ini_getkey(const char* Section, int idxKey, char* Buffer, int BufferSize, const char* Filename);
/* Calls Callback for every key of the file, in file order. Returns 1 when
 * the file was read, 0 when it could not be opened. */
ZUNRA_API int ini_browse(INI_CALLBACK Callback, const void* UserData, const char* Filename);
/* Sets Key in Section to Value, adding the section or the key when absent;
 * a null Value deletes the key, a null Key the whole section. The file is
 * rewritten through a temporary file next to it and renamed over it in one
 * step. Returns 1 on success (or when nothing had to change), 0 when the
 * file could not be read or written or another writer held it for more than
 * 5 seconds; the file is then untouched. A text holding a line feed or a
 * carriage return is refused with 0. */
ZUNRA_API int ini_puts(const char* Section, const char* Key, const char* Value, const char* Filename);
/* As ini_puts, with the number written in decimal. */
ZUNRA_API int ini_putl(const char* Section, const char* Key, long Value, const char* Filename);
/* As ini_puts, with the number written as text. */
ZUNRA_API int ini_putf(const char* Section, const char* Key, float Value, const char* Filename);

#ifdef __cplusplus
}
#endif

#endif /* ZUNRA_SAT_H */
