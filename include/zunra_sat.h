/*
 * zunra_sat.h - driver for a SAT-CF-e fiscal unit on a USB serial port.
 *
 * Every SAT function takes the caller's session number (printed as six
 * digits in the command frame) and returns a pointer to the unit's reply
 * text, or to a reply the driver composed itself when the unit could not be
 * reached ("<session>|<code>098|SAT em processamento. Tente novamente.||").
 *
 * The reply pointer is the same for every call. The library owns it; it is
 * valid until the next call into any SAT function, from any thread. Copy
 * what you need before another SAT call can start, and never free it.
 *
 * Null text arguments are taken as empty texts. No function raises a signal,
 * throws, or returns NULL.
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

ZUNRA_API const char* AtivarSAT(int numeroSessao, int subComando, const char* codigoDeAtivacao,
                                const char* CNPJ, int cUF);
ZUNRA_API const char* ComunicarCertificadoICPBRASIL(int numeroSessao, const char* codigoDeAtivacao,
                                                    const char* certificado);
/* dadosVenda is rewritten in place when CORRECAO is on, so it must then be writable. */
ZUNRA_API const char* EnviarDadosVenda(int numeroSessao, const char* codigoDeAtivacao, char* dadosVenda);
ZUNRA_API const char* CancelarUltimaVenda(int numeroSessao, const char* codigoDeAtivacao,
                                          const char* chave, const char* dadosCancelamento);
ZUNRA_API const char* ConsultarSAT(int numeroSessao);
ZUNRA_API const char* TesteFimAFim(int numeroSessao, const char* codigoDeAtivacao, const char* dadosVenda);
ZUNRA_API const char* ConsultarStatusOperacional(int numeroSessao, const char* codigoDeAtivacao);
ZUNRA_API const char* ConsultarNumeroSessao(int numeroSessao, const char* codigoDeAtivacao, int cNumeroDeSessao);
ZUNRA_API const char* ConsultarUltimaSessaoFiscal(int numeroSessao, const char* codigoDeAtivacao);
ZUNRA_API const char* ConfigurarInterfaceDeRede(int numeroSessao, const char* codigoDeAtivacao,
                                                const char* dadosConfiguracao);
ZUNRA_API const char* AssociarAssinatura(int numeroSessao, const char* codigoDeAtivacao, const char* CNPJValue,
                                         const char* assinaturaCNPJs);
ZUNRA_API const char* AtualizarSoftwareSAT(int numeroSessao, const char* codigoDeAtivacao);
ZUNRA_API const char* ExtrairLogs(int numeroSessao, const char* codigoDeAtivacao);
ZUNRA_API const char* BloquearSAT(int numeroSessao, const char* codigoDeAtivacao);
ZUNRA_API const char* DesbloquearSAT(int numeroSessao, const char* codigoDeAtivacao);
ZUNRA_API const char* TrocarCodigoDeAtivacao(int numeroSessao, const char* codigoDeAtivacao, int opcao,
                                             const char* novoCodigo, const char* confNovoCodigo);

/* Decodes numeric character references of text in place; the length stays. Returns 0. */
ZUNRA_API int Correcao(char* text);

/* ---- Run-time control ------------------------------------------------- */

/* Answers "OK", "ERRO", "FALHA" or the version text; takes no lock and
 * leaves the reply buffer alone. The returned text is constant. */
ZUNRA_API const char* SetDriver(const char* Parametro, const char* Valor);

/* ---- INI files -------------------------------------------------------- */

#ifndef INI_CALLBACK_DEFINED /* minIni.h declares the same type */
#define INI_CALLBACK_DEFINED
typedef int (*INI_CALLBACK)(const char* Section, const char* Key, const char* Value, const void* UserData);
#endif

ZUNRA_API int ini_gets(const char* Section, const char* Key, const char* DefValue, char* Buffer, int BufferSize,
                       const char* Filename);
ZUNRA_API long ini_getl(const char* Section, const char* Key, long DefValue, const char* Filename);
ZUNRA_API float ini_getf(const char* Section, const char* Key, float DefValue, const char* Filename);
ZUNRA_API int ini_getbool(const char* Section, const char* Key, int DefValue, const char* Filename);
ZUNRA_API int ini_getsection(int idxSection, char* Buffer, int BufferSize, const char* Filename);
ZUNRA_API int ini_getkey(const char* Section, int idxKey, char* Buffer, int BufferSize, const char* Filename);
ZUNRA_API int ini_browse(INI_CALLBACK Callback, const void* UserData, const char* Filename);
ZUNRA_API int ini_puts(const char* Section, const char* Key, const char* Value, const char* Filename);
ZUNRA_API int ini_putl(const char* Section, const char* Key, long Value, const char* Filename);
ZUNRA_API int ini_putf(const char* Section, const char* Key, float Value, const char* Filename);

#ifdef __cplusplus
}
#endif

#endif /* ZUNRA_SAT_H */
